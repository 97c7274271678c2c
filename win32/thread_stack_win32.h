// The stack reservation of the plug-in's own threads.
#pragma once

#include <windows.h>

namespace sfvcheck {

// Address space reserved for the stack of each thread the plug-in starts
// (the checking thread and the hashing helper). The deepest pass measured
// (`sfvcheck_bench stack`: long names, hashing, moving aside, marking, and a
// pass ended by an exception) used 12 to 17 KiB in the 64-bit build (the
// exception's unwinding) and under 8 KiB in the 32-bit one, counted from the
// thread's start; the helper runs a read and a CRC kernel, less still. 256
// KiB is fifteen times the most, for what the measurement under Wine cannot
// see: the system's own user-mode code inside calls and exception dispatch,
// and other DLLs' thread notifications, all run on the thread's stack. In a
// 32-bit host every thread's stack takes address space that the server needs
// too, so it is not the program's default of 1 MiB or more.
inline constexpr SIZE_T kThreadStackReservation = 256 * 1024;

}  // namespace sfvcheck
