#include "tools/ftp_host/process_peaks_win32.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

namespace ftphost {
namespace {

unsigned CountOwnThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = GetCurrentProcessId();
  unsigned count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// Every region that is not free: what thread stacks and heaps take from the
// process's address space, reserved or committed.
std::uint64_t AddressSpaceInUse() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  auto* address = static_cast<const char*>(system.lpMinimumApplicationAddress);
  const auto* end = static_cast<const char*>(system.lpMaximumApplicationAddress);
  std::uint64_t inUse = 0;
  MEMORY_BASIC_INFORMATION region{};
  while (address < end && VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State != MEM_FREE) inUse += region.RegionSize;
    address = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
  }
  return inUse;
}

}  // namespace

void ProcessPeaks::Sample() {
  peakThreads_ = std::max(peakThreads_, CountOwnThreads());
  peakVirtualBytes_ = std::max(peakVirtualBytes_, AddressSpaceInUse());
}

}  // namespace ftphost
