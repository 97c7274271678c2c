#include "tests/support/wine_host_win32.h"

#include <windows.h>

#include <vector>

namespace sfvcheck::testing {

std::string HostNameOf(const std::string& windowsPath) {
  // Wine's own export; absent on Windows.
  using UnixName = char*(CDECL*)(const WCHAR*);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return std::string();
  const int length = MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::string();
  std::vector<WCHAR> wide(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide.data(), length);
  char* name = unixName(wide.data());
  if (name == nullptr) return std::string();
  std::string hostName(name);
  HeapFree(GetProcessHeap(), 0, name);
  return hostName;
}

}  // namespace sfvcheck::testing
