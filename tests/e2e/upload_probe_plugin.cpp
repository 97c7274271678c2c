// A stand-in plug-in for the FTP scenarios: at each file event it opens the
// reported file as a check does (reading, denying others write access) and
// answers 1 when that worked, 2 when it did not. The host logs each answer,
// so a scenario sees whether an upload was closed before its event was sent.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "core/host/host_record.h"
#include "plugin/entry_points_win32.h"

using sfvcheck::HostEventRecord;

extern "C" {

std::int16_t SFVCHECK_HOOK_CALL HandleEventHook(HostEventRecord* record) {
  if (record == nullptr || record->eventCode != sfvcheck::kEventFileArrived) return 0;
  char path[sfvcheck::kRecordTextSize + 1] = {};
  std::memcpy(path, record->text, sfvcheck::kRecordTextSize);
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  CloseHandle(file);
  return 1;
}

std::int16_t SFVCHECK_HOOK_CALL HandleQNDRLEventHook(HostEventRecord*) { return 0; }

void SFVCHECK_INIT_CALL QDXApiInit(void*) {}

}  // extern "C"
