#include "tools/ftp_host/process_peaks_win32.h"

#include <windows.h>

#include <algorithm>

#include "tools/support/process_threads_win32.h"

namespace ftphost {
namespace {

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
  peakThreads_ = std::max(peakThreads_, static_cast<unsigned>(std::max(0, sfvcheck::testing::ThreadsOfThisProcess())));
  peakVirtualBytes_ = std::max(peakVirtualBytes_, AddressSpaceInUse());
}

}  // namespace ftphost
