// The plug-in's three exported entry points as the host sees them: names,
// calling conventions and signatures. The DLL defines them with these types,
// and the test host and the DLL tests look them up by these names, so the
// calling convention is fixed here and nowhere else.
#pragma once

#include <cstdint>

#include "core/host/host_record.h"

#define SFVCHECK_HOOK_CALL __cdecl
#define SFVCHECK_INIT_CALL __stdcall

namespace sfvcheck {

inline constexpr char kEventHookName[] = "HandleEventHook";
inline constexpr char kQndrlEventHookName[] = "HandleQNDRLEventHook";
inline constexpr char kInitEntryName[] = "_QDXApiInit@4";

// Only the low 16 bits of a hook's result are defined.
using EventHookFunction = std::int16_t(SFVCHECK_HOOK_CALL*)(HostEventRecord* record);
// The init record is 20 bytes of the host's; the plug-in takes nothing from it.
using InitEntryFunction = void(SFVCHECK_INIT_CALL*)(void* initRecord);

inline constexpr std::size_t kInitRecordSize = 20;

// GetProcAddress's result as an entry point of the given type, converted
// through the generic function pointer type void(*)().
template <typename Function, typename Address>
Function EntryPointFrom(Address address) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace sfvcheck
