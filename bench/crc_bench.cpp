// CRC-32 throughput: each tier in memory and over a file, against a
// read-only loop over the same file, and the read loop at several block sizes.
//
//   crc_bench [file MiB, default 256] [block KiB, default FileCrc32::kReadSize]
//
// The file is written to the temporary folder first, so it is read from the
// cache: the figures compare the hashing with the cost of ReadFile itself.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/crc32.h"
#include "engine/file_crc.h"
#include "engine/file_system_win32.h"
#include "engine/owned_handle_win32.h"

namespace sfvcheck {
namespace {

using Kernel = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

struct Tier {
  const char* name;
  Kernel kernel;
};

constexpr int kRepeats = 3;  // each figure is the best of this many runs

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

std::string TempFilePath() {
  char folder[MAX_PATH + 1] = {};
  char path[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof folder, folder) == 0) return {};
  if (GetTempFileNameA(folder, "crc", 0, path) == 0) return {};
  return path;
}

bool WriteTestFile(const std::string& path, std::uint64_t bytes) {
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!file) return false;
  constexpr std::size_t kChunk = 1 << 20;
  for (std::uint64_t at = 0; at < bytes; at += kChunk) {
    const std::string chunk =
        RandomBytes(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, bytes - at)),
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
  std::printf("  %-34s %7.3f GB/s", label, gbps);
  if (referenceGbps > 0) std::printf("   x%6.2f reference", gbps / referenceGbps);
  if (readGbps > 0) std::printf("   %6.1f%% of read loop", 100.0 * gbps / readGbps);
  std::printf("\n");
}

// Engine-level figures go here once the directory check exists: a whole
// DirectoryCheck of a one-file set on the same file (to compare with the bare
// hash above), and a pass over lists of 1,000 and 10,000 entries that are all
// already recorded as verified (the state file lookup, no hashing).
void RunDirectoryCheckFigures(const std::string& /*path*/, std::uint64_t /*bytes*/) {}

int Run(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const std::size_t block =
      argc > 2 ? static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10)) * 1024 : FileCrc32::kReadSize;
  if (mib == 0 || block == 0 || block > (1u << 30)) {
    std::fprintf(stderr, "usage: crc_bench [file MiB > 0] [block KiB > 0]\n");
    return 2;
  }
  const std::uint64_t bytes = mib << 20;

  std::vector<Tier> tiers = {{"per-byte reference", Crc32Reference}, {"slicing-by-16", Crc32Slicing}};
  if (Crc32ClmulSupported()) tiers.push_back({"carry-less multiply", Crc32Clmul});
  tiers.push_back({"Crc32 (chosen tier)", Crc32});

  std::printf("crc_bench: %llu MiB file, %zu KiB blocks, %d-bit build, PCLMULQDQ+SSE4.1 %s, best of %d\n",
              static_cast<unsigned long long>(mib), block / 1024, static_cast<int>(sizeof(void*) * 8),
              Crc32ClmulSupported() ? "yes" : "no", kRepeats);

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

  const std::string path = TempFilePath();
  if (path.empty() || !WriteTestFile(path, bytes)) {
    std::fprintf(stderr, "cannot write the test file %s\n", path.c_str());
    if (!path.empty()) DeleteFileA(path.c_str());
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
      std::printf("  CRC-32 of the file: %08X (all tiers agree)\n", expected);
    }

    // Candidates for the read size: the bare loop and the loop with hashing.
    std::printf("\nBy block size (read only / read + Crc32):\n");
    for (std::size_t size : {std::size_t{64} << 10, std::size_t{256} << 10, std::size_t{1} << 20}) {
      const double readOnly = BestReadPass(path, size, nullptr, &unused);
      std::uint32_t crc = 0;
      const double hashed = BestReadPass(path, size, Crc32, &crc);
      if (readOnly < 0 || hashed < 0 || crc != expected) {
        result = 1;
        break;
      }
      std::printf("  %5zu KiB   %7.3f GB/s / %7.3f GB/s\n", size / 1024, GigabytesPerSecond(bytes, readOnly),
                  GigabytesPerSecond(bytes, hashed));
    }
    if (result != 0) break;

    RunDirectoryCheckFigures(path, bytes);
  } while (false);

  DeleteFileA(path.c_str());
  return result;
}

}  // namespace
}  // namespace sfvcheck

int main(int argc, char** argv) { return sfvcheck::Run(argc, argv); }
