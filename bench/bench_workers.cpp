// workers: address space in use (VirtualQuery over the whole space) while
// `count` threads wait to start: first plain threads with the process's
// default stack reservation, then the plug-in's workers started by file
// events through its hook. They wait on the loader lock, held here, with
// their stacks already reserved, as workers queued on the CheckLock do.
#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "win32/owned_handle_win32.h"
#include "win32/workers_win32.h"

namespace sfvcheck {
namespace bench {
namespace {

struct AddressSpace {
  std::uint64_t used = 0;  // reserved or committed
  std::uint64_t free = 0;
};

// This process's address space, region by region (VirtualQuery).
AddressSpace MeasureAddressSpace() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  AddressSpace space;
  auto* at = static_cast<unsigned char*>(info.lpMinimumApplicationAddress);
  auto* const end = static_cast<unsigned char*>(info.lpMaximumApplicationAddress);
  MEMORY_BASIC_INFORMATION region;
  while (at < end) {
    if (VirtualQuery(at, &region, sizeof region) != sizeof region) {
      at += info.dwAllocationGranularity;  // not described: counted as in use
      space.used += info.dwAllocationGranularity;
      continue;
    }
    (region.State == MEM_FREE ? space.free : space.used) += region.RegionSize;
    at = static_cast<unsigned char*>(region.BaseAddress) + region.RegionSize;
  }
  return space;
}

int ThreadsOfThisProcess() {
  OwnedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  return count;
}

// Holds the loader lock: a thread that starts meanwhile waits in its start-up
// with its stack already reserved, as a worker waits on the CheckLock. The
// holder may still call into the loader itself (the lock is re-entrant).
class LoaderLockHold {
 public:
  LoaderLockHold() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    lock_ = reinterpret_cast<LockFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    unlock_ =
        reinterpret_cast<UnlockFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    held_ = lock_ != nullptr && unlock_ != nullptr && lock_(0, nullptr, &cookie_) >= 0;
  }
  ~LoaderLockHold() { Release(); }
  LoaderLockHold(const LoaderLockHold&) = delete;
  LoaderLockHold& operator=(const LoaderLockHold&) = delete;

  bool held() const { return held_; }
  void Release() {
    if (held_) unlock_(0, cookie_);
    held_ = false;
  }

 private:
  using LockFunction = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
  using UnlockFunction = LONG(NTAPI*)(ULONG, ULONG_PTR);
  LockFunction lock_ = nullptr;
  UnlockFunction unlock_ = nullptr;
  ULONG_PTR cookie_ = 0;
  bool held_ = false;
};


struct QueuedFigure {
  int started = 0;
  std::uint64_t bytes = 0;  // address space in use beyond the idle figure
  std::uint64_t left = 0;   // address space still free
};

QueuedFigure Measure(int started, const AddressSpace& idle) {
  const AddressSpace now = MeasureAddressSpace();
  return {started, now.used - idle.used, now.free};
}

void PrintQueued(const char* label, const QueuedFigure& figure, int count) {
  std::printf("  %-44s %5d of %d started   %8.1f MiB reserved   %7.1f KiB per thread", label, figure.started,
              count, figure.bytes / 1048576.0, figure.started > 0 ? figure.bytes / 1024.0 / figure.started : 0.0);
  // What is left matters where the space is small: a 32-bit process.
  if (sizeof(void*) == 4) std::printf("   %6.1f MiB left free", figure.left / 1048576.0);
  std::printf("\n");
}

}  // namespace

int RunWorkers(int count) {
  std::printf("workers: address space reserved with %d threads waiting, %d-bit build; workers ask for %u KiB\n",
              count, static_cast<int>(sizeof(void*) * 8), static_cast<unsigned>(Workers::kStackReservation / 1024));
  Plugin plugin;
  const std::string folder = MakeWorkFolder("workers");
  if (!plugin.Load() || folder.empty()) {
    std::fprintf(stderr, "sfvcheck.dll or a work folder is missing\n");
    return 1;
  }
  // Made before any figure: nothing below allocates while threads wait.
  std::vector<HANDLE> threads(static_cast<std::size_t>(count), nullptr);
  const std::string arrived = folder + "arrived.rar";  // no list beside it: each check ends at once
  const int threadsIdle = ThreadsOfThisProcess();
  const AddressSpace idle = MeasureAddressSpace();

  // Before: threads with the process's default stack reservation.
  QueuedFigure plain;
  {
    int started = 0;
    LoaderLockHold hold;
    if (!hold.held()) return 1;
    for (auto& thread : threads) {
      thread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
      if (thread == nullptr) break;
      ++started;
    }
    plain = Measure(started, idle);
  }
  for (HANDLE thread : threads) {
    if (thread == nullptr) continue;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }

  // After: the plug-in's workers, one per file event through its hook.
  QueuedFigure workers;
  {
    LoaderLockHold hold;
    if (!hold.held()) return 1;
    for (int i = 0; i < count; ++i) plugin.FileArrived(arrived);
    workers = Measure(ThreadsOfThisProcess() - threadsIdle, idle);
  }
  plugin.WaitForChecks();

  PrintQueued("default reservation (CreateThread, size 0)", plain, count);
  PrintQueued("plug-in workers (file events)", workers, count);
  if (plain.started == count && workers.started == count && plain.bytes > 0) {
    std::printf("  ratio %.2f\n", static_cast<double>(workers.bytes) / static_cast<double>(plain.bytes));
  }
  RemoveWorkFolder(folder);
  return 0;
}

}  // namespace bench
}  // namespace sfvcheck
