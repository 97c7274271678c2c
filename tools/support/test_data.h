// Deterministic test data, the bitwise CRC-32 oracle and SFV lines. Header-only, so the
// test host and the benchmark use the same copy as the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace sfvcheck::testing {

// `size` pseudo-random bytes, the same for the same seed on every platform.
inline std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    // xorshift32: small, fast and identical everywhere.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

// CRC-32 of `bytes`, bit by bit: a reckoning independent of the tiers under
// test, for the lists the tests and the demo write.
inline std::uint32_t BitwiseCrc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// One line of an SFV list: the name, a space, the CRC in eight upper-case
// hexadecimal digits, CR LF.
inline std::string SfvLine(const std::string& name, std::uint32_t crc) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(crc));
  return name + " " + digits + "\r\n";
}

}  // namespace sfvcheck::testing
