#include "tests/support/test_data.h"

namespace sfvcheck::testing {

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
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

}  // namespace sfvcheck::testing
