// Carry-less multiply on 512-bit registers (AVX-512F with VPCLMULQDQ): on a
// cached file the 128-bit kernel takes longer than ReadFile's own copy, this
// one several times less. This file alone is compiled for those instructions;
// it is only entered after the processor probe has confirmed them (processor
// and operating system). Like the 128-bit tier it includes no header with
// inline functions of its own, so the linker can pick none of its code for a
// caller elsewhere.
#include "core/crc/crc32.h"

#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

namespace sfvcheck {
namespace {

// x^k mod P for the reflected CRC-32 polynomial, in the 33-bit reflected form
// of the 128-bit kernel (bit s holds x^(32-s)). Folding a 128-bit lane over D
// bits multiplies its low half by x^(D+32) and its high half by x^(D-32).
constexpr long long kFold2048Low = 0x11542778A;   // x^2080: four registers ahead
constexpr long long kFold2048High = 0x1322D1430;  // x^2016
constexpr long long kFold512Low = 0x154442BD4;    // x^544: one register ahead
constexpr long long kFold512High = 0x1C6E41596;   // x^480
constexpr long long kFold128Low = 0x1751997D0;    // x^160: one lane ahead
constexpr long long kFold128High = 0x0CCAA009E;   // x^96

constexpr std::size_t kWideBlock = 256;  // four 512-bit registers

// Inlined by force: on 64-bit Windows a vector passed to a real call would
// go through a stack slot that GCC cannot align to 64 bytes.
__attribute__((always_inline)) inline __m512i Fold512(__m512i acc, __m512i next, __m512i constants) {
  // 0x96: three-way XOR.
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(acc, constants, 0x00),
                                   _mm512_clmulepi64_epi128(acc, constants, 0x11), next, 0x96);
}

__attribute__((always_inline)) inline __m128i Fold128(__m128i acc, __m128i next, __m128i constants) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(acc, constants, 0x00), _mm_clmulepi64_si128(acc, constants, 0x11)),
      next);
}

}  // namespace

// 32-bit Windows promises only 4-byte stack alignment: realign on entry for
// any register spill.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
std::uint32_t Crc32Avx512(std::uint32_t crc, const void* data, std::size_t size) {
  // Below two blocks the set-up and the final folds cost more than they save.
  if (size < 2 * kWideBlock) return Crc32(crc, data, size);
  const auto* p = static_cast<const unsigned char*>(data);

  // The running register is XORed into the first four message bytes; the
  // other 60 bytes of that register must be zero (a plain cast would leave
  // them undefined).
  __m512i x0 = _mm512_xor_si512(_mm512_loadu_si512(p),
                                _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
  __m512i x1 = _mm512_loadu_si512(p + 64);
  __m512i x2 = _mm512_loadu_si512(p + 128);
  __m512i x3 = _mm512_loadu_si512(p + 192);
  p += kWideBlock;
  size -= kWideBlock;

  const __m512i fold2048 = _mm512_set_epi64(kFold2048High, kFold2048Low, kFold2048High, kFold2048Low,
                                            kFold2048High, kFold2048Low, kFold2048High, kFold2048Low);
  while (size >= kWideBlock) {
    x0 = Fold512(x0, _mm512_loadu_si512(p), fold2048);
    x1 = Fold512(x1, _mm512_loadu_si512(p + 64), fold2048);
    x2 = Fold512(x2, _mm512_loadu_si512(p + 128), fold2048);
    x3 = Fold512(x3, _mm512_loadu_si512(p + 192), fold2048);
    p += kWideBlock;
    size -= kWideBlock;
  }

  const __m512i fold512 = _mm512_set_epi64(kFold512High, kFold512Low, kFold512High, kFold512Low,
                                           kFold512High, kFold512Low, kFold512High, kFold512Low);
  __m512i wide = Fold512(x0, x1, fold512);
  wide = Fold512(wide, x2, fold512);
  wide = Fold512(wide, x3, fold512);

  const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
  // Zero-masking extracts (and no broadcasts above): the plain forms trip a
  // false warning in GCC's header.
  __m128i acc = _mm512_maskz_extracti32x4_epi32(0xF, wide, 0);
  acc = Fold128(acc, _mm512_maskz_extracti32x4_epi32(0xF, wide, 1), fold128);
  acc = Fold128(acc, _mm512_maskz_extracti32x4_epi32(0xF, wide, 2), fold128);
  acc = Fold128(acc, _mm512_maskz_extracti32x4_epi32(0xF, wide, 3), fold128);

  // The 16 bytes left are congruent to everything hashed so far: their CRC
  // from a zero register is the register here. The tail continues on the
  // narrower kernel.
  alignas(16) unsigned char folded[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(folded), acc);
  const std::uint32_t sofar = Crc32Slicing(0xFFFFFFFFu, folded, sizeof folded);
  return Crc32(sofar, p, size);
}

}  // namespace sfvcheck

#else  // not x86: never selected, since Crc32Avx512Supported() is false.

namespace sfvcheck {

std::uint32_t Crc32Avx512(std::uint32_t crc, const void* data, std::size_t size) { return Crc32(crc, data, size); }

}  // namespace sfvcheck

#endif
