#include "core/check/check_queue.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/check/naming.h"

namespace sfvcheck {

bool CheckQueue::Add(std::string_view path, Clock::time_point now) {
  std::optional<std::string> prefix = DirectoryPrefix(path);
  if (!prefix) return false;
  auto found = waiting_.find(*prefix);
  if (found != waiting_.end()) {
    found->second->last = now;
    found->second->joined = true;
    return true;
  }
  order_.push_back(Waiting{std::move(*prefix), now, now});
  try {
    waiting_.emplace(order_.back().prefix, std::prev(order_.end()));
  } catch (...) {
    order_.pop_back();
    throw;
  }
  return true;
}

CheckQueue::Clock::time_point CheckQueue::ReadyAt(const Waiting& waiting) const {
  if (!waiting.joined) return waiting.first;
  return std::min(waiting.last + kSettle, waiting.first + kBound);
}

bool CheckQueue::TakeReady(Clock::time_point now, std::string* prefix, Clock::duration* wait) {
  std::optional<Clock::time_point> soonest;
  for (auto at = order_.begin(); at != order_.end(); ++at) {
    const Clock::time_point ready = ReadyAt(*at);
    if (ready <= now) {
      Take(at, prefix);
      return true;
    }
    soonest = soonest ? std::min(*soonest, ready) : ready;
  }
  *wait = soonest ? *soonest - now : Clock::duration::zero();
  return false;
}

void CheckQueue::Take(std::list<Waiting>::iterator at, std::string* prefix) {
  waiting_.erase(at->prefix);
  *prefix = std::move(at->prefix);
  order_.erase(at);
}

}  // namespace sfvcheck
