// hash: one file, written to the temporary folder first so it is read from
// the cache, hashed by each CRC tier in memory and over the file, against a
// bare ReadFile loop at the same block size and against a whole DirectoryCheck
// of a set made of this one file. Speeds in GB/s, with ratios to the per-byte
// reference and to the read loop.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/check/directory_check.h"
#include "core/check/file_crc.h"
#include "core/check/naming.h"
#include "core/crc/crc32.h"
#include "core/settings/run_settings.h"
#include "win32/critical_section_win32.h"
#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace bench {
namespace {

using Kernel = Crc32Kernel;

struct Tier {
  const char* name;
  Kernel kernel;
};

constexpr int kRepeats = 5;      // each hashing figure is the best of this many runs
constexpr char kDataName[] = "data.bin";

double GigabytesPerSecond(std::uint64_t bytes, double seconds) { return bytes / seconds / 1e9; }

bool WriteTestFile(const std::string& path, std::uint64_t bytes) {
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!file) return false;
  constexpr std::size_t kChunk = 1 << 20;
  for (std::uint64_t at = 0; at < bytes; at += kChunk) {
    const std::string chunk = RandomBytes(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, bytes - at)),
                                          static_cast<std::uint32_t>(at / kChunk + 1));
    DWORD written = 0;
    if (!WriteFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
        written != chunk.size()) {
      return false;
    }
  }
  return true;
}

// Reads the whole file in blocks, handing each block to `kernel` when there
// is one. Opened the way the checker opens files. Returns the seconds taken,
// or a negative value on failure.
double ReadPass(const std::string& path, std::size_t block, Kernel kernel, std::uint32_t* crc) {
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[block]);
  const double start = Seconds();
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return -1;
  std::uint32_t value = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.get(), static_cast<DWORD>(block), &got, nullptr)) return -1;
    if (got == 0) break;
    if (kernel) value = kernel(value, buffer.get(), got);
  }
  const double seconds = Seconds() - start;
  *crc = value;
  return seconds;
}

// One figure of a table: a timed run, its best time and the CRC it gave.
struct Timed {
  std::string label;
  std::function<double(std::uint32_t* crc)> run;  // seconds, negative on failure
  bool hashes = true;
  double best = -1;
  std::uint32_t crc = 0;
};

// Runs every row once per round for kRepeats rounds and keeps each row's
// best: a burst of load from elsewhere on the machine then hits all rows
// alike instead of one. False when a run fails.
bool TimeInRounds(std::vector<Timed>& rows) {
  for (int round = 0; round < kRepeats; ++round) {
    for (Timed& row : rows) {
      const double seconds = row.run(&row.crc);
      if (seconds < 0) {
        std::fprintf(stderr, "%s failed\n", row.label.c_str());
        return false;
      }
      if (row.best < 0 || seconds < row.best) row.best = seconds;
    }
  }
  return true;
}

// True when every hashing row agrees with `expected`; reports the others.
bool AllAgree(const std::vector<Timed>& rows, std::uint32_t expected) {
  bool agree = true;
  for (const Timed& row : rows) {
    if (!row.hashes || row.crc == expected) continue;
    std::printf("  %s: CRC %08X differs from the reference %08X\n", row.label.c_str(), row.crc, expected);
    agree = false;
  }
  return agree;
}

double TimeInMemory(Kernel kernel, const std::string& data, int rounds, std::uint32_t* crc) {
  const double start = Seconds();
  std::uint32_t value = 0;
  for (int r = 0; r < rounds; ++r) value = kernel(value, data.data(), data.size());
  const double seconds = Seconds() - start;
  *crc = value;
  return seconds;
}

void PrintRow(const char* label, double gbps, double referenceGbps, double readGbps) {
  std::printf("  %-36s %7.3f GB/s", label, gbps);
  if (referenceGbps > 0) std::printf("   x%6.2f reference", gbps / referenceGbps);
  if (readGbps > 0) std::printf("   %6.1f%% of read loop", 100.0 * gbps / readGbps);
  std::printf("\n");
}

// A whole DirectoryCheck of the set made of the one file, listed with its
// right CRC, with no state file before, so the pass hashes it. Seconds, or a
// negative value when the pass did not end with the set complete.
double TimeOneFileCheck(Win32FileSystem& fs, const std::string& folder) {
  CriticalSectionLock lock;  // the plug-in serialises its passes in-process the same way
  const RunSettings settings;  // defaults: meter on, delete off
  const CheckContext context{fs, lock, [&settings] { return settings; }};
  const std::string dataPath = folder + kDataName;
  const std::string statePath = StateFileName(folder, kListName);
  const std::string meterPath = folder + MeterFolderName(100, settings);

  DeleteFileA(statePath.c_str());
  RemoveDirectoryA(meterPath.c_str());
  const double start = Seconds();
  DirectoryCheck(context, dataPath);
  const double seconds = Seconds() - start;
  // Complete: the meter shows 100 %, the state file is gone, the file stays.
  if (!Exists(meterPath) || Exists(statePath) || !Exists(dataPath) || Exists(BadMarkerName(dataPath))) {
    std::printf("  DirectoryCheck did not find the one-file set complete\n");
    return -1;
  }
  return seconds;
}


// The other way to keep reading from waiting for hashing, measured here only:
// hashing straight from mapped views of the file, `window` bytes at a time.
// Seconds, or a negative value on failure.
double MappedPass(const std::string& path, std::size_t window, Crc32Kernel kernel, std::uint32_t* crc) {
  const double start = Seconds();
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size;
  if (!file || !GetFileSizeEx(file.get(), &size)) return -1;
  OwnedObject mapping(CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return -1;
  const std::uint64_t total = static_cast<std::uint64_t>(size.QuadPart);
  std::uint32_t value = 0;
  for (std::uint64_t at = 0; at < total; at += window) {
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(window, total - at));
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, static_cast<DWORD>(at >> 32), static_cast<DWORD>(at),
                               length);
    if (view == nullptr) return -1;
    value = kernel(value, view, length);
    UnmapViewOfFile(view);
  }
  const double seconds = Seconds() - start;
  *crc = value;
  return seconds;
}

// The one-file set through sfvcheck.dll as a host drives it: the file event
// until the shutdown event returns. The DLL reads the registry's settings, so
// only what holds under any: the file kept, not moved aside, the state file
// gone (the set is complete).
double TimeThroughDll(Plugin& plugin, const std::string& folder) {
  const std::string dataPath = folder + kDataName;
  const std::string statePath = StateFileName(folder, kListName);
  DeleteFileA(statePath.c_str());
  const double start = Seconds();
  plugin.FileArrived(dataPath);
  plugin.WaitForChecks();
  const double seconds = Seconds() - start;
  if (Exists(statePath) || !Exists(dataPath) || Exists(BadMarkerName(dataPath))) {
    std::printf("  the DLL did not find the one-file set complete\n");
    return -1;
  }
  return seconds;
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

}  // namespace

int RunHash(std::uint64_t mib, std::size_t block) {
  const std::uint64_t bytes = mib << 20;

  std::vector<Tier> tiers = {{"per-byte reference", Crc32Reference}, {"slicing-by-16", Crc32Slicing}};
  if (Crc32ClmulSupported()) tiers.push_back({"carry-less multiply, 128-bit", Crc32Clmul});
  if (Crc32Avx2Supported()) tiers.push_back({"carry-less multiply, 256-bit", Crc32Avx2});
  if (Crc32Avx512Supported()) tiers.push_back({"carry-less multiply, 512-bit", Crc32Avx512});
  tiers.push_back({"Crc32 (chosen tier)", Crc32});
  tiers.push_back({"FileCrc32Kernel (file tier)", FileCrc32Kernel});

  const CrcFeatures& features = Crc32Features();
  const char* cap = std::getenv("SFVCHECK_CRC_TIER");
  std::printf("hash: %llu MiB file, %zu KiB blocks, %d-bit build, best of %d\n",
              static_cast<unsigned long long>(mib), block / 1024, static_cast<int>(sizeof(void*) * 8), kRepeats);
  std::printf("  processor: PCLMULQDQ %s, SSE4.1 %s, AVX2 %s, AVX-512F %s, VPCLMULQDQ %s; the system saves "
              "ymm %s, zmm %s\n",
              YesNo(features.pclmulqdq), YesNo(features.sse41), YesNo(features.avx2), YesNo(features.avx512f),
              YesNo(features.vpclmulqdq), YesNo(features.osSavesYmm), YesNo(features.osSavesZmm));
  std::printf("  chosen: Crc32 %s, file tier %s (SFVCHECK_CRC_TIER %s)\n", CrcTierName(Crc32Tier()),
              CrcTierName(FileCrc32Tier()), cap != nullptr ? cap : "unset");

  // In memory: one 1 MiB buffer hashed over and over, as much as the file.
  {
    const std::string data = RandomBytes(1 << 20, 99);
    const int rounds = static_cast<int>(mib);
    std::printf("\nIn memory (1 MiB buffer x %d):\n", rounds);
    std::vector<Timed> rows;
    for (const Tier& tier : tiers) {
      rows.push_back({tier.name, [&data, rounds, kernel = tier.kernel](std::uint32_t* crc) {
                        return TimeInMemory(kernel, data, rounds, crc);
                      }});
    }
    if (!TimeInRounds(rows) || !AllAgree(rows, rows[0].crc)) return 1;
    const double referenceGbps = GigabytesPerSecond(bytes, rows[0].best);
    double clmulSeconds = -1;
    double avx2Seconds = -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      PrintRow(rows[i].label.c_str(), GigabytesPerSecond(bytes, rows[i].best), i == 0 ? 0 : referenceGbps, 0);
      if (tiers[i].kernel == Crc32Clmul) clmulSeconds = rows[i].best;
      if (tiers[i].kernel == Crc32Avx2) avx2Seconds = rows[i].best;
    }
    if (clmulSeconds > 0 && avx2Seconds > 0) {
      std::printf("  256-bit tier: x%.2f the 128-bit tier (target 1.7 or more): %s\n", clmulSeconds / avx2Seconds,
                  clmulSeconds >= 1.7 * avx2Seconds ? "met" : "MISSED");
    }
  }

  const std::string folder = MakeWorkFolder("hash");
  const std::string path = folder + kDataName;
  if (folder.empty() || !WriteTestFile(path, bytes)) {
    std::fprintf(stderr, "cannot write the test file %s\n", path.c_str());
    RemoveWorkFolder(folder);
    return 1;
  }
  int result = 1;
  do {
    // The list for the directory check, from a first, untimed pass (which
    // also brings the whole file into the cache).
    std::uint32_t expected = 0;
    if (ReadPass(path, block, FileCrc32Kernel, &expected) < 0 ||
        !WriteWholeFile(folder + kListName, SfvLine(kDataName, expected))) {
      std::fprintf(stderr, "cannot read the test file\n");
      break;
    }

    std::printf("\nFile %s, read in %zu KiB blocks:\n", path.c_str(), block / 1024);
    Win32FileSystem fs;
    Plugin plugin;
    const bool haveDll = plugin.Load();
    if (!haveDll) std::printf("  (sfvcheck.dll not loaded: no row through the DLL)\n");

    std::vector<Timed> rows;
    rows.push_back({"read only (ReadFile loop)",
                    [&path, block](std::uint32_t* crc) { return ReadPass(path, block, nullptr, crc); }, false});
    for (const Tier& tier : tiers) {
      rows.push_back({std::string("read + ") + tier.name, [&path, block, kernel = tier.kernel](std::uint32_t* crc) {
                        return ReadPass(path, block, kernel, crc);
                      }});
    }
    // FileCrc32 over each carry-less tier, whole and in two halves, and
    // mapped views.
    const std::string reads = std::to_string(FileCrc32::kReadSize / 1024) + " KiB";
    for (const Tier& tier : tiers) {
      if (tier.kernel != Crc32Clmul && tier.kernel != Crc32Avx2 && tier.kernel != Crc32Avx512) continue;
      const std::string width = std::string(tier.name).substr(std::string(tier.name).rfind(' ') + 1);
      for (bool halves : {false, true}) {
        rows.push_back({std::string(halves ? "FileCrc32 two halves, " : "FileCrc32 whole, ") + width,
                        [&path, &fs, halves, kernel = tier.kernel](std::uint32_t* crc) {
                          FileCrc32 hasher(fs, kernel);
                          if (!halves) hasher.twoHalvesFrom = UINT64_MAX;
                          const double start = Seconds();
                          return hasher.ComputeFileCrc(path, crc) ? Seconds() - start : -1;
                        }});
      }
      rows.push_back({"mapped 32 MiB views, " + width, [&path, kernel = tier.kernel](std::uint32_t* crc) {
                        return MappedPass(path, 32 << 20, kernel, crc);
                      }});
    }
    // The product path: FileCrc32 through the Win32 file system as shipped.
    rows.push_back({"FileCrc32 (" + reads + " reads, file tier)", [&path, &fs](std::uint32_t* crc) {
                      FileCrc32 hasher(fs);
                      const double start = Seconds();
                      return hasher.ComputeFileCrc(path, crc) ? Seconds() - start : -1;
                    }});
    // The whole pass as the plug-in runs it, on the same cached file.
    rows.push_back({"DirectoryCheck, one-file set",
                    [&folder, &fs, expected](std::uint32_t* crc) {
                      *crc = expected;  // the check above proved it
                      return TimeOneFileCheck(fs, folder);
                    }});
    const std::size_t checkRow = rows.size() - 1;
    if (haveDll) {
      rows.push_back({"through the DLL (event 10 to 116)", [&folder, &plugin, expected](std::uint32_t* crc) {
                        *crc = expected;
                        return TimeThroughDll(plugin, folder);
                      }});
    }
    if (!TimeInRounds(rows) || !AllAgree(rows, rows[1].crc)) break;

    const double readGbps = GigabytesPerSecond(bytes, rows[0].best);
    const double referenceGbps = GigabytesPerSecond(bytes, rows[1].best);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      PrintRow(rows[i].label.c_str(), GigabytesPerSecond(bytes, rows[i].best), i < 2 ? 0 : referenceGbps,
               i == 0 ? 0 : readGbps);
    }
    const double checkGbps = GigabytesPerSecond(bytes, rows[checkRow].best);
    std::printf("  CRC-32 of the file: %08X (all tiers agree)\n", expected);
    std::printf("  DirectoryCheck: x%.2f the per-byte reference (target 10 or more), x%.2f the read "
                "loop (target 0.85 or more): %s\n",
                checkGbps / referenceGbps, checkGbps / readGbps,
                checkGbps >= 10 * referenceGbps && checkGbps >= 0.85 * readGbps ? "met" : "MISSED");
    if (haveDll) {
      const double dllGbps = GigabytesPerSecond(bytes, rows.back().best);
      std::printf("  through the DLL: x%.2f the read loop (target 0.85 or more): %s\n", dllGbps / readGbps,
                  dllGbps >= 0.85 * readGbps ? "met" : "MISSED");
    }

    // Candidates for the read size: the bare loop and the loop with hashing.
    std::vector<Timed> sizes;
    for (std::size_t size : {std::size_t{64} << 10, std::size_t{256} << 10, std::size_t{1} << 20}) {
      sizes.push_back({"", [&path, size](std::uint32_t* crc) { return ReadPass(path, size, nullptr, crc); }, false});
      sizes.push_back({std::to_string(size / 1024) + " KiB", [&path, size](std::uint32_t* crc) {
                         return ReadPass(path, size, FileCrc32Kernel, crc);
                       }});
    }
    if (!TimeInRounds(sizes) || !AllAgree(sizes, expected)) break;
    std::printf("\nBy block size (read only / read + FileCrc32Kernel):\n");
    for (std::size_t i = 0; i + 1 < sizes.size(); i += 2) {
      std::printf("  %8s   %7.3f GB/s / %7.3f GB/s\n", sizes[i + 1].label.c_str(),
                  GigabytesPerSecond(bytes, sizes[i].best), GigabytesPerSecond(bytes, sizes[i + 1].best));
    }
    result = 0;
  } while (false);

  RemoveWorkFolder(folder);
  return result;
}

}  // namespace bench
}  // namespace sfvcheck
