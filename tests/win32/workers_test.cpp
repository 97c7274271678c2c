// The checking thread and its queue, with dummy checks that the tests hold
// and release at will, and a thread starter that can be made to fail.
// Threads: each test's main thread plays the host; the checks run on the
// checking thread (or on the main thread at shutdown) and touch only the
// Gate (a lock, atomics and a manual-reset event).
#include "win32/workers_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/thread_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

using testing::StartThread;

HANDLE FakeHandle(int n) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(n)); }

TEST(WorkerListTest, GrowsByTenAtTheEleventhAndTwentyFirstHandle) {
  WorkerList list;
  EXPECT_EQ(list.capacity(), 10);
  for (int n = 1; n <= 10; ++n) list.Append(FakeHandle(n));
  EXPECT_EQ(list.capacity(), 10);
  list.Append(FakeHandle(11));
  EXPECT_EQ(list.capacity(), 20);
  for (int n = 12; n <= 20; ++n) list.Append(FakeHandle(n));
  EXPECT_EQ(list.capacity(), 20);
  list.Append(FakeHandle(21));
  EXPECT_EQ(list.capacity(), 30);
  ASSERT_EQ(list.count(), 21);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(list.at(i), FakeHandle(i + 1)) << "slot " << i;
}

TEST(WorkerListTest, RemoveMovesTheLastHandleIntoTheGap) {
  WorkerList list;
  for (int n = 1; n <= 5; ++n) list.Append(FakeHandle(n));
  EXPECT_TRUE(list.Remove(FakeHandle(2)));
  ASSERT_EQ(list.count(), 4);
  EXPECT_EQ(list.at(0), FakeHandle(1));
  EXPECT_EQ(list.at(1), FakeHandle(5));
  EXPECT_EQ(list.at(2), FakeHandle(3));
  EXPECT_EQ(list.at(3), FakeHandle(4));
  EXPECT_FALSE(list.Remove(FakeHandle(2)));
  EXPECT_TRUE(list.Remove(FakeHandle(4)));  // the last one: nothing moves
  EXPECT_EQ(list.count(), 3);
  EXPECT_EQ(list.at(2), FakeHandle(3));
  EXPECT_EQ(list.capacity(), 10);
}

// Dummy checks: a directory whose prefix begins with "wait" is held until
// Open(); one whose prefix holds "throw" throws on its first check. Counts
// the checks per directory, the most that ran at once, and the thread of
// the last one.
struct Gate {
  OwnedObject open{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  std::mutex lock;
  std::map<std::string, int> checks;
  std::atomic<int> running{0};
  std::atomic<int> mostAtOnce{0};
  std::atomic<DWORD> lastThread{0};
  std::atomic<int> lastPriority{0};

  void Open() { SetEvent(open.get()); }
  int Checks(const std::string& prefix) {
    std::lock_guard<std::mutex> hold(lock);
    return checks[prefix];
  }
  // Waits up to ten seconds for `prefix` to have had `count` checks.
  bool CheckedSoon(const std::string& prefix, int count) {
    for (int tick = 0; tick < 1000; ++tick) {
      if (Checks(prefix) >= count) return true;
      Sleep(10);
    }
    return false;
  }
};

CheckBody GatedBody(const std::shared_ptr<Gate>& gate) {
  return [gate](const std::string& prefix) {
    const int now = ++gate->running;
    gate->mostAtOnce = std::max(gate->mostAtOnce.load(), now);
    gate->lastThread = GetCurrentThreadId();
    gate->lastPriority = GetThreadPriority(GetCurrentThread());
    if (prefix.rfind("wait", 0) == 0) WaitForSingleObject(gate->open.get(), 30000);
    int count = 0;
    {
      std::lock_guard<std::mutex> hold(gate->lock);
      count = ++gate->checks[prefix];
    }
    --gate->running;
    if (count == 1 && prefix.find("throw") != std::string::npos) throw std::runtime_error("check failed");
  };
}

class WorkersTest : public ::testing::Test {
 protected:
  void TearDown() override {
    gate->Open();
    failFrom = 1 << 30;
    workers.WaitForWorkers();
  }

  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  std::atomic<int> starts{0};
  std::atomic<int> failFrom{1 << 30};  // thread starts from this one on fail
  Workers workers{GatedBody(gate), [this](LPTHREAD_START_ROUTINE routine, void* parameter) -> HANDLE {
                    if (starts >= failFrom) {
                      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                      return nullptr;
                    }
                    ++starts;
                    return CreateThread(nullptr, 0, routine, parameter, CREATE_SUSPENDED, nullptr);
                  }};
};

// While the thread is held in one directory's check, a burst over several
// directories queues each once; it then runs one check per directory (two
// for the held one: its own and one after the events that came during it),
// one at a time, on the one thread, at below-normal priority.
TEST_F(WorkersTest, ABurstOverSeveralDirectoriesHoldsOneThreadAndRunsAboutOneCheckEach) {
  const std::string dirs[] = {"wait\\0\\", "C:\\up\\1\\", "C:\\up\\2\\", "C:\\up\\3\\"};
  workers.StartDirectoryCheck(dirs[0] + "first.rar");
  for (int tick = 0; tick < 1000 && gate->running == 0; ++tick) Sleep(10);
  ASSERT_EQ(gate->running.load(), 1) << "the first check did not start";
  for (int f = 0; f < 50; ++f) {
    for (const std::string& dir : dirs) workers.StartDirectoryCheck(dir + "f" + std::to_string(f) + ".rar");
  }
  EXPECT_EQ(workers.QueuedCount(), 4u);
  gate->Open();
  for (const std::string& dir : dirs) {
    EXPECT_TRUE(gate->CheckedSoon(dir, dir == dirs[0] ? 2 : 1)) << dir;
  }
  EXPECT_EQ(starts.load(), 1);
  EXPECT_EQ(gate->mostAtOnce.load(), 1);
  EXPECT_EQ(gate->lastPriority.load(), THREAD_PRIORITY_BELOW_NORMAL);
  workers.WaitForWorkers();
  EXPECT_EQ(gate->Checks(dirs[0]), 2);
  for (int d = 1; d < 4; ++d) EXPECT_EQ(gate->Checks(dirs[d]), 1) << dirs[d];
  EXPECT_EQ(workers.ListedCount(), 0);
}

// No thread can be started: directories stay queued, once each, and are
// checked once threads can be had again, at the next idle event. Then no
// start succeeds at all: the shutdown checks them on its own thread.
TEST_F(WorkersTest, DirectoriesWhoseThreadCannotStartAreCheckedAtTheNextIdleOrAtShutdown) {
  failFrom = 0;
  for (int f = 0; f < 5; ++f) {
    for (int d = 0; d < 4; ++d) workers.StartDirectoryCheck("C:\\up\\" + std::to_string(d) + "\\f" + std::to_string(f));
  }
  EXPECT_EQ(starts.load(), 0);
  EXPECT_EQ(workers.QueuedCount(), 4u);
  failFrom = 1 << 30;
  workers.ReapWorkers();
  for (int d = 0; d < 4; ++d) EXPECT_TRUE(gate->CheckedSoon("C:\\up\\" + std::to_string(d) + "\\", 1)) << d;
  workers.WaitForWorkers();

  failFrom = 0;
  workers.StartDirectoryCheck("C:\\later\\a.rar");
  workers.StartDirectoryCheck("C:\\later\\b.rar");
  workers.ReapWorkers();
  EXPECT_EQ(gate->Checks("C:\\later\\"), 0);
  OwnedObject host = StartThread([this] { workers.WaitForWorkers(); });
  ASSERT_TRUE(host);
  ASSERT_EQ(WaitForSingleObject(host.get(), 10000), WAIT_OBJECT_0) << "the shutdown did not return";
  EXPECT_EQ(gate->Checks("C:\\later\\"), 1);
  EXPECT_EQ(gate->lastThread.load(), GetThreadId(host.get()));
  EXPECT_EQ(workers.QueuedCount(), 0u);
}

// A check that throws ends only itself: the thread goes on, and the
// directory's next event gets a check.
TEST_F(WorkersTest, AThrowingCheckLeavesTheDirectorysNextEventChecked) {
  workers.StartDirectoryCheck("C:\\throw\\a.rar");
  ASSERT_TRUE(gate->CheckedSoon("C:\\throw\\", 1));
  workers.StartDirectoryCheck("C:\\other\\a.rar");
  workers.StartDirectoryCheck("C:\\throw\\b.rar");
  EXPECT_TRUE(gate->CheckedSoon("C:\\other\\", 1));
  EXPECT_TRUE(gate->CheckedSoon("C:\\throw\\", 2));
}

// Address space reserved for the stack of the calling thread.
SIZE_T OwnStackReservation() {
  const int onTheStack = 0;
  MEMORY_BASIC_INFORMATION region = {};
  VirtualQuery(&onTheStack, &region, sizeof region);
  const void* const stack = region.AllocationBase;
  SIZE_T total = 0;
  const char* at = static_cast<const char*>(stack);
  while (VirtualQuery(at, &region, sizeof region) == sizeof region && region.AllocationBase == stack) {
    total += region.RegionSize;
    at += region.RegionSize;
  }
  return total;
}

// In a 32-bit host every thread's stack takes address space that the server
// needs too: the checking thread reserves a small one, not the program's
// default (2 MiB here). Wine gives no thread less than 1 MiB.
TEST(WorkersStackTest, TheCheckingThreadReservesASmallStack) {
  std::atomic<SIZE_T> reserved{0};
  {
    Workers workers([&reserved](const std::string&) { reserved = OwnStackReservation(); });
    workers.StartDirectoryCheck("C:\\up\\a.rar");
    workers.WaitForWorkers();
  }
  EXPECT_GT(reserved.load(), 0u);
  EXPECT_LE(reserved.load(), std::max<SIZE_T>(Workers::kStackReservation, 1 << 20));
}

// This test program holds no dialog template, so no WaitNotice can be made:
// the shutdown must wait all the same.
TEST_F(WorkersTest, ShutdownWithoutANoticeStillWaitsForTheChecks) {
  workers.StartDirectoryCheck("wait\\1\\a.rar");
  workers.StartDirectoryCheck("wait\\2\\a.rar");
  OwnedObject opener = StartThread([gate = gate] {
    Sleep(300);
    gate->Open();
  });
  workers.WaitForWorkers();
  EXPECT_EQ(gate->Checks("wait\\1\\"), 1);
  EXPECT_EQ(gate->Checks("wait\\2\\"), 1);
  EXPECT_EQ(workers.ListedCount(), 0);
  WaitForSingleObject(opener.get(), INFINITE);
}

// The shutdown wait dispatches the thread's messages: here a timer, whose
// callback (run only when its message is dispatched) lets the check end.
std::shared_ptr<Gate> timerGate;
std::atomic<int> timerTicks{0};

void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (++timerTicks == 3) timerGate->Open();
}

TEST_F(WorkersTest, ShutdownDispatchesMessagesWhileItWaits) {
  timerGate = gate;
  timerTicks = 0;
  workers.StartDirectoryCheck("wait\\a.rar");
  UINT_PTR timer = SetTimer(nullptr, 0, 20, OnTimer);
  ASSERT_NE(timer, 0u);
  workers.WaitForWorkers();
  KillTimer(nullptr, timer);
  EXPECT_GE(timerTicks.load(), 3);
  EXPECT_EQ(workers.ListedCount(), 0);
  timerGate.reset();
}

TEST_F(WorkersTest, ShutdownLeavesAQuitMessageForTheHost) {
  workers.StartDirectoryCheck("C:\\up\\ends.rar");
  PostQuitMessage(7);
  workers.WaitForWorkers();
  MSG message;
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(message.wParam, 7u);
}

}  // namespace
}  // namespace sfvcheck
