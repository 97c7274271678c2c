// Checking threads: a worker thread per check, the list of the handles of
// running workers, the tasks whose worker could not be started, reaping on
// idle and the wait at shutdown.
//
// Threads: the hook threads of the host own a Workers object's calls
// (StartDirectoryCheck, StartPending, ReapWorkers, WaitForWorkers, possibly
// on several host threads at once); the WorkerList and the pending tasks are
// touched only under the list's own lock. Worker threads never touch the
// list: each owns its task (path copy, body, a reference to the module that
// holds its code) and releases it when it ends; before it ends it takes
// pending tasks, under the lock, and runs them too.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "win32/critical_section_win32.h"

namespace sfvcheck {

// An unordered, growable array of thread handles: 10 slots at first, 10 more
// whenever it is full. It never closes a handle; whoever removes one owns it.
class WorkerList {
 public:
  static constexpr int kGrowthStep = 10;

  WorkerList();
  virtual ~WorkerList();
  WorkerList(const WorkerList&) = delete;
  WorkerList& operator=(const WorkerList&) = delete;

  // Throws std::bad_alloc when the list cannot grow; the list is unchanged then.
  void Append(HANDLE handle);
  // Takes out the first slot holding `handle`, moving the last handle into
  // its place. False when the handle is not listed.
  bool Remove(HANDLE handle);

  int count() const { return count_; }
  int capacity() const { return capacity_; }
  HANDLE at(int index) const { return slots_[index]; }
  const HANDLE* slots() const { return slots_.get(); }

 private:
  int count_ = 0;
  int capacity_ = kGrowthStep;
  std::unique_ptr<HANDLE[]> slots_;
};

// What a worker does with the path of its file event; the result becomes the
// thread's exit code (it must not be STILL_ACTIVE, 259).
using WorkerBody = std::function<DWORD(const std::string& path)>;

// Makes a suspended thread that will run `routine` with `parameter`, or
// returns null when none can be made. The seam where tests fail thread starts.
using ThreadStarter = std::function<HANDLE(LPTHREAD_START_ROUTINE routine, void* parameter)>;

// One check waiting for a thread or running on one; defined with the workers.
struct WorkerTask;

// The checking threads of one module: the module keeps one instance whose
// body runs the directory check; tests give a body of their own.
class Workers {
 public:
  // At most this many worker handles go into one shutdown wait, beside the
  // message queue.
  static constexpr int kMaxWaitHandles = MAXIMUM_WAIT_OBJECTS - 1;
  // Address space reserved for each worker's stack. The deepest pass
  // measured (`sfvcheck_bench stack`: long names, hashing, moving aside,
  // marking, and a pass ended by an exception) used 12 to 17 KiB in the
  // 64-bit build (the exception's unwinding) and under 8 KiB in the 32-bit
  // one, counted from the thread's start. 256 KiB is fifteen times the most,
  // for what the measurement under Wine cannot see: the system's own
  // user-mode code inside calls and exception dispatch, and other DLLs'
  // thread notifications, all run on the worker's stack. 2,000 queued
  // workers then reserve 500 MiB, not 2 GiB.
  static constexpr SIZE_T kStackReservation = 256 * 1024;

  // Without a common body every event brings its own; without a starter,
  // threads are made with CreateThread.
  Workers() = default;
  explicit Workers(WorkerBody body, ThreadStarter starter = nullptr);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Starts one worker (below-normal priority) on a copy of `path` and lists
  // its handle. A check whose thread cannot be started is kept pending: a
  // worker that ends takes it, and StartPending, the idle reap and the
  // shutdown wait try again; the shutdown wait runs what is still pending on
  // its own thread at the latest. Only a task that cannot even be made (out
  // of memory for the path copy) is dropped.
  void StartDirectoryCheck(std::string_view path);
  // The same with a body of this event's own instead of the common one.
  void StartDirectoryCheck(std::string_view path, const WorkerBody& body);

  // Tries again to start a worker for each pending check. Returns at once
  // when none is pending.
  void StartPending();

  // Closes and unlists the handles of workers that have ended, and tries
  // pending checks again. Returns at once, without a scan, when no worker has
  // ended and none is pending.
  void ReapWorkers();

  // Shows the WaitNotice (when a window can be made) and pumps the calling
  // thread's messages until every listed worker has ended and been reaped and
  // no check is pending.
  void WaitForWorkers();

  // Inspection for tests. Hold no lock across calls.
  int ListedCount();
  int ListCapacity();
  int PendingCount();
  // A duplicate of the listed handle in `slot` (the caller closes it), or
  // null when the slot is not in use.
  HANDLE DuplicateListed(int slot);

 private:
  friend DWORD WINAPI WorkerThread(void* parameter);

  // Starts the task's thread; false, with the task still the caller's, when
  // it cannot be started.
  bool Start(std::unique_ptr<WorkerTask>& task);
  // The one place where a check that could not get a thread is noticed: it
  // waits here for a thread, or for the shutdown.
  void KeepPending(std::unique_ptr<WorkerTask> task);
  // The oldest pending check, taken off the list; null when none is.
  std::unique_ptr<WorkerTask> TakePending();
  bool ListIsEmpty();
  bool Idle();
  // Duplicates of up to kMaxWaitHandles listed handles, so that a reap on
  // another thread cannot close a handle while this one waits on it.
  std::size_t SnapshotForWait(HANDLE* handles);

  WorkerBody body_;
  ThreadStarter starter_;
  CriticalSection listLock_;
  // Guarded by listLock_:
  WorkerList list_;
  WorkerTask* pendingFirst_ = nullptr;  // owned; linked through WorkerTask::next, oldest first
  WorkerTask* pendingLast_ = nullptr;
  int pendingCount_ = 0;
};

}  // namespace sfvcheck
