// The directories waiting for their check, first in, first out. A file event
// queues its directory unless that directory is already waiting; one taken
// off the queue for its check is queued again by its next event, so a check
// starts after every event. Memory grows with waiting directories, never
// with events.
//
// A directory that one event reached is ready at once. One that further
// events reached while it waited settles: it is ready once none has come for
// kSettle, but at most kBound after the first of them. The checker takes the
// first ready directory in queue order, so a directory that keeps receiving
// events neither starves the others nor waits past the bound for its turn.
//
// Threads: none of its own; its owner guards it. Times are given by the
// caller, so the queue is tried without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sfvcheck {

class CheckQueue {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kSettle{100};
  static constexpr std::chrono::milliseconds kBound{1000};

  // Queues the directory of the file `path` (its prefix as spelt there).
  // False when the path has no directory part: nothing is queued. Throws
  // std::bad_alloc when a new entry cannot be made; the queue is unchanged.
  bool Add(std::string_view path, Clock::time_point now);

  // Takes the first ready directory off the queue into *prefix. When none is
  // ready, false, and *wait says how long until the first one will be (zero
  // when the queue is empty).
  bool TakeReady(Clock::time_point now, std::string* prefix, Clock::duration* wait);

  bool empty() const { return order_.empty(); }
  std::size_t size() const { return order_.size(); }

 private:
  struct Waiting {
    std::string prefix;
    Clock::time_point first;  // the event that queued it
    Clock::time_point last;
    bool joined = false;  // another event reached it while it waited
  };

  Clock::time_point ReadyAt(const Waiting& waiting) const;
  void Take(std::list<Waiting>::iterator at, std::string* prefix);

  std::list<Waiting> order_;
  // By prefix; the key views the string in its entry.
  std::unordered_map<std::string_view, std::list<Waiting>::iterator> waiting_;
};

}  // namespace sfvcheck
