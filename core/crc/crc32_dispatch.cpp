// The one processor probe for the CRC tiers, and the choice of tier, made once:
// the widest tier the processor and the operating system run, tested on a
// fixed input before it is used.
#include <array>
#include <atomic>
#include <cstring>

#include "core/crc/crc32.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace sfvcheck {
namespace {

CrcFeatures Probe() {
  CrcFeatures found;
#if defined(__i386__) || defined(__x86_64__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return found;
  found.pclmulqdq = (ecx & bit_PCLMUL) != 0;
  found.sse41 = (ecx & bit_SSE4_1) != 0;
  if ((ecx & bit_OSXSAVE) != 0) {
    // XCR0: bits 1 and 2 the SSE and AVX state, 5 to 7 the mask and 512-bit
    // register state.
    unsigned int xcr0Low = 0, xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    found.osSavesYmm = (xcr0Low & 0x06u) == 0x06u;
    found.osSavesZmm = (xcr0Low & 0xE6u) == 0xE6u;
  }
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
    found.avx2 = (ebx & bit_AVX2) != 0;
    found.avx512f = (ebx & bit_AVX512F) != 0;
    found.vpclmulqdq = (ecx & bit_VPCLMULQDQ) != 0;
  }
#endif
  return found;
}

// The self-test input: bytes from a fixed xorshift sequence, built by the
// compiler. Long enough for several wide blocks and an odd tail.
constexpr std::size_t kSelfTestSize = 4096 + 61;

constexpr std::array<unsigned char, kSelfTestSize> MakeSelfTestInput() {
  std::array<unsigned char, kSelfTestSize> bytes{};
  std::uint32_t x = 0x9E3779B9u;
  for (unsigned char& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<unsigned char>(x >> 24);
  }
  return bytes;
}

constexpr std::array<unsigned char, kSelfTestSize> kSelfTestInput = MakeSelfTestInput();

std::atomic<CrcTier> tierCeiling{CrcTier::kAvx512};

CrcTier Narrower(CrcTier a, CrcTier b) { return a < b ? a : b; }

}  // namespace

void SetCrcTierCeiling(CrcTier ceiling) { tierCeiling.store(ceiling); }

bool CrcTierNamed(const char* name, CrcTier* tier) {
  for (CrcTier each : {CrcTier::kReference, CrcTier::kSlicing, CrcTier::kClmul, CrcTier::kAvx2, CrcTier::kAvx512}) {
    if (std::strcmp(name, CrcTierName(each)) == 0) {
      *tier = each;
      return true;
    }
  }
  return false;
}

const char* CrcTierName(CrcTier tier) {
  switch (tier) {
    case CrcTier::kReference: return "reference";
    case CrcTier::kSlicing: return "slicing";
    case CrcTier::kClmul: return "clmul";
    case CrcTier::kAvx2: return "avx2";
    case CrcTier::kAvx512: return "avx512";
  }
  return "?";
}

Crc32Kernel CrcTierKernel(CrcTier tier) {
  switch (tier) {
    case CrcTier::kReference: return Crc32Reference;
    case CrcTier::kSlicing: return Crc32Slicing;
    case CrcTier::kClmul: return Crc32Clmul;
    case CrcTier::kAvx2: return Crc32Avx2;
    case CrcTier::kAvx512: return Crc32Avx512;
  }
  return Crc32Reference;
}

const CrcFeatures& Crc32Features() {
  static const CrcFeatures features = Probe();
  return features;
}

bool CrcTierRuns(const CrcFeatures& f, CrcTier tier) {
  const bool clmul = f.pclmulqdq && f.sse41;
  switch (tier) {
    case CrcTier::kReference:
    case CrcTier::kSlicing: return true;
    case CrcTier::kClmul: return clmul;
    case CrcTier::kAvx2: return clmul && f.avx2 && f.vpclmulqdq && f.osSavesYmm;
    case CrcTier::kAvx512: return clmul && f.avx512f && f.vpclmulqdq && f.osSavesYmm && f.osSavesZmm;
  }
  return false;
}

bool Crc32KernelPassesSelfTest(Crc32Kernel kernel) {
  const unsigned char* data = kSelfTestInput.data();
  // Whole; from odd starts with a running CRC; below and above the wide
  // tiers' thresholds; and continued across a cut.
  struct Piece {
    std::size_t start;
    std::size_t size;
  };
  const std::uint32_t running = Crc32Reference(0, "sfv", 3);
  for (const Piece piece : {Piece{0, kSelfTestSize}, Piece{1, kSelfTestSize - 1}, Piece{3, 255},
                            Piece{5, 511}, Piece{7, 1000}, Piece{13, 2051}}) {
    const unsigned char* start = data + piece.start;
    if (kernel(running, start, piece.size) != Crc32Reference(running, start, piece.size)) return false;
  }
  const std::uint32_t whole = Crc32Reference(0, data, kSelfTestSize);
  return kernel(kernel(0, data, 1531), data + 1531, kSelfTestSize - 1531) == whole;
}

CrcTier ChooseCrcTier(const CrcFeatures& features, CrcTier ceiling, Crc32Kernel (*kernelOf)(CrcTier)) {
  for (int t = static_cast<int>(ceiling); t > static_cast<int>(CrcTier::kReference); --t) {
    const CrcTier tier = static_cast<CrcTier>(t);
    if (CrcTierRuns(features, tier) && Crc32KernelPassesSelfTest(kernelOf(tier))) return tier;
  }
  return CrcTier::kReference;
}

bool Crc32ClmulSupported() { return CrcTierRuns(Crc32Features(), CrcTier::kClmul); }

bool Crc32Avx2Supported() { return CrcTierRuns(Crc32Features(), CrcTier::kAvx2); }

bool Crc32Avx512Supported() { return CrcTierRuns(Crc32Features(), CrcTier::kAvx512); }

// Crc32 stays on the 128-bit tier at most: it serves short inputs and the
// tails of the wide tiers, which call it.
CrcTier Crc32Tier() {
  static const CrcTier tier = ChooseCrcTier(Crc32Features(), Narrower(tierCeiling.load(), CrcTier::kClmul));
  return tier;
}

CrcTier FileCrc32Tier() {
  static const CrcTier tier = ChooseCrcTier(Crc32Features(), tierCeiling.load());
  return tier;
}

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size) {
  static const Crc32Kernel fastest = CrcTierKernel(Crc32Tier());
  return fastest(crc, data, size);
}

std::uint32_t FileCrc32Kernel(std::uint32_t crc, const void* data, std::size_t size) {
  static const Crc32Kernel fastest = CrcTierKernel(FileCrc32Tier());
  return fastest(crc, data, size);
}

}  // namespace sfvcheck
