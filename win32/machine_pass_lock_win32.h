// One lock per machine for verification passes, shared by every process that
// checks upload directories: the plug-in inside the server and the rescan
// tool. It is a named mutex in the global namespace, so a server running as
// a service (session 0) and an operator's tool in a desktop session find the
// same object; its security descriptor lets only the system, administrators
// and the service accounts wait on it and release it, whichever of them
// happened to create it.
#pragma once

#include <windows.h>

#include "win32/owned_handle_win32.h"

namespace sfvcheck {

inline constexpr char kMachinePassLockName[] = "Global\\sfvcheck.VerificationPass";

class MachinePassLock {
 public:
  MachinePassLock() = default;
  ~MachinePassLock();
  MachinePassLock(const MachinePassLock&) = delete;
  MachinePassLock& operator=(const MachinePassLock&) = delete;

  // Opens the mutex, creating it when no process has it yet. Returns at once
  // when already open. On failure the system's error code is in error().
  bool Open();
  DWORD error() const { return error_; }

  // Waits for the mutex up to `milliseconds`; true when this thread holds it
  // (also when its last holder ended without releasing it: a pass is safe to
  // run over a half-done one). False when not open, on time-out or on error.
  bool Acquire(DWORD milliseconds = INFINITE);
  // Releases it if this object holds it; on the thread that acquired it.
  void Release();

 private:
  OwnedObject mutex_;
  DWORD error_ = ERROR_SUCCESS;
  bool held_ = false;
};

}  // namespace sfvcheck
