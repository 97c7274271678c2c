// Figures for the checker's speed, printed; nothing here is a pass/fail test.
//
//   sfvcheck_bench [all|hash|pass] [args]        (default: all)
//   sfvcheck_bench hash [file MiB, default 256] [block KiB, default FileCrc32::kReadSize]
//   sfvcheck_bench pass [small count, default 1000] [large count, default 10000]
//   sfvcheck_bench all  [file MiB] [block KiB]    hash, then pass with the default counts
//
// hash: one file, written to the temporary folder first so it is read from
// the cache, hashed by each CRC tier in memory and over the file, against a
// bare ReadFile loop at the same block size and against a whole DirectoryCheck
// of a set made of this one file. Speeds in GB/s, with ratios to the per-byte
// reference and to the read loop.
//
// pass: a DirectoryCheck over lists of many small files that are all already
// recorded in the state file, so nothing is hashed: the pass should take time
// in proportion to the number of files.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/crc32.h"
#include "engine/directory_check.h"
#include "engine/file_crc.h"
#include "engine/file_system_win32.h"
#include "engine/naming.h"
#include "engine/owned_handle_win32.h"
#include "settings/run_settings.h"

namespace sfvcheck {
namespace {

using Kernel = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

struct Tier {
  const char* name;
  Kernel kernel;
};

constexpr int kRepeats = 5;      // each hashing figure is the best of this many runs
constexpr int kPassRepeats = 5;  // each pass figure is the best of this many runs
constexpr char kDataName[] = "data.bin";
constexpr char kListName[] = "set.sfv";

// The process-wide lock of the plug-in is a critical section too.
class CriticalSectionLock : public CheckLock {
 public:
  CriticalSectionLock() { InitializeCriticalSection(&section_); }
  ~CriticalSectionLock() override { DeleteCriticalSection(&section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
  void lock() override { EnterCriticalSection(&section_); }
  void unlock() override { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

// Incompressible filler (xorshift32), so no layer can shortcut the data.
std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

double Seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

double GigabytesPerSecond(std::uint64_t bytes, double seconds) { return bytes / seconds / 1e9; }

std::string Hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

// A fresh folder of its own in the temporary folder, with a trailing '\'.
std::string MakeWorkFolder(const char* tag) {
  char temp[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof temp, temp) == 0) return {};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string folder = std::string(temp) + "sfvbench." + tag + "." +
                               std::to_string(GetCurrentProcessId()) + "." + std::to_string(attempt);
    if (CreateDirectoryA(folder.c_str(), nullptr)) return folder + "\\";
  }
  return {};
}

// Empties the work folder (files and empty subfolders only, which is all the
// check makes) and removes it.
void RemoveWorkFolder(const std::string& folder) {
  if (folder.empty()) return;
  Win32FileSystem fs;
  for (const std::string& name : fs.ListMatches(folder + "*")) {
    const std::string path = folder + name;
    if (!DeleteFileA(path.c_str())) RemoveDirectoryA(path.c_str());
  }
  RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

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

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

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

double BestReadPass(const std::string& path, std::size_t block, Kernel kernel, std::uint32_t* crc) {
  double best = -1;
  for (int i = 0; i < kRepeats; ++i) {
    const double seconds = ReadPass(path, block, kernel, crc);
    if (seconds < 0) return -1;
    if (best < 0 || seconds < best) best = seconds;
  }
  return best;
}

double BestInMemory(Kernel kernel, const std::string& data, int rounds, std::uint32_t* crc) {
  double best = -1;
  for (int i = 0; i < kRepeats; ++i) {
    const double start = Seconds();
    std::uint32_t value = 0;
    for (int r = 0; r < rounds; ++r) value = kernel(value, data.data(), data.size());
    const double seconds = Seconds() - start;
    *crc = value;
    if (best < 0 || seconds < best) best = seconds;
  }
  return best;
}

void PrintRow(const char* label, double gbps, double referenceGbps, double readGbps) {
  std::printf("  %-36s %7.3f GB/s", label, gbps);
  if (referenceGbps > 0) std::printf("   x%6.2f reference", gbps / referenceGbps);
  if (readGbps > 0) std::printf("   %6.1f%% of read loop", 100.0 * gbps / readGbps);
  std::printf("\n");
}

// A whole DirectoryCheck of the set made of the one file (listed with its
// right CRC), with no state file before, so the pass hashes it: the best
// seconds of kRepeats, or a negative value when a pass did not end with the
// set complete.
double BestOneFileCheck(const std::string& folder, std::uint32_t crc) {
  if (!WriteWholeFile(folder + kListName, std::string(kDataName) + " " + Hex(crc) + "\r\n")) return -1;
  Win32FileSystem fs;
  CriticalSectionLock lock;
  const RunSettings settings;  // defaults: meter on, delete off
  const CheckContext context{fs, lock, [&settings] { return settings; }};
  const std::string dataPath = folder + kDataName;
  const std::string statePath = StateFileName(folder, kListName);
  const std::string meterPath = folder + MeterFolderName(100, settings);

  double best = -1;
  for (int i = 0; i < kRepeats; ++i) {
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
    if (best < 0 || seconds < best) best = seconds;
  }
  return best;
}

int RunHash(std::uint64_t mib, std::size_t block) {
  const std::uint64_t bytes = mib << 20;

  std::vector<Tier> tiers = {{"per-byte reference", Crc32Reference}, {"slicing-by-16", Crc32Slicing}};
  if (Crc32ClmulSupported()) tiers.push_back({"carry-less multiply, 128-bit", Crc32Clmul});
  if (Crc32Avx512Supported()) tiers.push_back({"carry-less multiply, 512-bit", Crc32Avx512});
  tiers.push_back({"Crc32 (chosen tier)", Crc32});
  tiers.push_back({"FileCrc32Kernel (file tier)", FileCrc32Kernel});

  std::printf("hash: %llu MiB file, %zu KiB blocks, %d-bit build, PCLMULQDQ+SSE4.1 %s, "
              "AVX-512F+VPCLMULQDQ %s, best of %d\n",
              static_cast<unsigned long long>(mib), block / 1024, static_cast<int>(sizeof(void*) * 8),
              Crc32ClmulSupported() ? "yes" : "no", Crc32Avx512Supported() ? "yes" : "no", kRepeats);

  // In memory: one 1 MiB buffer hashed over and over, as much as the file.
  {
    const std::string data = RandomBytes(1 << 20, 99);
    const int rounds = static_cast<int>(mib);
    std::printf("\nIn memory (1 MiB buffer x %d):\n", rounds);
    double referenceGbps = 0;
    std::uint32_t expected = 0;
    for (const Tier& tier : tiers) {
      std::uint32_t crc = 0;
      const double gbps = GigabytesPerSecond(bytes, BestInMemory(tier.kernel, data, rounds, &crc));
      if (tier.kernel == Crc32Reference) {
        referenceGbps = gbps;
        expected = crc;
      } else if (crc != expected) {
        std::printf("  %s: CRC %08X differs from the reference %08X\n", tier.name, crc, expected);
        return 1;
      }
      PrintRow(tier.name, gbps, tier.kernel == Crc32Reference ? 0 : referenceGbps, 0);
    }
  }

  const std::string folder = MakeWorkFolder("hash");
  const std::string path = folder + kDataName;
  if (folder.empty() || !WriteTestFile(path, bytes)) {
    std::fprintf(stderr, "cannot write the test file %s\n", path.c_str());
    RemoveWorkFolder(folder);
    return 1;
  }
  int result = 0;
  do {
    std::printf("\nFile %s, read in %zu KiB blocks:\n", path.c_str(), block / 1024);
    std::uint32_t unused = 0;
    const double readSeconds = BestReadPass(path, block, nullptr, &unused);
    if (readSeconds < 0) {
      std::fprintf(stderr, "cannot read the test file\n");
      result = 1;
      break;
    }
    const double readGbps = GigabytesPerSecond(bytes, readSeconds);
    PrintRow("read only (ReadFile loop)", readGbps, 0, 0);

    double referenceGbps = 0;
    std::uint32_t expected = 0;
    for (const Tier& tier : tiers) {
      std::uint32_t crc = 0;
      const double seconds = BestReadPass(path, block, tier.kernel, &crc);
      if (seconds < 0) {
        result = 1;
        break;
      }
      const double gbps = GigabytesPerSecond(bytes, seconds);
      if (tier.kernel == Crc32Reference) {
        referenceGbps = gbps;
        expected = crc;
      } else if (crc != expected) {
        std::printf("  %s: CRC %08X differs from the reference %08X\n", tier.name, crc, expected);
        result = 1;
        break;
      }
      const std::string label = std::string("read + ") + tier.name;
      PrintRow(label.c_str(), gbps, tier.kernel == Crc32Reference ? 0 : referenceGbps, readGbps);
    }
    if (result != 0) break;

    // The product path: FileCrc32 through the Win32 file system, kReadSize reads.
    {
      Win32FileSystem fs;
      FileCrc32 hasher(fs);
      double best = -1;
      std::uint32_t crc = 0;
      for (int i = 0; i < kRepeats; ++i) {
        const double start = Seconds();
        if (!hasher.ComputeFileCrc(path, &crc)) {
          std::fprintf(stderr, "ComputeFileCrc failed\n");
          result = 1;
          break;
        }
        const double seconds = Seconds() - start;
        if (best < 0 || seconds < best) best = seconds;
      }
      if (result != 0) break;
      if (crc != expected) {
        std::printf("  ComputeFileCrc: CRC %08X differs from the reference %08X\n", crc, expected);
        result = 1;
        break;
      }
      const std::string label = "FileCrc32 (" + std::to_string(FileCrc32::kReadSize / 1024) + " KiB reads)";
      PrintRow(label.c_str(), GigabytesPerSecond(bytes, best), referenceGbps, readGbps);
    }

    // The whole pass as the plug-in runs it, on the same cached file.
    const double checkSeconds = BestOneFileCheck(folder, expected);
    if (checkSeconds < 0) {
      result = 1;
      break;
    }
    const double checkGbps = GigabytesPerSecond(bytes, checkSeconds);
    PrintRow("DirectoryCheck, one-file set", checkGbps, referenceGbps, readGbps);
    std::printf("  CRC-32 of the file: %08X (all tiers agree)\n", expected);
    std::printf("  DirectoryCheck: x%.2f the per-byte reference (target 10 or more), %.1f%% of the read "
                "loop (target 50%% or more): %s\n",
                checkGbps / referenceGbps, 100.0 * checkGbps / readGbps,
                checkGbps >= 10 * referenceGbps && checkGbps >= 0.5 * readGbps ? "met" : "MISSED");

    // Candidates for the read size: the bare loop and the loop with hashing.
    std::printf("\nBy block size (read only / read + FileCrc32Kernel):\n");
    for (std::size_t size : {std::size_t{64} << 10, std::size_t{256} << 10, std::size_t{1} << 20}) {
      const double readOnly = BestReadPass(path, size, nullptr, &unused);
      std::uint32_t crc = 0;
      const double hashed = BestReadPass(path, size, FileCrc32Kernel, &crc);
      if (readOnly < 0 || hashed < 0 || crc != expected) {
        result = 1;
        break;
      }
      std::printf("  %5zu KiB   %7.3f GB/s / %7.3f GB/s\n", size / 1024, GigabytesPerSecond(bytes, readOnly),
                  GigabytesPerSecond(bytes, hashed));
    }
  } while (false);

  RemoveWorkFolder(folder);
  return result;
}

std::string SmallFileName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "file_%05zu.dat", index);
  return name;
}

// One directory of `count` small files, their list and a state file naming
// them all; times DirectoryCheck alone over it, best of kPassRepeats. The
// state file is written afresh before each pass (the pass deletes it, the
// set being complete). The listed CRCs are all wrong, so the state file alone
// makes the entries good: a pass that hashed anything would move files aside,
// which the check after each pass catches. Negative on failure.
double BestPassOverRecordedFiles(std::size_t count) {
  const std::string folder = MakeWorkFolder(std::to_string(count).c_str());
  if (folder.empty()) return -1;
  double best = -1;
  do {
    std::string list;
    std::string state;
    bool written = true;
    for (std::size_t i = 0; i < count && written; ++i) {
      const std::string name = SmallFileName(i);
      const std::string content = "small file " + std::to_string(i) + "\r\n";
      written = WriteWholeFile(folder + name, content);
      list += name + " " + Hex(~Crc32(0, content.data(), content.size())) + "\r\n";
      state += folder + name + "\r\n";
    }
    if (!written || !WriteWholeFile(folder + kListName, list)) break;

    Win32FileSystem fs;
    CriticalSectionLock lock;
    const RunSettings settings;
    const CheckContext context{fs, lock, [&settings] { return settings; }};
    const std::string statePath = StateFileName(folder, kListName);
    const std::string meterPath = folder + MeterFolderName(100, settings);
    bool failed = false;
    for (int i = 0; i < kPassRepeats && !failed; ++i) {
      if (!WriteWholeFile(statePath, state)) {
        failed = true;
        break;
      }
      const double start = Seconds();
      DirectoryCheck(context, folder + SmallFileName(0));
      const double seconds = Seconds() - start;
      failed = !Exists(meterPath) || Exists(statePath);
      for (std::size_t f = 0; f < count && !failed; ++f) failed = !Exists(folder + SmallFileName(f));
      if (failed) std::printf("  the pass over %zu files did not find them all recorded\n", count);
      if (best < 0 || seconds < best) best = seconds;
    }
    if (failed) best = -1;
  } while (false);
  RemoveWorkFolder(folder);
  return best;
}

int RunPass(std::size_t smallCount, std::size_t largeCount) {
  std::printf("pass: DirectoryCheck over small files all recorded in the state file (nothing hashed), "
              "%d-bit build, best of %d\n",
              static_cast<int>(sizeof(void*) * 8), kPassRepeats);
  const double small = BestPassOverRecordedFiles(smallCount);
  if (small < 0) return 1;
  std::printf("  %6zu files   %9.3f ms   %7.2f us per file\n", smallCount, small * 1e3, small * 1e6 / smallCount);
  const double large = BestPassOverRecordedFiles(largeCount);
  if (large < 0) return 1;
  std::printf("  %6zu files   %9.3f ms   %7.2f us per file\n", largeCount, large * 1e3, large * 1e6 / largeCount);
  const double countRatio = static_cast<double>(largeCount) / smallCount;
  const double ratio = large / small;
  std::printf("  time ratio %.2f for %.0fx the files (linear: %.0f; target %.0f or less): %s\n", ratio, countRatio,
              countRatio, 1.5 * countRatio, ratio <= 1.5 * countRatio ? "met" : "MISSED");
  return 0;
}

std::uint64_t Number(int argc, char** argv, int index, std::uint64_t fallback) {
  return argc > index ? std::strtoull(argv[index], nullptr, 10) : fallback;
}

int Run(int argc, char** argv) {
  std::string mode = "all";
  int first = 1;  // index of the first numeric argument
  if (argc > 1 && (std::strcmp(argv[1], "all") == 0 || std::strcmp(argv[1], "hash") == 0 ||
                   std::strcmp(argv[1], "pass") == 0)) {
    mode = argv[1];
    first = 2;
  }
  if (mode == "pass") {
    const std::uint64_t small = Number(argc, argv, first, 1000);
    const std::uint64_t large = Number(argc, argv, first + 1, 10000);
    if (small == 0 || large == 0 || large > 1000000) {
      std::fprintf(stderr, "usage: sfvcheck_bench pass [small count > 0] [large count > 0]\n");
      return 2;
    }
    return RunPass(static_cast<std::size_t>(small), static_cast<std::size_t>(large));
  }
  const std::uint64_t mib = Number(argc, argv, first, 256);
  const std::uint64_t blockKib = Number(argc, argv, first + 1, FileCrc32::kReadSize / 1024);
  if (mib == 0 || mib > (1u << 20) || blockKib == 0 || blockKib > (1u << 20)) {
    std::fprintf(stderr, "usage: sfvcheck_bench [all|hash] [file MiB > 0] [block KiB > 0]\n");
    return 2;
  }
  int result = RunHash(mib, static_cast<std::size_t>(blockKib) * 1024);
  if (mode == "all" && result == 0) {
    std::printf("\n");
    result = RunPass(1000, 10000);
  }
  return result;
}

}  // namespace
}  // namespace sfvcheck

int main(int argc, char** argv) { return sfvcheck::Run(argc, argv); }
