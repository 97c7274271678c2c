// The plug-in's own module handle, for loading its dialog templates.
#pragma once

#include <windows.h>

namespace sfvcheck {

// The module that holds this code (the DLL, or the test program that links
// the same library).
HMODULE ThisModule();

}  // namespace sfvcheck
