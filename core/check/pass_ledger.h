// Lets the checks of a burst of file events share passes. Every event takes a
// stamp when it is received; every pass over a list notes the last stamp
// given out when it started. A pass that started after an event was received
// has seen everything that event brought, so that event's own pass over the
// same list would find nothing new and is skipped. And while later events of
// the same directory keep coming, a check leaves its passes to the check of a
// later event that has started, whose passes all start after this event was
// received: a burst ends in one pass after its last event. The ledger holds
// records only for directories with a received event whose check has not
// ended.
//
// Threads: Receive and the tickets' release run on any thread; the others
// run on checking threads. One lock of the ledger's own guards all state.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/check/lock.h"

namespace sfvcheck {

// The lock that guards a ledger, also waited on for checks that start or
// end. The plug-in gives one that takes no system object under contention;
// by default the ledger uses a std::mutex.
using LedgerLock = WaitableLock;

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
    std::chrono::steady_clock::time_point received_;
  };

  // How long at most passes wait for a stream of events to end: while events
  // keep coming, a pass still starts at least this often.
  static constexpr std::chrono::milliseconds kDefaultMaxDeferral{1000};

  explicit PassLedger(std::chrono::milliseconds maxDeferral = kDefaultMaxDeferral);
  explicit PassLedger(LedgerLock& lock, std::chrono::milliseconds maxDeferral = kDefaultMaxDeferral)
      : lock_(lock), maxDeferral_(maxDeferral) {}
  PassLedger(const PassLedger&) = delete;
  PassLedger& operator=(const PassLedger&) = delete;

  // A file event for `path` has been received; called before its check
  // starts. An invalid ticket when the path has no directory part.
  Ticket Receive(std::string_view path);

  // Called as the ticket's check starts and before each of its passes. True
  // when the check may leave its passes to a later event of the directory
  // whose check has started: every pass of that check starts after this
  // event was received (or it hands them on in turn). Waits while a later
  // event's check is about to start. Checks hand off only while the oldest
  // event handed off since a pass last started is younger than the ledger's
  // time bound.
  bool HandOff(const Ticket& ticket);

  // Whether a later event of the ticket's directory has a check that has not
  // ended, within the time bound: a pass starting now might soon be
  // repeated for it.
  bool LaterEventPending(const Ticket& ticket);

  // The stamp of now: every event with a stamp up to it was received before.
  std::uint64_t StampNow();

  // A pass of the ticket's check starts now: its stamp. It starts after
  // every event handed off so far was received.
  std::uint64_t PassStarting(const Ticket& ticket);

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
    // Events whose check has not ended, by stamp: whether the check started.
    std::map<std::uint64_t, bool> openTickets;
    // When the oldest event whose check handed off since a pass last
    // started was received.
    std::optional<std::chrono::steady_clock::time_point> oldestHandedOff;
    std::map<std::string, std::uint64_t> lastPassStart;  // by list name
    std::uint64_t listsStart = 0;  // 0: no enumeration recorded
    std::vector<std::string> listNames;
  };

  class MutexLock : public LedgerLock {
   public:
    void lock() override { mutex_.lock(); }
    void unlock() override { mutex_.unlock(); }
    void WaitFor(std::chrono::milliseconds timeout) override {
      std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
      changed_.wait_for(held, timeout);
      held.release();
    }
    void NotifyAll() override { changed_.notify_all(); }

   private:
    std::mutex mutex_;
    std::condition_variable changed_;
  };

  // These take lock_ held.
  void NotifyWaiters();
  std::chrono::steady_clock::time_point HandOffUntil(const Ticket& ticket, const Directory& record) const;

  std::unique_ptr<LedgerLock> ownLock_;
  LedgerLock& lock_;
  const std::chrono::milliseconds maxDeferral_;
  // Guarded by lock_:
  std::uint64_t lastStamp_ = 0;
  std::size_t waiters_ = 0;  // threads waiting in HandOff
  std::map<std::string, Directory> directories_;  // by directory prefix
};

}  // namespace sfvcheck
