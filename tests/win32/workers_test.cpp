// The checking threads with dummy workers that the tests start and end at will.
// Threads: each test's main thread plays the host; the dummy workers only
// touch their Gate (atomics and a manual-reset event).
#include "win32/workers_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

// Runs `function` on a new thread.
DWORD WINAPI RunFunction(void* parameter) {
  std::unique_ptr<std::function<void()>> function(static_cast<std::function<void()>*>(parameter));
  (*function)();
  return 0;
}

OwnedObject StartThread(std::function<void()> function) {
  auto* owned = new std::function<void()>(std::move(function));
  HANDLE thread = CreateThread(nullptr, 0, RunFunction, owned, 0, nullptr);
  if (thread == nullptr) delete owned;
  return OwnedObject(thread);
}

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

// Dummy workers: paths that begin with "wait" block until Open(); the others
// end at once. Every path a worker received is recorded.
struct Gate {
  OwnedObject open{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> finished{0};
  std::mutex pathsLock;
  std::vector<std::string> paths;

  void Open() { SetEvent(open.get()); }
};

WorkerBody GatedBody(const std::shared_ptr<Gate>& gate) {
  return [gate](const std::string& path) -> DWORD {
    {
      std::lock_guard<std::mutex> hold(gate->pathsLock);
      gate->paths.push_back(path);
    }
    if (path.rfind("wait", 0) == 0) WaitForSingleObject(gate->open.get(), 30000);
    ++gate->finished;
    if (path.find("throw") != std::string::npos) throw std::runtime_error("worker failed");
    return 1;
  };
}

// Waits until the thread listed in `slot` has ended; returns its exit code.
DWORD WaitForListedWorker(Workers& workers, int slot) {
  OwnedObject handle(workers.DuplicateListed(slot));
  EXPECT_TRUE(handle) << "slot " << slot;
  if (!handle) return STILL_ACTIVE;
  EXPECT_EQ(WaitForSingleObject(handle.get(), 30000), WAIT_OBJECT_0);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeThread(handle.get(), &exitCode);
  return exitCode;
}

void WaitForAllListed(Workers& workers) {
  for (int slot = 0; slot < workers.ListedCount(); ++slot) WaitForListedWorker(workers, slot);
}

class WorkersTest : public ::testing::Test {
 protected:
  void TearDown() override {
    gate->Open();
    workers.WaitForWorkers();
  }

  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  Workers workers{GatedBody(gate)};
};

TEST_F(WorkersTest, TwoEndedWorkersTakeTwoReaps) {
  workers.StartDirectoryCheck("C:\\up\\a.rar");
  workers.StartDirectoryCheck("C:\\up\\b.rar");
  ASSERT_EQ(workers.ListedCount(), 2);
  EXPECT_EQ(WaitForListedWorker(workers, 0), 1u);
  EXPECT_EQ(WaitForListedWorker(workers, 1), 1u);

  workers.ReapWorkers();
  EXPECT_EQ(workers.ListedCount(), 1) << "the handle moved into slot 0 waits for the next reap";
  workers.ReapWorkers();
  EXPECT_EQ(workers.ListedCount(), 0);
}

TEST_F(WorkersTest, ReapLeavesRunningWorkersListed) {
  workers.StartDirectoryCheck("wait-1");
  workers.StartDirectoryCheck("C:\\up\\ends.rar");
  workers.StartDirectoryCheck("wait-2");
  WaitForListedWorker(workers, 1);
  workers.ReapWorkers();
  EXPECT_EQ(workers.ListedCount(), 2);
  workers.ReapWorkers();
  EXPECT_EQ(workers.ListedCount(), 2);
  gate->Open();
  WaitForAllListed(workers);
  workers.ReapWorkers();
  workers.ReapWorkers();
  EXPECT_EQ(workers.ListedCount(), 0);
}

TEST_F(WorkersTest, EachWorkerGetsItsOwnCopyOfThePath) {
  char path[] = "wait\\up\\a.rar";
  workers.StartDirectoryCheck(path);
  path[0] = 'X';
  workers.StartDirectoryCheck(path);
  gate->Open();
  workers.WaitForWorkers();
  std::lock_guard<std::mutex> hold(gate->pathsLock);
  ASSERT_EQ(gate->paths.size(), 2u);
  EXPECT_NE(std::find(gate->paths.begin(), gate->paths.end(), "wait\\up\\a.rar"), gate->paths.end());
  EXPECT_NE(std::find(gate->paths.begin(), gate->paths.end(), "Xait\\up\\a.rar"), gate->paths.end());
}

TEST_F(WorkersTest, WorkersRunBelowNormalPriority) {
  workers.StartDirectoryCheck("wait");
  OwnedObject handle(workers.DuplicateListed(0));
  ASSERT_TRUE(handle);
  EXPECT_EQ(GetThreadPriority(handle.get()), THREAD_PRIORITY_BELOW_NORMAL);
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

// Thousands of queued workers must not exhaust a 32-bit host's address space:
// each reserves a small stack, not the program's default (2 MiB here). Wine
// gives no thread less than 1 MiB.
TEST(WorkersStackTest, WorkersReserveASmallStack) {
  std::atomic<SIZE_T> reserved{0};
  {
    Workers workers([&reserved](const std::string&) -> DWORD {
      reserved = OwnStackReservation();
      return 1;
    });
    workers.StartDirectoryCheck("C:\\up\\a.rar");
    workers.WaitForWorkers();
  }
  EXPECT_GT(reserved.load(), 0u);
  EXPECT_LE(reserved.load(), std::max<SIZE_T>(Workers::kStackReservation, 1 << 20));
}

TEST_F(WorkersTest, AnExceptionInAWorkerEndsItWithExitCodeZero) {
  workers.StartDirectoryCheck("C:\\up\\throw.rar");
  EXPECT_EQ(WaitForListedWorker(workers, 0), 0u);
  EXPECT_EQ(gate->finished.load(), 1);
}

TEST_F(WorkersTest, MoreWorkersThanOneWaitTakesAreStillReaped) {
  constexpr int kBlocked = 69;
  for (int i = 0; i < kBlocked; ++i) workers.StartDirectoryCheck("wait");
  workers.StartDirectoryCheck("C:\\up\\ends.rar");
  ASSERT_EQ(workers.ListedCount(), kBlocked + 1);
  EXPECT_EQ(workers.ListCapacity(), 70);
  WaitForListedWorker(workers, kBlocked);

  // 70 handles are too many for one wait: it fails, and the scan still finds
  // the one worker that has ended.
  workers.ReapWorkers();
  EXPECT_EQ(workers.ListedCount(), kBlocked);

  gate->Open();
  WaitForAllListed(workers);
  workers.ReapWorkers();
  // Each reaped slot takes the last handle, which this scan does not examine.
  EXPECT_EQ(workers.ListedCount(), kBlocked / 2);
}

TEST_F(WorkersTest, ShutdownWaitsForMoreWorkersThanOneWaitTakes) {
  for (int i = 0; i < 70; ++i) workers.StartDirectoryCheck("wait");
  OwnedObject opener = StartThread([gate = gate] {
    Sleep(200);
    gate->Open();
  });
  ASSERT_TRUE(opener);
  workers.WaitForWorkers();
  EXPECT_EQ(workers.ListedCount(), 0);
  EXPECT_EQ(gate->finished.load(), 70);
  WaitForSingleObject(opener.get(), INFINITE);
}

TEST_F(WorkersTest, ShutdownWithNoWorkerListedReturnsAtOnce) {
  workers.WaitForWorkers();
  EXPECT_EQ(workers.ListedCount(), 0);
}

// This test program holds no dialog template, so no WaitNotice can be made:
// the shutdown must wait all the same.
TEST_F(WorkersTest, ShutdownWithoutANoticeStillWaitsForEveryWorker) {
  workers.StartDirectoryCheck("wait-1");
  workers.StartDirectoryCheck("wait-2");
  OwnedObject opener = StartThread([gate = gate] {
    Sleep(300);
    gate->Open();
  });
  workers.WaitForWorkers();
  EXPECT_EQ(gate->finished.load(), 2);
  EXPECT_EQ(workers.ListedCount(), 0);
  WaitForSingleObject(opener.get(), INFINITE);
}

// The shutdown wait dispatches the thread's messages: here a timer, whose
// callback (run only when its message is dispatched) lets the workers end.
std::shared_ptr<Gate> timerGate;
std::atomic<int> timerTicks{0};

void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (++timerTicks == 3) timerGate->Open();
}

TEST_F(WorkersTest, ShutdownDispatchesMessagesWhileItWaits) {
  timerGate = gate;
  timerTicks = 0;
  workers.StartDirectoryCheck("wait");
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
