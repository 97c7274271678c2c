// The check queue on a clock the test moves: which directory a checker takes
// when, without sleeping.
#include "core/check/check_queue.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace sfvcheck {
namespace {

using Clock = CheckQueue::Clock;
using std::chrono::milliseconds;

// A lone event's directory is ready at once; one that further events reach
// waits until they pause for the settling time; one taken off for its check
// is queued again by its next event.
TEST(CheckQueueTest, LoneEventsGoAtOnceAndBurstsSettle) {
  CheckQueue queue;
  const Clock::time_point t0 = Clock::now();
  std::string prefix;
  Clock::duration wait{};
  EXPECT_FALSE(queue.Add("a.rar", t0));
  ASSERT_TRUE(queue.Add("C:\\a\\1.rar", t0));
  ASSERT_TRUE(queue.TakeReady(t0, &prefix, &wait));
  EXPECT_EQ(prefix, "C:\\a\\");

  queue.Add("C:\\a\\2.rar", t0);  // during the check: queued again
  queue.Add("C:\\a\\3.rar", t0 + milliseconds(50));
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_FALSE(queue.TakeReady(t0 + milliseconds(100), &prefix, &wait));
  EXPECT_EQ(wait, milliseconds(50));
  EXPECT_TRUE(queue.TakeReady(t0 + milliseconds(150), &prefix, &wait));
  EXPECT_TRUE(queue.empty());
}

// One checker and checks of 50 ms: a steady stream of events every 10 ms
// into one directory, while another directory gets bursts of its own and a
// third lone events. Every event gets a check that starts after it, within
// the time bound plus the check running and one queued ahead; a lone event's
// within those two checks alone. The queue never holds more than the three
// directories.
TEST(CheckQueueTest, ASteadyStreamNeitherStarvesAnotherDirectoryNorGoesUnchecked) {
  constexpr milliseconds kCheck{50};
  const Clock::time_point t0 = Clock::now();
  CheckQueue queue;
  std::map<std::string, std::vector<Clock::time_point>> events;
  std::map<std::string, std::vector<Clock::time_point>> checks;
  Clock::time_point busyUntil = t0;
  for (milliseconds t{0}; t < milliseconds(6000); t += milliseconds(1)) {
    const Clock::time_point now = t0 + t;
    auto arrive = [&](const std::string& dir) {
      queue.Add(dir + "x.rar", now);
      events[dir].push_back(now);
    };
    if (t.count() % 10 == 0) arrive("C:\\stream\\");
    if (t.count() % 1500 < 300 && t.count() % 20 == 5) arrive("C:\\other\\");
    if (t.count() % 700 == 350) arrive("C:\\lone\\");
    ASSERT_LE(queue.size(), 3u);
    std::string prefix;
    Clock::duration wait{};
    if (now >= busyUntil && queue.TakeReady(now, &prefix, &wait)) {
      checks[prefix].push_back(now);
      busyUntil = now + kCheck;
    }
  }
  for (const auto& [dir, times] : events) {
    for (Clock::time_point event : times) {
      if (event > t0 + milliseconds(4500)) break;  // its check may lie past the end
      auto next = std::lower_bound(checks[dir].begin(), checks[dir].end(), event);
      ASSERT_NE(next, checks[dir].end()) << dir;
      const Clock::duration bound = dir == "C:\\lone\\" ? 2 * kCheck : CheckQueue::kBound + 2 * kCheck;
      EXPECT_LE(*next - event, bound)
          << dir << " waited " << std::chrono::duration_cast<milliseconds>(*next - event).count() << " ms";
    }
  }
  // About one check per bound for the stream, not one per event.
  EXPECT_LE(checks["C:\\stream\\"].size(), 12u);
}

}  // namespace
}  // namespace sfvcheck
