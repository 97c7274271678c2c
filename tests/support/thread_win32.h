// A Windows thread that runs a function, for tests that need a real second
// thread (CreateThread, as the plug-in's own threads are made).
#pragma once

#include <functional>

#include "win32/owned_handle_win32.h"

namespace sfvcheck::testing {

// Starts `function` on a new thread; the handle is empty when it cannot start.
OwnedObject StartThread(std::function<void()> function);

}  // namespace sfvcheck::testing
