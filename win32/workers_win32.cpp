// Threads: see workers_win32.h. Every member of Workers runs on a host thread
// and takes listLock_ around each use of list_; WorkerThread runs on the
// worker and touches only its own task.
#include "win32/workers_win32.h"

#include <algorithm>
#include <new>
#include <utility>

#include "resource_ids.h"
#include "win32/module_win32.h"
#include "win32/outcome_log_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {

WorkerList::WorkerList() : slots_(new HANDLE[kGrowthStep]) {}

WorkerList::~WorkerList() = default;

void WorkerList::Append(HANDLE handle) {
  if (count_ >= capacity_) {
    std::unique_ptr<HANDLE[]> grown(new HANDLE[capacity_ + kGrowthStep]);
    std::copy(slots_.get(), slots_.get() + count_, grown.get());
    slots_ = std::move(grown);
    capacity_ += kGrowthStep;
  }
  slots_[count_++] = handle;
}

bool WorkerList::Remove(HANDLE handle) {
  for (int i = 0; i < count_; ++i) {
    if (slots_[i] == handle) {
      slots_[i] = slots_[count_ - 1];
      --count_;
      return true;
    }
  }
  return false;
}

// Everything a check owns: its path copy, what to do with it, and a
// reference to the module holding WorkerThread's code. While it waits for a
// thread it sits in its Workers' pending list.
struct WorkerTask {
  std::string path;
  WorkerBody body;
  HMODULE module = nullptr;
  Workers* owner = nullptr;
  WorkerTask* next = nullptr;  // in the pending list
};

namespace {

// Runs a task's body; nothing may leave it.
DWORD RunTask(WorkerTask& task) {
  try {
    return task.body(task.path);
  } catch (...) {
    return 0;
  }
}

}  // namespace

// Runs its own task, then every check left pending for want of a thread:
// a thread that exists is the surest one to run them on.
DWORD WINAPI WorkerThread(void* parameter) {
  HMODULE module = nullptr;
  DWORD exitCode = 0;
  {
    std::unique_ptr<WorkerTask> task(static_cast<WorkerTask*>(parameter));
    module = task->module;
    exitCode = RunTask(*task);
    for (std::unique_ptr<WorkerTask> pending = task->owner->TakePending(); pending;
         pending = task->owner->TakePending()) {
      RunTask(*pending);
      // This thread still holds its own reference, so the module stays.
      if (pending->module != nullptr) FreeLibrary(pending->module);
    }
  }
  // Dropping the reference may unload the module, so no code of it may run
  // afterwards: the thread ends inside the system call.
  if (module != nullptr) FreeLibraryAndExitThread(module, exitCode);
  return exitCode;
}

namespace {

// A reference to the module that holds WorkerThread, so that an unload by the
// host while workers run waits for the last of them (and the CheckLock,
// destroyed with the module, outlives every pass). Null when it cannot be had.
HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&WorkerThread), &module)) {
    return nullptr;
  }
  return module;
}

// A small reservation: in a 32-bit host every thread's stack takes address
// space that the server needs too.
HANDLE CreateWorkerThread(LPTHREAD_START_ROUTINE routine, void* parameter) {
  return CreateThread(nullptr, Workers::kStackReservation, routine, parameter,
                      CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

// Key, mouse-move, mouse-button, posted-message, timer, paint and hot-key
// input: every kind of queued input but sent messages.
constexpr DWORD kShutdownWakeMask =
    QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY;
static_assert(kShutdownWakeMask == 0xBF, "wake mask");

// When no listed handle could be duplicated for the wait, the shutdown loop
// looks again after this long.
constexpr DWORD kRetryMilliseconds = 50;

INT_PTR CALLBACK WaitNoticeProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

}  // namespace

Workers::Workers(WorkerBody body, ThreadStarter starter)
    : body_(std::move(body)), starter_(std::move(starter)) {}

Workers::~Workers() {
  while (std::unique_ptr<WorkerTask> task = TakePending()) {
    if (task->module != nullptr) FreeLibrary(task->module);
  }
}

void Workers::StartDirectoryCheck(std::string_view path) { StartDirectoryCheck(path, body_); }

void Workers::StartDirectoryCheck(std::string_view path, const WorkerBody& body) {
  std::unique_ptr<WorkerTask> task;
  try {
    task = std::make_unique<WorkerTask>();
    task->path = path;
    task->body = body;
  } catch (const std::bad_alloc&) {
    return;
  }
  task->owner = this;
  task->module = ReferenceOwnModule();
  if (!Start(task)) {
    LogCheckNotStarted(path, GetLastError());
    KeepPending(std::move(task));
  }
}

bool Workers::Start(std::unique_ptr<WorkerTask>& task) {
  OwnedObject thread(starter_ ? starter_(WorkerThread, task.get()) : CreateWorkerThread(WorkerThread, task.get()));
  if (!thread) return false;  // the thread never ran: the task is still ours
  SetThreadPriority(thread.get(), THREAD_PRIORITY_BELOW_NORMAL);

  // The list keeps the thread's own handle: it stays valid after the thread
  // ends, until a reap closes it, and no program the host starts inherits it.
  bool listed = false;
  {
    CriticalSectionGuard guard(listLock_);
    try {
      list_.Append(thread.get());
      listed = true;
    } catch (const std::bad_alloc&) {
      // Unlisted: the thread runs on, and its handle is closed here.
    }
  }

  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    // A thread that never ran holds nothing yet: unlist it first, so that no
    // reap closes its handle meanwhile, then end it; the task is ours again.
    if (listed) {
      CriticalSectionGuard guard(listLock_);
      list_.Remove(thread.get());
    }
    TerminateThread(thread.get(), 0);
    WaitForSingleObject(thread.get(), INFINITE);
    return false;
  }
  task.release();  // the thread owns it from here
  if (listed) thread.release();  // the list owns it now
  return true;
}

void Workers::KeepPending(std::unique_ptr<WorkerTask> task) {
  CriticalSectionGuard guard(listLock_);
  WorkerTask* kept = task.release();
  kept->next = nullptr;
  (pendingLast_ != nullptr ? pendingLast_->next : pendingFirst_) = kept;
  pendingLast_ = kept;
  ++pendingCount_;
}

std::unique_ptr<WorkerTask> Workers::TakePending() {
  CriticalSectionGuard guard(listLock_);
  WorkerTask* first = pendingFirst_;
  if (first == nullptr) return nullptr;
  pendingFirst_ = first->next;
  if (pendingFirst_ == nullptr) pendingLast_ = nullptr;
  --pendingCount_;
  first->next = nullptr;
  return std::unique_ptr<WorkerTask>(first);
}

void Workers::StartPending() {
  // Each pending check is tried once: those that fail again go back.
  for (int tries = PendingCount(); tries > 0; --tries) {
    std::unique_ptr<WorkerTask> task = TakePending();
    if (!task) return;
    if (!Start(task)) {
      KeepPending(std::move(task));
      return;  // no thread now: the rest need not try
    }
  }
}

void Workers::ReapWorkers() {
  StartPending();
  CriticalSectionGuard guard(listLock_);
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
  HWND notice = CreateDialogParamA(ThisModule(), MAKEINTRESOURCEA(IDD_WAIT_NOTICE), GetActiveWindow(),
                                   WaitNoticeProc, 0);
  if (notice != nullptr) ShowWindow(notice, SW_SHOW);

  bool quitSeen = false;
  WPARAM quitCode = 0;
  // Without a notice (no desktop) the wait goes on all the same.
  while (!Idle()) {
    // Checks that still get no thread, with no worker left to take them,
    // run here: none may be lost at shutdown.
    if (ListIsEmpty()) {
      while (std::unique_ptr<WorkerTask> task = TakePending()) {
        RunTask(*task);
        if (task->module != nullptr) FreeLibrary(task->module);
      }
      continue;
    }
    // With more listed workers than one wait takes, the first ones are
    // waited for: the loop must go on until they end in any case.
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
}

bool Workers::ListIsEmpty() {
  CriticalSectionGuard guard(listLock_);
  return list_.count() == 0;
}

bool Workers::Idle() {
  CriticalSectionGuard guard(listLock_);
  return list_.count() == 0 && pendingCount_ == 0;
}

std::size_t Workers::SnapshotForWait(HANDLE* handles) {
  CriticalSectionGuard guard(listLock_);
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
  CriticalSectionGuard guard(listLock_);
  return list_.count();
}

int Workers::PendingCount() {
  CriticalSectionGuard guard(listLock_);
  return pendingCount_;
}

int Workers::ListCapacity() {
  CriticalSectionGuard guard(listLock_);
  return list_.capacity();
}

HANDLE Workers::DuplicateListed(int slot) {
  CriticalSectionGuard guard(listLock_);
  if (slot < 0 || slot >= list_.count()) return nullptr;
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), list_.at(slot), GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return duplicate;
}

}  // namespace sfvcheck
