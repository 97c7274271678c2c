// Placeholder entry points until the plug-in module is built.
#include <windows.h>
#include <cstdint>

extern "C" {
__declspec(dllexport) std::int16_t __cdecl HandleEventHook(void*) { return 0; }
__declspec(dllexport) std::int16_t __cdecl HandleQNDRLEventHook(void*) { return 0; }
__declspec(dllexport) void __stdcall QDXApiInit(void*) {}
}
