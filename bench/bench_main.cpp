// Figures for the checker's speed and footprint, printed; nothing here is a pass/fail test.
//
//   sfvcheck_bench [all|hash|pass|stack|set] [args]   (default: all)
//   sfvcheck_bench hash [file MiB, default 256] [block KiB, default FileCrc32::kReadSize]
//   sfvcheck_bench pass [small count, default 1000] [large count, default 10000]
//   sfvcheck_bench all  [file MiB] [block KiB]    hash, then pass with the default counts
//   sfvcheck_bench set  [abc] [N ...]             sets of N files (default 100 300 1000)
//   sfvcheck_bench stack                          deepest stack use of a pass
//
// Each mode is a file of its own (bench_<mode>.cpp); bench_common.h holds
// what they share.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/check/file_crc.h"
#include "core/crc/crc32.h"

namespace sfvcheck {
namespace bench {
namespace {

std::uint64_t Number(int argc, char** argv, int index, std::uint64_t fallback) {
  return argc > index ? std::strtoull(argv[index], nullptr, 10) : fallback;
}

int Run(int argc, char** argv) {
  // The benchmark's own cap on the CRC tiers, so that a processor with
  // AVX-512 can show what one without it gets; the DLL it loads is not capped.
  if (const char* cap = std::getenv("SFVCHECK_CRC_TIER")) {
    CrcTier ceiling;
    if (!CrcTierNamed(cap, &ceiling)) {
      std::fprintf(stderr, "SFVCHECK_CRC_TIER: reference, slicing, clmul, avx2 or avx512\n");
      return 2;
    }
    SetCrcTierCeiling(ceiling);
  }
  std::string mode = "all";
  int first = 1;  // index of the first numeric argument
  if (argc > 1 && (std::strcmp(argv[1], "all") == 0 || std::strcmp(argv[1], "hash") == 0 ||
                   std::strcmp(argv[1], "pass") == 0 || std::strcmp(argv[1], "stack") == 0 ||
                   std::strcmp(argv[1], "set") == 0)) {
    mode = argv[1];
    first = 2;
  }
  if (mode == "stack") return RunStack();
  if (mode == "set") {
    // Optional letters choosing the scenarios, then the set sizes.
    std::string scenarios = "abc";
    if (argc > first && std::strspn(argv[first], "abc") == std::strlen(argv[first]) && argv[first][0] != '\0') {
      scenarios = argv[first++];
    }
    std::vector<std::size_t> counts;
    for (int i = first; i < argc; ++i) {
      const std::uint64_t count = std::strtoull(argv[i], nullptr, 10);
      if (count == 0 || count > 99999) {
        std::fprintf(stderr, "usage: sfvcheck_bench set [abc] [N > 0 ...]\n");
        return 2;
      }
      counts.push_back(static_cast<std::size_t>(count));
    }
    if (counts.empty()) counts = {100, 300, 1000};
    return RunSet(scenarios, counts);
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
}  // namespace bench
}  // namespace sfvcheck

int main(int argc, char** argv) { return sfvcheck::bench::Run(argc, argv); }
