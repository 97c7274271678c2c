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
// A directory has at most one waiting check: one whose passes and list
// enumeration all start after now. An event received while it waits joins it
// (Receive with `joined`) and needs no check of its own, so a burst costs a
// directory one check in its pass and one waiting, not one per event. The
// waiting check stops taking events as its first pass starts, or when it
// ends without one.
//
// Threads: Receive and the tickets' release run on any thread; the others
// run on checking threads. One lock of the ledger's own guards all state.
#pragma once

#include <algorithm>
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
  // starts. An invalid ticket when the path has no directory part. With
  // `joined`, an event whose directory has a waiting check joins that check:
  // *joined is set and the ticket is invalid (no check is needed). Otherwise
  // the new ticket's check becomes the directory's waiting one.
  Ticket Receive(std::string_view path, bool* joined = nullptr);

  // Called as the ticket's check starts and before each of its passes. True
  // when the check may leave its passes to a later event of the directory
  // whose check has started: every pass of that check starts after this
  // event was received (or it hands them on in turn). Only a check whose
  // enumeration of the directory's lists ran to its end takes work over;
  // waits while a later event's check is about to start or to enumerate.
  // With `listName` the hand-off is of that list's pass, without it of the
  // whole check. Checks hand off only while the oldest event handed off since
  // a pass over that list last started is younger than the time bound. Before
  // a list's pass, a waiting check that events still join waits until none
  // has for a moment, within the bound: a burst then costs one pass.
  bool HandOff(const Ticket& ticket, const std::string* listName = nullptr);

  // Whether a later event of the ticket's directory has a check that has not
  // ended and may take the list's pass over, within the time bound: a pass
  // starting now might soon be repeated for it.
  bool LaterEventPending(const Ticket& ticket, const std::string& listName);

  // The stamp of now: every event with a stamp up to it was received before.
  std::uint64_t StampNow();

  // A pass over `listName` of the ticket's check starts now: its stamp. It
  // starts after every event handed off so far was received. The check takes
  // no more events from here on.
  std::uint64_t PassStarting(const Ticket& ticket, const std::string& listName);

  // The ticket's check has been through the lists of an enumeration started
  // at `listedAt`. True when an event joined it after that: the check must
  // enumerate and go through the lists again. False when it is done; it
  // takes no more events then.
  bool EventJoinedSince(const Ticket& ticket, std::uint64_t listedAt);

  // Whether a pass over `listName` that started after the ticket's event was
  // received has run to its end.
  bool Covered(const Ticket& ticket, const std::string& listName);

  // A pass over `listName` in the ticket's directory that started at `start`
  // has run to its end.
  void PassCompleted(const Ticket& ticket, const std::string& listName, std::uint64_t start);

  // The list names that an enumeration of the ticket's directory found,
  // when one started after the ticket's event was received and could list
  // the directory to its end: that event may take them for its own.
  // *listedAt is when that enumeration started.
  bool ListsSeen(const Ticket& ticket, std::vector<std::string>* listNames, std::uint64_t* listedAt);

  // The ticket's check enumerated the directory's lists, starting at
  // `start`; `toEnd` false when the enumeration was cut short or failed.
  void ListsEnumerated(const Ticket& ticket, std::uint64_t start, const std::vector<std::string>& listNames,
                       bool toEnd);

  // Directories with a record; for tests of the bookkeeping's bounds.
  std::size_t DirectoryCount();

 private:
  enum class Lists { kNotYet, kToEnd, kCut };  // a check's enumeration
  struct OpenTicket {
    bool started = false;  // its check has started
    std::uint64_t covers = 0;  // the last event it stands for: its own or one that joined it
    Lists lists = Lists::kNotYet;
    // When the last event that joined it was received; none yet: the epoch.
    std::chrono::steady_clock::time_point lastJoined;
  };
  struct Directory {
    // Events whose check has not ended, by stamp.
    std::map<std::uint64_t, OpenTicket> openTickets;
    // The waiting check's stamp, 0 when there is none.
    std::uint64_t waiting = 0;
    // By list name: when the oldest event whose check handed that list's
    // pass off since a pass over it last started was received.
    std::map<std::string, std::chrono::steady_clock::time_point> oldestHandedOff;
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
  std::chrono::steady_clock::time_point HandOffUntil(const Ticket& ticket, const Directory& record,
                                                     const std::string* listName) const;
  // The events the ticket's check stands for, or null when it has no record.
  OpenTicket* Find(const Ticket& ticket, Directory** record = nullptr);

  std::unique_ptr<LedgerLock> ownLock_;
  LedgerLock& lock_;
  const std::chrono::milliseconds maxDeferral_;
  // How long a waiting check lets the events that join it settle before its
  // first pass, within the time bound.
  const std::chrono::milliseconds settle_{std::min(maxDeferral_ / 10, std::chrono::milliseconds(100))};
  // Guarded by lock_:
  std::uint64_t lastStamp_ = 0;
  std::size_t waiters_ = 0;  // threads waiting in HandOff
  std::map<std::string, Directory> directories_;  // by directory prefix
};

}  // namespace sfvcheck
