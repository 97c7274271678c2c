// The plug-in module: its start and stop, the three exported entry points and
// the dispatch of the host's events.
//
// Threads: the hooks run on whatever host threads call them and take no lock
// of their own; the checking thread and its queue are managed by
// `TheWorkers`, which has its own lock. The CheckLock is taken only by checks,
// one pass at a time (on the checking thread, or on the shutdown thread when
// no thread could be started).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/check/directory_check.h"
#include "core/host/host_record.h"
#include "core/host/site_commands.h"
#include "plugin/entry_points_win32.h"
#include "win32/code_page_win32.h"
#include "win32/config_dialog_win32.h"
#include "win32/critical_section_win32.h"
#include "win32/file_system_win32.h"
#include "win32/machine_pass_lock_win32.h"
#include "win32/outcome_log_win32.h"
#include "win32/registry_store_win32.h"
#include "win32/site_compare_win32.h"
#include "win32/workers_win32.h"

namespace sfvcheck {
namespace {

constexpr char kMenuItemText[] = "Plugins\\Configure SFV...";
static_assert(sizeof kMenuItemText == 25, "24 characters and the NUL");

// One pass at a time in the process (the critical section), and none while
// another process, the rescan tool, runs one (the machine-wide mutex, taken
// inside the section so only one worker waits on it). The wait for another
// process is bounded: a holder that never lets go must not stop the checks,
// nor the shutdown, which waits for them. When the mutex cannot be opened or
// had in time, the plug-in checks all the same, serialised within the server
// only, and later passes try without waiting until the mutex is had again.
class ModuleCheckLock : public CheckLock {
 public:
  void lock() override {
    section_.Enter();
    // Opened on first use rather than at load: no security-descriptor work
    // under the loader lock. A failed open is retried at the next pass.
    failure_ = ERROR_SUCCESS;
    if (!machineLock_.Open()) return CheckWithoutMachineLock();
    if (!machineLock_.Acquire(givenUp_ ? 0 : kMachineLockWaitMs)) return CheckWithoutMachineLock();
    givenUp_ = false;
  }
  void unlock() override {
    machineLock_.Release();
    section_.Leave();
  }
  std::uint32_t LastLockFailure() const override { return failure_; }

 private:
  // A pass of the rescan tool is usually over within this; a holder that
  // keeps it longer is not waited for.
  static constexpr DWORD kMachineLockWaitMs = 5000;

  // The one place where a pass goes ahead without the machine-wide lock.
  // The pass tells why (and the log has it) when the plug-in gives up on the
  // lock, not again on each later pass that goes ahead without waiting.
  void CheckWithoutMachineLock() {
    if (!givenUp_) failure_ = machineLock_.error() != ERROR_SUCCESS ? machineLock_.error() : ERROR_GEN_FAILURE;
    givenUp_ = true;
  }

  CriticalSection section_;
  MachinePassLock machineLock_;  // used under section_
  bool givenUp_ = false;         // under section_: the last pass went ahead without it
  DWORD failure_ = ERROR_SUCCESS;  // under section_: why this pass went ahead without it
};

// Module-wide state, made when the module loads and destroyed when it
// unloads. The checking thread holds a reference to the module, so an unload
// waits for it and no object can vanish under a check.
ModuleCheckLock& TheCheckLock() {
  static ModuleCheckLock checkLock;
  return checkLock;
}

// The lists this module has seen complete; guarded by the check lock.
CompletedLists& TheCompletedLists() {
  static CompletedLists lists;
  return lists;
}

void CheckDirectory(const std::string& prefix) {
  Win32FileSystem fileSystem;
  // Without an outcome log nobody reads a pass's result, and the pass then
  // gathers none: the sizes of a completed set's files cost a look at each.
  const CheckContext context{fileSystem, TheCheckLock(), [] { return ReadRunSettings(); }, OutcomeLogHook(),
                             &TheCompletedLists()};
  CheckDirectoryLists(context, prefix);
}

Workers& TheWorkers() {
  static Workers workers(CheckDirectory);
  return workers;
}

// The path in the record's text area, never read past the area's end.
std::string_view RecordText(const HostEventRecord& record) {
  return std::string_view(record.text, strnlen(record.text, kRecordTextSize));
}

void AnswerMenuQuery(HostEventRecord& record) {
  if (record.menuIndex == 0) {
    std::memcpy(record.text, kMenuItemText, sizeof kMenuItemText);
    return;
  }
  if (record.menuIndex == -1) record.menuFlag = 1;
  record.text[0] = '\0';
}

std::int16_t DispatchEvent(HostEventRecord& record) {
  switch (record.eventCode) {
    case kEventFileArrived:
    case kEventFileArrivedAlt:
      TheWorkers().StartDirectoryCheck(RecordText(record));
      return 0;
    case kEventSiteRequest:
      return DispatchSiteRequest(&record);
    default:
      return 0;
  }
}

std::int16_t DispatchQndrlEvent(HostEventRecord& record) {
  switch (record.eventCode) {
    case kEventMenuChosen:
      if (record.menuIndex == 0) RunConfigDialog();
      return 0;
    case kEventMenuQuery:
      AnswerMenuQuery(record);
      return 0;
    case kEventIdle:
      TheWorkers().ReapWorkers();
      return 0;
    case kEventShutdown:
      TheWorkers().WaitForWorkers();
      return 0;
    default:
      return 0;
  }
}

}  // namespace
}  // namespace sfvcheck

using sfvcheck::HostEventRecord;

// No C++ exception may reach the host: each entry point catches everything.
extern "C" {

std::int16_t SFVCHECK_HOOK_CALL HandleEventHook(HostEventRecord* record) {
  if (record == nullptr) return 0;
  try {
    return sfvcheck::DispatchEvent(*record);
  } catch (...) {
    return 0;
  }
}

std::int16_t SFVCHECK_HOOK_CALL HandleQNDRLEventHook(HostEventRecord* record) {
  if (record == nullptr) return 0;
  try {
    return sfvcheck::DispatchQndrlEvent(*record);
  } catch (...) {
    return 0;
  }
}

// Exported as _QDXApiInit@4 (see sfvcheck.def). Everything is set up at load.
void SFVCHECK_INIT_CALL QDXApiInit(void*) {}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    try {
      sfvcheck::TheWorkers();
      sfvcheck::TheCheckLock();
      sfvcheck::TheCompletedLists();
    } catch (...) {
      return FALSE;
    }
    sfvcheck::UseSystemCodePage();
    sfvcheck::InstallSiteNameCompare();
  }
  return TRUE;
}

}  // extern "C"

// The definitions above must match the types the host calls through.
[[maybe_unused]] static constexpr sfvcheck::EventHookFunction kEventHookType = &HandleEventHook;
[[maybe_unused]] static constexpr sfvcheck::EventHookFunction kQndrlEventHookType = &HandleQNDRLEventHook;
[[maybe_unused]] static constexpr sfvcheck::InitEntryFunction kInitEntryType = &QDXApiInit;
