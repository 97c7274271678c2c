// The number of handles the calling process holds, for the tests that check
// that ended checking threads are reaped and nothing is left open.
#pragma once

#include <windows.h>

namespace sfvcheck::testing {

// 0 when it cannot be counted. Wine's GetProcessHandleCount always reports
// 0; there the system's handle table is counted instead.
DWORD HandlesOfThisProcess();

}  // namespace sfvcheck::testing
