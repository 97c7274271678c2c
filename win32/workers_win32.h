// Checking threads: one worker thread per file event, the list of the handles
// of running workers, reaping on idle and the wait at shutdown.
//
// Threads: the hook threads of the host own a Workers object's calls
// (StartDirectoryCheck, ReapWorkers, WaitForWorkers, possibly on several host
// threads at once); the WorkerList is touched only by those calls, under the
// list's own lock. Worker threads never touch the list: each owns its path
// copy and a reference to the module that holds its code, and releases both
// when it ends.
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

  // Without a common body every event brings its own.
  Workers() = default;
  explicit Workers(WorkerBody body);
  ~Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Starts one worker (below-normal priority) on a copy of `path` and lists
  // its handle. Nothing is reported: a worker that cannot be started is
  // simply not there.
  void StartDirectoryCheck(std::string_view path);
  // The same with a body of this event's own instead of the common one.
  void StartDirectoryCheck(std::string_view path, const WorkerBody& body);

  // Closes and unlists the handles of workers that have ended. Returns at
  // once, without a scan, when none has.
  void ReapWorkers();

  // Shows the WaitNotice (when a window can be made) and pumps the calling
  // thread's messages until every listed worker has ended and been reaped.
  void WaitForWorkers();

  // Inspection for tests. Hold no lock across calls.
  int ListedCount();
  int ListCapacity();
  // A duplicate of the listed handle in `slot` (the caller closes it), or
  // null when the slot is not in use.
  HANDLE DuplicateListed(int slot);

 private:
  bool ListIsEmpty();
  // Duplicates of up to kMaxWaitHandles listed handles, so that a reap on
  // another thread cannot close a handle while this one waits on it.
  std::size_t SnapshotForWait(HANDLE* handles);

  WorkerBody body_;
  CriticalSection listLock_;
  WorkerList list_;
};

}  // namespace sfvcheck
