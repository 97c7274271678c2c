// The one processor probe for the CRC tiers, and the choice of tier, made once.
#include "core/crc/crc32.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace sfvcheck {
namespace {

struct CrcFeatures {
  bool clmul = false;   // PCLMULQDQ and SSE4.1
  bool avx512 = false;  // the above, AVX-512F and VPCLMULQDQ, with the OS saving their state
};

CrcFeatures Probe() {
  CrcFeatures found;
#if defined(__i386__) || defined(__x86_64__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return found;
  found.clmul = (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
  if (!found.clmul || (ecx & bit_OSXSAVE) == 0) return found;
  // The operating system must save the SSE, AVX, mask and all 512-bit
  // register state (XCR0 bits 1, 2, 5, 6, 7).
  unsigned int xcr0Low = 0, xcr0High = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  if ((xcr0Low & 0xE6u) != 0xE6u) return found;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return found;
  found.avx512 = (ebx & bit_AVX512F) != 0 && (ecx & bit_VPCLMULQDQ) != 0;
#endif
  return found;
}

const CrcFeatures& Features() {
  static const CrcFeatures features = Probe();
  return features;
}

using Kernel = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

}  // namespace

bool Crc32ClmulSupported() { return Features().clmul; }

bool Crc32Avx512Supported() { return Features().avx512; }

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size) {
  static const Kernel fastest = Crc32ClmulSupported() ? Crc32Clmul : Crc32Slicing;
  return fastest(crc, data, size);
}

std::uint32_t FileCrc32Kernel(std::uint32_t crc, const void* data, std::size_t size) {
  static const Kernel fastest = Crc32Avx512Supported() ? Crc32Avx512 : Crc32;
  return fastest(crc, data, size);
}

}  // namespace sfvcheck
