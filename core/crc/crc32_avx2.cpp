// Carry-less multiply on 256-bit registers (AVX2 with VPCLMULQDQ): two
// 128-bit folds per instruction, for processors that have VPCLMULQDQ but no
// AVX-512. This file alone is compiled for those instructions; it is only
// entered after the processor probe has confirmed them (processor and
// operating system). Like the other tiers it includes no header with inline
// functions of its own, so the linker can pick none of its code for a caller
// elsewhere.
#include "core/crc/crc32.h"

#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

namespace sfvcheck {
namespace {

// x^k mod P for the reflected CRC-32 polynomial, in the 33-bit reflected form
// of the 128-bit kernel (bit s holds x^(32-s)). Folding a 128-bit lane over D
// bits multiplies its low half by x^(D+32) and its high half by x^(D-32).
constexpr long long kFold1024Low = 0x1E88EF372;   // x^1056: four registers ahead
constexpr long long kFold1024High = 0x14A7FE880;  // x^992
constexpr long long kFold128Low = 0x1751997D0;    // x^160: one lane ahead
constexpr long long kFold128High = 0x0CCAA009E;   // x^96

// Four registers: 32-bit code has only eight, and four chains of folds
// already cover the multiplier's latency.
constexpr std::size_t kWideBlock = 128;

// Inlined by force: a vector passed to a real call would go through a stack
// slot that 32-bit Windows code cannot count on being aligned.
__attribute__((always_inline)) inline __m256i Fold256(__m256i acc, __m256i next, __m256i constants) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(acc, constants, 0x00),
                                           _mm256_clmulepi64_epi128(acc, constants, 0x11)),
                          next);
}

__attribute__((always_inline)) inline __m128i Fold128(__m128i acc, __m128i next, __m128i constants) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(acc, constants, 0x00), _mm_clmulepi64_si128(acc, constants, 0x11)),
      next);
}

__attribute__((always_inline)) inline __m256i Load(const unsigned char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

}  // namespace

// 32-bit Windows promises only 4-byte stack alignment: realign on entry for
// any register spill.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
std::uint32_t Crc32Avx2(std::uint32_t crc, const void* data, std::size_t size) {
  // Below two blocks the set-up and the final folds cost more than they save.
  if (size < 2 * kWideBlock) return Crc32(crc, data, size);
  const auto* p = static_cast<const unsigned char*>(data);

  // The running register is XORed into the first four message bytes; the
  // other 28 bytes of that register must be zero.
  __m256i x0 = _mm256_xor_si256(Load(p), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(~crc))));
  __m256i x1 = Load(p + 32);
  __m256i x2 = Load(p + 64);
  __m256i x3 = Load(p + 96);
  p += kWideBlock;
  size -= kWideBlock;

  const __m256i fold1024 = _mm256_set_epi64x(kFold1024High, kFold1024Low, kFold1024High, kFold1024Low);
  while (size >= kWideBlock) {
    x0 = Fold256(x0, Load(p), fold1024);
    x1 = Fold256(x1, Load(p + 32), fold1024);
    x2 = Fold256(x2, Load(p + 64), fold1024);
    x3 = Fold256(x3, Load(p + 96), fold1024);
    p += kWideBlock;
    size -= kWideBlock;
  }

  // The eight 128-bit lanes in message order, folded one lane at a time.
  const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
  __m128i acc = _mm256_castsi256_si128(x0);
  acc = Fold128(acc, _mm256_extracti128_si256(x0, 1), fold128);
  acc = Fold128(acc, _mm256_castsi256_si128(x1), fold128);
  acc = Fold128(acc, _mm256_extracti128_si256(x1, 1), fold128);
  acc = Fold128(acc, _mm256_castsi256_si128(x2), fold128);
  acc = Fold128(acc, _mm256_extracti128_si256(x2, 1), fold128);
  acc = Fold128(acc, _mm256_castsi256_si128(x3), fold128);
  acc = Fold128(acc, _mm256_extracti128_si256(x3, 1), fold128);

  // The 16 bytes left are congruent to everything hashed so far: their CRC
  // from a zero register is the register here. Upper register halves are
  // cleared before code compiled without AVX runs again. The tail continues
  // on the narrower kernel.
  alignas(16) unsigned char folded[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(folded), acc);
  _mm256_zeroupper();
  const std::uint32_t sofar = Crc32Slicing(0xFFFFFFFFu, folded, sizeof folded);
  return Crc32(sofar, p, size);
}

}  // namespace sfvcheck

#else  // not x86: never selected, since the probe finds no such processor.

namespace sfvcheck {

std::uint32_t Crc32Avx2(std::uint32_t crc, const void* data, std::size_t size) { return Crc32(crc, data, size); }

}  // namespace sfvcheck

#endif
