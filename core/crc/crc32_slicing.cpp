#include "core/crc/crc32.h"

#include <array>

namespace sfvcheck {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;

// Table k advances a byte that sits k bytes before the end of a 16-byte
// group; table 0 is the ordinary per-byte table.
using SliceTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr SliceTables MakeSliceTables() {
  SliceTables tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t v = i;
    for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ kPolynomial : v >> 1;
    tables[0][i] = v;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t prev = tables[k - 1][i];
      tables[k][i] = (prev >> 8) ^ tables[0][prev & 0xFF];
    }
  }
  return tables;
}

// Built by the compiler: no start-up work and nothing to race over.
constexpr SliceTables kTables = MakeSliceTables();

// Byte-wise assembly keeps the kernel independent of the host's byte order;
// compilers turn it into one load on little-endian machines.
inline std::uint32_t LoadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint32_t ByteStep(std::uint32_t state, unsigned char byte) {
  return (state >> 8) ^ kTables[0][(state ^ byte) & 0xFF];
}

}  // namespace

const std::uint32_t* Crc32Table() { return kTables[0].data(); }

std::uint32_t Crc32Reference(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t state = ~crc;
  for (std::size_t i = 0; i < size; ++i) state = ByteStep(state, bytes[i]);
  return ~state;
}

std::uint32_t Crc32Slicing(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t state = ~crc;
  while (size >= 16) {
    std::uint32_t a = LoadLe32(p) ^ state;
    std::uint32_t b = LoadLe32(p + 4);
    std::uint32_t c = LoadLe32(p + 8);
    std::uint32_t d = LoadLe32(p + 12);
    state = kTables[15][a & 0xFF] ^ kTables[14][(a >> 8) & 0xFF] ^ kTables[13][(a >> 16) & 0xFF] ^
            kTables[12][a >> 24] ^ kTables[11][b & 0xFF] ^ kTables[10][(b >> 8) & 0xFF] ^
            kTables[9][(b >> 16) & 0xFF] ^ kTables[8][b >> 24] ^ kTables[7][c & 0xFF] ^
            kTables[6][(c >> 8) & 0xFF] ^ kTables[5][(c >> 16) & 0xFF] ^ kTables[4][c >> 24] ^
            kTables[3][d & 0xFF] ^ kTables[2][(d >> 8) & 0xFF] ^ kTables[1][(d >> 16) & 0xFF] ^
            kTables[0][d >> 24];
    p += 16;
    size -= 16;
  }
  while (size-- > 0) state = ByteStep(state, *p++);
  return ~state;
}

}  // namespace sfvcheck
