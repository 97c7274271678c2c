#include "core/crc/crc32.h"

#include <array>

namespace sfvcheck {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Products of polynomials over GF(2) modulo the CRC polynomial, in the CRC's
// reflected order: bit 31 is x^0, bit 0 is x^31.
constexpr std::uint32_t MultiplyModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// Entry k is x^(2^k) modulo the polynomial.
constexpr std::array<std::uint32_t, 64> MakePowersOfTwo() {
  std::array<std::uint32_t, 64> powers{};
  std::uint32_t p = 1u << 30;  // x^1
  for (std::uint32_t& power : powers) {
    power = p;
    p = MultiplyModP(p, p);
  }
  return powers;
}

constexpr std::array<std::uint32_t, 64> kPowersOfTwo = MakePowersOfTwo();

// x^(8 * bytes) modulo the polynomial: the factor that moves a CRC register
// past `bytes` zero bytes.
std::uint32_t ShiftFactor(std::uint64_t bytes) {
  std::uint32_t factor = 1u << 31;  // x^0
  for (unsigned k = 3; bytes != 0; bytes >>= 1, ++k) {
    if (bytes & 1) factor = MultiplyModP(kPowersOfTwo[k % 64], factor);
  }
  return factor;
}

}  // namespace

// The register after A, run on over B's bytes, is the register after A moved
// past as many zero bytes, XOR the register B alone gives from zero; the
// complements in and out cancel out of that sum.
std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondSize) {
  return MultiplyModP(ShiftFactor(secondSize), first) ^ second;
}

}  // namespace sfvcheck
