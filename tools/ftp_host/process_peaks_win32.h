// The host process's own peaks, sampled as it runs and reported at stop:
// its thread count and the address space it has in use (reserved or
// committed), what a plug-in's checks cost the server's process.
// Threads: Sample and the accessors run on the host's main thread only.
#pragma once

#include <cstdint>

namespace ftphost {

class ProcessPeaks {
 public:
  // One look at the process: a thread snapshot and a walk of its regions.
  void Sample();

  unsigned peakThreads() const { return peakThreads_; }
  std::uint64_t peakVirtualBytes() const { return peakVirtualBytes_; }

 private:
  unsigned peakThreads_ = 0;
  std::uint64_t peakVirtualBytes_ = 0;
};

}  // namespace ftphost
