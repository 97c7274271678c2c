// A plug-in that does nothing: the three exports, answering every event with
// 0 at once. The load benchmark runs the FTP host with it to measure what the
// host and the clients cost without any checking.
#include <windows.h>

#include <cstdint>

#include "plugin/entry_points_win32.h"

extern "C" {

std::int16_t SFVCHECK_HOOK_CALL HandleEventHook(sfvcheck::HostEventRecord*) { return 0; }

std::int16_t SFVCHECK_HOOK_CALL HandleQNDRLEventHook(sfvcheck::HostEventRecord*) { return 0; }

void SFVCHECK_INIT_CALL QDXApiInit(void*) {}

}  // extern "C"

[[maybe_unused]] static constexpr sfvcheck::EventHookFunction kEventHookType = &HandleEventHook;
[[maybe_unused]] static constexpr sfvcheck::InitEntryFunction kInitEntryType = &QDXApiInit;
