// Lets the checks of a burst of file events share passes. Every event takes a
// stamp when it is received; every pass over a list notes the last stamp
// given out when it started. A pass that started after an event was received
// has seen everything that event brought, so that event's own pass over the
// same list would find nothing new and is skipped. The ledger holds records
// only for directories with a received event whose check has not ended.
//
// Threads: Receive and the tickets' release run on any thread; the others
// run on checking threads. One lock of the ledger's own guards all state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/check/lock.h"

namespace sfvcheck {

// The lock that guards a ledger. The plug-in gives one that takes no system
// object under contention; by default the ledger uses a std::mutex.
using LedgerLock = Lock;

class PassLedger {
 public:
  // One received event: its directory and stamp. Keeps the directory's
  // record alive until it is destroyed, when the event's check has ended.
  class Ticket {
   public:
    Ticket() = default;
    ~Ticket();
    Ticket(Ticket&& other) noexcept;
    Ticket& operator=(Ticket&& other) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;

    // False for an event that shares no pass (no ledger, no directory).
    bool valid() const { return ledger_ != nullptr; }
    const std::string& prefix() const { return prefix_; }
    std::uint64_t stamp() const { return stamp_; }

   private:
    friend class PassLedger;
    void Release();

    PassLedger* ledger_ = nullptr;
    std::string prefix_;
    std::uint64_t stamp_ = 0;
  };

  PassLedger();
  explicit PassLedger(LedgerLock& lock) : lock_(lock) {}
  PassLedger(const PassLedger&) = delete;
  PassLedger& operator=(const PassLedger&) = delete;

  // A file event for `path` has been received; called before its check
  // starts. An invalid ticket when the path has no directory part.
  Ticket Receive(std::string_view path);

  // The stamp of a pass starting now: every event with a stamp up to it was
  // received before.
  std::uint64_t PassStart();

  // Whether a pass over `listName` that started after the ticket's event was
  // received has run to its end.
  bool Covered(const Ticket& ticket, const std::string& listName);

  // A pass over `listName` in the ticket's directory that started at `start`
  // has run to its end.
  void PassCompleted(const Ticket& ticket, const std::string& listName, std::uint64_t start);

  // The list names that an enumeration of the ticket's directory found,
  // when one started after the ticket's event was received and could list
  // the directory to its end: that event may take them for its own.
  bool ListsSeen(const Ticket& ticket, std::vector<std::string>* listNames);

  // A complete enumeration of the ticket's directory, started at `start`.
  void ListsEnumerated(const Ticket& ticket, std::uint64_t start, const std::vector<std::string>& listNames);

  // Directories with a record; for tests of the bookkeeping's bounds.
  std::size_t DirectoryCount();

 private:
  struct Directory {
    std::size_t openTickets = 0;
    std::map<std::string, std::uint64_t> lastPassStart;  // by list name
    std::uint64_t listsStart = 0;  // 0: no enumeration recorded
    std::vector<std::string> listNames;
  };

  class MutexLock : public LedgerLock {
   public:
    void lock() override { mutex_.lock(); }
    void unlock() override { mutex_.unlock(); }

   private:
    std::mutex mutex_;
  };

  std::unique_ptr<LedgerLock> ownLock_;
  LedgerLock& lock_;
  std::uint64_t lastStamp_ = 0;
  std::map<std::string, Directory> directories_;  // by directory prefix
};

}  // namespace sfvcheck
