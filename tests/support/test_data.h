// Deterministic test data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sfvcheck::testing {

// `size` pseudo-random bytes, the same for the same seed on every platform.
std::string RandomBytes(std::size_t size, std::uint32_t seed);

}  // namespace sfvcheck::testing
