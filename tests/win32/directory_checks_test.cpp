// File events turned into checks on real worker threads, over the in-memory
// file system: how many workers a burst over several directories holds, how
// few passes it runs, and that checks whose threads cannot be started still
// run, at the next idle event or at shutdown.
// Threads: the test's main thread plays the host (file, idle and shutdown
// events); the checks run on the workers, or on the main thread at shutdown.
#include "win32/directory_checks_win32.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "core/check/directory_check.h"
#include "tools/support/memory_file_system.h"
#include "tests/support/std_check_lock.h"
#include "tools/support/test_data.h"

namespace sfvcheck {
namespace {

using testing::FsOp;

constexpr int kDirectories = 4;
constexpr int kFiles = 20;
const char kFull[] = "--==[####################]==--  100% complete";

class DirectoryChecksTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failFrom = 1 << 30;
    workers.WaitForWorkers();
  }

  static std::string Dir(int d) { return "C:\\up\\rel" + std::to_string(d) + "\\"; }
  static std::string File(int f) { return "f" + std::to_string(f) + ".rar"; }
  static std::string Content(int d, int f) { return testing::RandomBytes(500, d * 100 + f); }

  // Lists first, as a mirror sends them; nothing is checked yet.
  void MakeLists(int first, int count) {
    for (int d = first; d < first + count; ++d) {
      std::string list;
      for (int f = 0; f < kFiles; ++f) list += testing::SfvLine(File(f), testing::BitwiseCrc32(Content(d, f)));
      fs.AddFile(Dir(d) + "set.sfv", list);
    }
  }

  // Every file of the sets, the directories interleaved, each with its event.
  void Upload(int first, int count) {
    for (int f = 0; f < kFiles; ++f) {
      for (int d = first; d < first + count; ++d) {
        fs.AddFile(Dir(d) + File(f), Content(d, f));
        checks.FileArrived(Dir(d) + File(f));
      }
    }
  }

  bool Complete(int d) { return fs.IsDirectory(Dir(d) + kFull) && !fs.Exists(Dir(d) + "f0-[MISSING].rar"); }

  // Waits up to ten seconds for the sets to complete, as idle events come.
  bool CompleteSoon(int first, int count) {
    for (int tick = 0; tick < 200; ++tick) {
      bool all = true;
      for (int d = first; d < first + count; ++d) all = all && Complete(d);
      if (all) return true;
      workers.ReapWorkers();
      Sleep(50);
    }
    return false;
  }

  testing::MemoryFileSystem fs;
  testing::StdCheckLock lock;
  PassLedger ledger;
  std::atomic<int> starts{0};
  std::atomic<int> failFrom{1 << 30};  // thread starts from this one on fail
  Workers workers{WorkerBody(), [this](LPTHREAD_START_ROUTINE routine, void* parameter) -> HANDLE {
                    if (starts >= failFrom) return nullptr;
                    ++starts;
                    return CreateThread(nullptr, 0, routine, parameter, CREATE_SUSPENDED, nullptr);
                  }};
  DirectoryChecks checks{workers, ledger, [this](const std::string& path, const PassLedger::Ticket* ticket) {
                           const CheckContext context{fs, lock, [] { return RunSettings{}; }, nullptr, &ledger,
                                                      ticket};
                           return static_cast<DWORD>(DirectoryCheck(context, path));
                         }};
};

// While every pass waits for the lock, each directory holds one waiting
// check that all its later events join; once the lock is free, each set is
// complete after far fewer passes than it had events.
TEST_F(DirectoryChecksTest, ABurstOverSeveralDirectoriesHoldsFewWorkersAndRunsFewPasses) {
  MakeLists(0, kDirectories);
  {
    std::lock_guard<testing::StdCheckLock> holdPasses(lock);
    Upload(0, kDirectories);
    EXPECT_LE(starts, 2 * kDirectories);
  }
  workers.WaitForWorkers();
  for (int d = 0; d < kDirectories; ++d) {
    EXPECT_TRUE(Complete(d)) << Dir(d);
    EXPECT_LT(fs.Calls(FsOp::kOpenForCheck, Dir(d) + "set.sfv"), static_cast<std::size_t>(kFiles) / 2) << Dir(d);
  }
}

// No thread can be started: each directory's check waits, one per
// directory, and runs once threads can be had again, at the next idle event.
// Then thread starts fail after the first: the one worker and the shutdown
// wait run the rest, and the shutdown returns only when every set is right.
TEST_F(DirectoryChecksTest, ChecksWhoseThreadsCannotStartRunAtTheNextIdleOrAtShutdown) {
  MakeLists(0, 2 * kDirectories);
  failFrom = 0;
  Upload(0, kDirectories);
  EXPECT_EQ(starts, 0);
  EXPECT_EQ(workers.PendingCount(), kDirectories);
  failFrom = 1 << 30;
  EXPECT_TRUE(CompleteSoon(0, kDirectories)) << "pending checks did not run at the idle events";

  failFrom = starts + 1;
  {
    std::lock_guard<testing::StdCheckLock> holdPasses(lock);
    Upload(kDirectories, kDirectories);
  }
  EXPECT_LE(workers.PendingCount(), kDirectories);
  workers.WaitForWorkers();
  EXPECT_EQ(workers.PendingCount(), 0);
  for (int d = kDirectories; d < 2 * kDirectories; ++d) EXPECT_TRUE(Complete(d)) << Dir(d);
}

}  // namespace
}  // namespace sfvcheck
