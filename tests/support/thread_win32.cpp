#include "tests/support/thread_win32.h"

#include <windows.h>

#include <memory>
#include <utility>

namespace sfvcheck::testing {
namespace {

DWORD WINAPI RunFunction(void* parameter) {
  std::unique_ptr<std::function<void()>> function(static_cast<std::function<void()>*>(parameter));
  (*function)();
  return 0;
}

}  // namespace

OwnedObject StartThread(std::function<void()> function) {
  auto* owned = new std::function<void()>(std::move(function));
  HANDLE thread = CreateThread(nullptr, 0, RunFunction, owned, 0, nullptr);
  if (thread == nullptr) delete owned;
  return OwnedObject(thread);
}

}  // namespace sfvcheck::testing
