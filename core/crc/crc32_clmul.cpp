// Carry-less multiply CRC-32. This file alone is compiled for PCLMULQDQ and
// SSE4.1; it is only entered after cpuid has confirmed both. It includes no
// header with inline functions of its own, so no code compiled for those
// instructions can be picked by the linker for a caller elsewhere.
//
// Bit order: a 16-byte block loaded little-endian holds the message bits
// reflected, bit i of the register being the coefficient of x^(127-i). A
// 64x64 carry-less product of two reflected operands is reflected too, one
// bit short of 128, which is why every constant below is the 33-bit
// reflection of its polynomial (bit s holds x^(32-s)): the spare low bit
// keeps the product aligned with the blocks it is XORed into.
#include "core/crc/crc32.h"

#if defined(__i386__) || defined(__x86_64__)

#include <emmintrin.h>
#include <smmintrin.h>
#include <wmmintrin.h>

namespace sfvcheck {
namespace {

// Generated for the polynomial x^32 + 0x04C11DB7 (0xEDB88320 reflected).
// Folding a block over a distance of D bits multiplies its low half by
// x^(D+32) mod P and its high half by x^(D-32) mod P.
alignas(16) const std::uint64_t kFold512[2] = {
    0x154442BD4,  // x^544 mod P: low half, four blocks ahead
    0x1C6E41596,  // x^480 mod P: high half, four blocks ahead
};
alignas(16) const std::uint64_t kFold128[2] = {
    0x1751997D0,  // x^160 mod P: low half, one block ahead
    0x0CCAA009E,  // x^96 mod P: high half, one block ahead; also 128 -> 96 bits
};
alignas(16) const std::uint64_t kReduce64[2] = {
    0x163CD6124,  // x^64 mod P: 96 -> 64 bits
    0,
};
alignas(16) const std::uint64_t kBarrett[2] = {
    0x1F7011641,  // floor(x^64 / P), the Barrett quotient estimate
    0x1DB710641,  // P itself
};
alignas(16) const std::uint32_t kLow32Mask[4] = {0xFFFFFFFFu, 0, 0, 0};

inline __m128i Load(const std::uint64_t* constants) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(constants));
}

inline __m128i LoadBlock(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// acc * x^D mod P, aligned with `next`, then XORed into it.
inline __m128i Fold(__m128i acc, __m128i next, __m128i constants) {
  __m128i low = _mm_clmulepi64_si128(acc, constants, 0x00);
  __m128i high = _mm_clmulepi64_si128(acc, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// The 128-bit remainder A gives A * x^32 mod P, the CRC register.
inline std::uint32_t Reduce(__m128i acc) {
  const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(kLow32Mask));
  // 128 -> 96 bits: low half times x^96, plus the high half moved down.
  __m128i r = _mm_xor_si128(_mm_clmulepi64_si128(acc, Load(kFold128), 0x10), _mm_srli_si128(acc, 8));
  // 96 -> 64 bits: lowest 32 bits times x^64, plus the rest moved down.
  r = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(r, mask), Load(kReduce64), 0x00),
                    _mm_srli_si128(r, 4));
  // Barrett: quotient q from the top 32 coefficients, then r - q * P.
  const __m128i barrett = Load(kBarrett);
  __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(r, mask), barrett, 0x00), mask);
  r = _mm_xor_si128(r, _mm_clmulepi64_si128(q, barrett, 0x10));
  return static_cast<std::uint32_t>(_mm_extract_epi32(r, 1));
}

}  // namespace

// 32-bit Windows promises only 4-byte stack alignment to a callee, while the
// compiler spills SSE registers with aligned stores: realign on entry there.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
std::uint32_t Crc32Clmul(std::uint32_t crc, const void* data, std::size_t size) {
  // Below four blocks the set-up costs more than the table kernel.
  if (size < 64) return Crc32Slicing(crc, data, size);
  const auto* p = static_cast<const unsigned char*>(data);

  // The running register is XORed into the first four message bytes.
  __m128i x0 = _mm_xor_si128(LoadBlock(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i x1 = LoadBlock(p + 16);
  __m128i x2 = LoadBlock(p + 32);
  __m128i x3 = LoadBlock(p + 48);
  p += 64;
  size -= 64;

  const __m128i fold512 = Load(kFold512);
  while (size >= 64) {
    x0 = Fold(x0, LoadBlock(p), fold512);
    x1 = Fold(x1, LoadBlock(p + 16), fold512);
    x2 = Fold(x2, LoadBlock(p + 32), fold512);
    x3 = Fold(x3, LoadBlock(p + 48), fold512);
    p += 64;
    size -= 64;
  }

  const __m128i fold128 = Load(kFold128);
  __m128i acc = Fold(x0, x1, fold128);
  acc = Fold(acc, x2, fold128);
  acc = Fold(acc, x3, fold128);
  while (size >= 16) {
    acc = Fold(acc, LoadBlock(p), fold128);
    p += 16;
    size -= 16;
  }

  // The tail continues from the reduced register on the table kernel.
  return Crc32Slicing(~Reduce(acc), p, size);
}

}  // namespace sfvcheck

#else  // not x86: never selected, since Crc32ClmulSupported() is false.

namespace sfvcheck {

std::uint32_t Crc32Clmul(std::uint32_t crc, const void* data, std::size_t size) {
  return Crc32Slicing(crc, data, size);
}

}  // namespace sfvcheck

#endif
