// Threads: see workers_win32.h.
#include "win32/workers_win32.h"

#include <algorithm>
#include <new>
#include <utility>

#include "resource_ids.h"
#include "win32/module_win32.h"
#include "win32/outcome_log_win32.h"

namespace sfvcheck {

namespace {

// What a checking thread is started with: its Workers, and a reference to
// the module that holds its code, so that an unload by the host while the
// thread runs waits for it (and the CheckLock, destroyed with the module,
// outlives every pass). The module is null when no reference could be had.
struct ThreadStart {
  Workers* workers;
  HMODULE module;
};

// Key, mouse-move, mouse-button, posted-message, timer, paint and hot-key
// input: every kind of queued input but sent messages.
constexpr DWORD kShutdownWakeMask =
    QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY;
static_assert(kShutdownWakeMask == 0xBF, "wake mask");

// When no listed handle could be duplicated for the wait, the shutdown loop
// looks again after this long.
constexpr DWORD kRetryMilliseconds = 50;

INT_PTR CALLBACK WaitNoticeProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Milliseconds to sleep for `wait`, rounded up so that the thread never
// wakes just before a directory is ready.
DWORD SleepFor(CheckQueue::Clock::duration wait) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  return static_cast<DWORD>(std::clamp<decltype(ms)>(ms, 1, Workers::kLingerMs));
}

}  // namespace

DWORD WINAPI CheckingThread(void* parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.workers->RunQueue();
  // Dropping the reference may unload the module, so no code of it may run
  // afterwards: the thread ends inside the system call.
  if (start.module != nullptr) FreeLibraryAndExitThread(start.module, 0);
  return 0;
}

Workers::Workers(CheckBody body, ThreadStarter starter)
    : body_(std::move(body)), starter_(std::move(starter)), wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  if (!wake_) throw std::bad_alloc();
}

void Workers::StartDirectoryCheck(std::string_view path) {
  {
    CriticalSectionGuard guard(lock_);
    try {
      if (!queue_.Add(path, CheckQueue::Clock::now())) return;
    } catch (const std::bad_alloc&) {
      return;  // the one event that may be lost
    }
    WakeThread();
  }
  if (!EnsureThread(false)) LogCheckNotStarted(path, GetLastError());
}

bool Workers::EnsureThread(bool orCheckHere) {
  {
    CriticalSectionGuard guard(lock_);
    if (threadRuns_ || queue_.empty()) return true;
    threadRuns_ = true;  // claimed: other callers leave the start to this one
  }
  if (Launch()) return true;
  if (orCheckHere) {
    RunQueue();  // the calling thread stands in for the checking thread
    return true;
  }
  const DWORD error = GetLastError();
  {
    CriticalSectionGuard guard(lock_);
    threadRuns_ = false;
  }
  SetLastError(error);
  return false;
}

void Workers::WakeThread() {
  if (!threadSleeps_) return;
  threadSleeps_ = false;
  SetEvent(wake_.get());
}

bool Workers::Launch() {
  auto* start = new (std::nothrow) ThreadStart{this, nullptr};
  if (start == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CheckingThread),
                     &start->module);
  OwnedObject thread(starter_ ? starter_(CheckingThread, start)
                              : CreateThread(nullptr, kStackReservation, CheckingThread, start,
                                             CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  auto giveUp = [start] {
    const DWORD error = GetLastError();
    if (start->module != nullptr) FreeLibrary(start->module);
    delete start;
    SetLastError(error);
    return false;
  };
  if (!thread) return giveUp();
  SetThreadPriority(thread.get(), THREAD_PRIORITY_BELOW_NORMAL);

  // The list keeps the thread's own handle: it stays valid after the thread
  // ends, until a reap closes it, and no program the host starts inherits it.
  bool listed = true;
  {
    CriticalSectionGuard guard(lock_);
    try {
      list_.Append(thread.get());
    } catch (const std::bad_alloc&) {
      listed = false;
    }
  }
  if (!listed || ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    // A thread that never ran holds nothing yet: unlisted first, so that no
    // reap closes its handle meanwhile, then ended here.
    if (listed) {
      CriticalSectionGuard guard(lock_);
      list_.Remove(thread.get());
    }
    TerminateThread(thread.get(), 0);
    WaitForSingleObject(thread.get(), INFINITE);
    return giveUp();
  }
  thread.release();  // the list owns it now
  return true;
}

void Workers::RunQueue() {
  bool lingered = false;  // the last sleep found the queue empty throughout
  for (;;) {
    std::string prefix;
    DWORD sleep = kLingerMs;
    bool taken = false;
    bool idle = false;  // nothing queued
    {
      CriticalSectionGuard guard(lock_);
      threadSleeps_ = false;
      // At shutdown nothing settles: every directory is ready.
      const auto now = draining_ ? CheckQueue::Clock::time_point::max() : CheckQueue::Clock::now();
      CheckQueue::Clock::duration wait{};
      taken = queue_.TakeReady(now, &prefix, &wait);
      idle = !taken && queue_.empty();
      if (idle && (draining_ || lingered)) {
        threadRuns_ = false;
        return;
      }
      if (!taken && !idle) sleep = SleepFor(wait);
      threadSleeps_ = !taken;
    }
    if (taken) {
      try {
        body_(prefix);
      } catch (...) {
        // Out of memory, or a failing log or settings reader: this check
        // ends, and the directory's next event queues it again.
      }
      lingered = false;
    } else {
      // Only a sleep through the whole linger with the queue empty ends the
      // thread; settling directories keep it.
      lingered = WaitForSingleObject(wake_.get(), sleep) == WAIT_TIMEOUT && idle;
    }
  }
}

void Workers::ReapWorkers() {
  EnsureThread(false);
  CriticalSectionGuard guard(lock_);
  if (list_.count() == 0) return;
  // More handles than one wait accepts make it fail; that, like a signalled
  // handle, leads to the scan.
  if (WaitForMultipleObjects(static_cast<DWORD>(list_.count()), list_.slots(), FALSE, 0) == WAIT_TIMEOUT) {
    return;
  }
  for (int i = 0; i < list_.count(); ++i) {
    HANDLE handle = list_.at(i);
    DWORD exitCode = STILL_ACTIVE;
    // A handle whose exit code cannot be read could never be reaped and would
    // hold up the shutdown forever, so it is let go like an ended one.
    if (GetExitCodeThread(handle, &exitCode) && exitCode == STILL_ACTIVE) continue;
    list_.Remove(handle);
    CloseHandle(handle);
    // The last handle has moved into slot i; the next reap looks at it.
  }
}

void Workers::WaitForWorkers() {
  {
    CriticalSectionGuard guard(lock_);
    draining_ = true;
    WakeThread();
  }
  HWND notice = CreateDialogParamA(ThisModule(), MAKEINTRESOURCEA(IDD_WAIT_NOTICE), GetActiveWindow(),
                                   WaitNoticeProc, 0);
  if (notice != nullptr) ShowWindow(notice, SW_SHOW);

  bool quitSeen = false;
  WPARAM quitCode = 0;
  // Without a notice (no desktop) the wait goes on all the same.
  while (!Idle()) {
    // When no thread can be started, what is queued is checked here: nothing
    // may be lost at shutdown.
    EnsureThread(true);
    HANDLE handles[kMaxWaitHandles];
    const std::size_t count = SnapshotForWait(handles);
    MsgWaitForMultipleObjectsEx(static_cast<DWORD>(count), handles, count > 0 ? INFINITE : kRetryMilliseconds,
                                kShutdownWakeMask, 0);
    for (std::size_t i = 0; i < count; ++i) CloseHandle(handles[i]);

    ReapWorkers();

    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // Kept for the host's own message loop, which ends on it.
        quitSeen = true;
        quitCode = message.wParam;
        continue;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }

  if (notice != nullptr) DestroyWindow(notice);
  if (quitSeen) PostQuitMessage(static_cast<int>(quitCode));
  CriticalSectionGuard guard(lock_);
  draining_ = false;
}

bool Workers::Idle() {
  CriticalSectionGuard guard(lock_);
  return list_.count() == 0 && queue_.empty() && !threadRuns_;
}

std::size_t Workers::SnapshotForWait(HANDLE* handles) {
  CriticalSectionGuard guard(lock_);
  const int take = std::min(list_.count(), kMaxWaitHandles);
  std::size_t count = 0;
  for (int i = 0; i < take; ++i) {
    if (DuplicateHandle(GetCurrentProcess(), list_.at(i), GetCurrentProcess(), &handles[count], SYNCHRONIZE,
                        FALSE, 0)) {
      ++count;
    }
  }
  return count;
}

int Workers::ListedCount() {
  CriticalSectionGuard guard(lock_);
  return list_.count();
}

std::size_t Workers::QueuedCount() {
  CriticalSectionGuard guard(lock_);
  return queue_.size();
}

}  // namespace sfvcheck
