#include "tests/support/process_handles_win32.h"

#include <vector>

#include "plugin/entry_points_win32.h"

namespace sfvcheck::testing {

DWORD HandlesOfThisProcess() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = EntryPointFrom<QuerySystemInformation>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation"));
  if (query == nullptr) return 0;
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<ULONG_PTR> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
    const LONG status = query(kSystemHandleInformation, buffer.data(), size, &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return 0;
    break;
  }
  const ULONG entries = static_cast<ULONG>(buffer[0]);
  const auto* entry = reinterpret_cast<const HandleEntry*>(buffer.data() + 1);
  const auto self = static_cast<USHORT>(GetCurrentProcessId());
  for (ULONG i = 0; i < entries; ++i) count += entry[i].processId == self ? 1 : 0;
  return count;
}

}  // namespace sfvcheck::testing
