#include "win32/machine_pass_lock_win32.h"

#include <sddl.h>

namespace sfvcheck {
namespace {

// System and administrators: all access. The two service accounts: wait and
// release, which is all that taking the lock needs. No one else: any account
// that may take the lock can hold it and so hold up every other pass.
constexpr char kLockSecurity[] = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;LS)(A;;0x00100001;;;NS)";

// Only what the lock needs, so that opening a mutex made by another account
// asks for no more than its descriptor grants.
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

}  // namespace

MachinePassLock::~MachinePassLock() { Release(); }

bool MachinePassLock::Open() {
  if (mutex_) return true;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kLockSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    error_ = GetLastError();
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  mutex_.reset(CreateMutexExA(&attributes, kMachinePassLockName, 0, kLockAccess));
  error_ = mutex_ ? ERROR_SUCCESS : GetLastError();
  LocalFree(descriptor);
  return static_cast<bool>(mutex_);
}

bool MachinePassLock::Acquire(DWORD milliseconds) {
  if (!mutex_ || held_) return held_;
  DWORD waited = WaitForSingleObject(mutex_.get(), milliseconds);
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  if (waited == WAIT_FAILED) {
    error_ = GetLastError();
  } else if (waited == WAIT_TIMEOUT) {
    error_ = ERROR_TIMEOUT;
  }
  return held_;
}

void MachinePassLock::Release() {
  if (!held_) return;
  held_ = false;
  ReleaseMutex(mutex_.get());
}

}  // namespace sfvcheck
