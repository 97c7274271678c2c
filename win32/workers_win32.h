// The checking thread: it takes directories off the check queue and checks
// them one after another. The event that finds no thread running starts it;
// it ends once the queue has stayed empty for a moment. The WorkerList holds
// its handle until the idle reap closes it; the shutdown waits for it.
//
// Threads: host threads call the public members, possibly several at once.
// The queue, the WorkerList and the thread's state are touched only under
// the object's lock, never held during a check.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "core/check/check_queue.h"
#include "win32/critical_section_win32.h"
#include "win32/owned_handle_win32.h"
#include "win32/worker_list_win32.h"
#include "win32/thread_stack_win32.h"

namespace sfvcheck {

// Checks one directory, given as its prefix (ending in '\'). What it throws
// ends that check only.
using CheckBody = std::function<void(const std::string& prefix)>;

// Makes a suspended thread that will run `routine` with `parameter`, or
// returns null when none can be made. The seam where tests fail thread starts.
using ThreadStarter = std::function<HANDLE(LPTHREAD_START_ROUTINE routine, void* parameter)>;

class Workers {
 public:
  // At most this many handles go into one shutdown wait, beside the message
  // queue.
  static constexpr int kMaxWaitHandles = MAXIMUM_WAIT_OBJECTS - 1;
  static constexpr SIZE_T kStackReservation = kThreadStackReservation;
  // How long the thread stays once the queue is empty, so that a stream of
  // events does not pay a thread start per check.
  static constexpr DWORD kLingerMs = 250;

  // Without a starter, threads are made with CreateThread.
  explicit Workers(CheckBody body, ThreadStarter starter = nullptr);
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Queues the directory of `path` and starts the checking thread when none
  // runs. When no thread can be started the directory stays queued: the next
  // event, the idle reap and the shutdown wait try again, and the shutdown
  // wait checks what is still queued on its own thread at the latest. Only
  // an event whose queue entry cannot be made (out of memory) is dropped.
  void StartDirectoryCheck(std::string_view path);

  // Closes and unlists the handles of threads that have ended, and starts
  // the checking thread when directories wait without one. Without an ended
  // thread, returns after one wait with a time-out of zero, without a scan.
  void ReapWorkers();

  // Shows the WaitNotice (when a window can be made) and pumps the calling
  // thread's messages until the queue is empty and every listed thread has
  // ended and been reaped. Queued directories are checked at once then,
  // without settling.
  void WaitForWorkers();

  // Inspection for tests. Hold no lock across calls.
  int ListedCount();
  std::size_t QueuedCount();

 private:
  friend DWORD WINAPI CheckingThread(void* parameter);

  // Starts the checking thread when directories wait and none runs. When
  // none can be started: with `orCheckHere`, checks the queue on the calling
  // thread; else returns false.
  bool EnsureThread(bool orCheckHere);
  void WakeThread();  // under lock_
  bool Launch();
  // The checking thread's loop; returns when the thread is to end.
  void RunQueue();
  bool Idle();
  // Duplicates of up to kMaxWaitHandles listed handles, so that a reap on
  // another thread cannot close a handle while this one waits on it.
  std::size_t SnapshotForWait(HANDLE* handles);

  const CheckBody body_;
  const ThreadStarter starter_;
  OwnedObject wake_;  // auto-reset: the sleeping thread has something to do
  CriticalSection lock_;
  // Guarded by lock_:
  CheckQueue queue_;
  WorkerList list_;
  bool threadRuns_ = false;    // a checking thread runs, or is being started
  bool threadSleeps_ = false;  // it waits for wake_
  bool draining_ = false;      // the shutdown waits: check everything now, then end
};

}  // namespace sfvcheck
