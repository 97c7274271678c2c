#include "core/settings/run_settings.h"

#include <cstring>

namespace sfvcheck {

namespace {

bool IsFlagWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::int32_t ParseFlagText(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsFlagWhiteSpace(text[pos])) ++pos;

  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }

  // Saturates at all bits set; the digits after that are passed over.
  constexpr std::uint64_t kMax = 0xFFFFFFFFu;
  std::uint64_t value = 0;
  bool anyDigit = false;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    anyDigit = true;
    if (value != kMax) {
      value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
      if (value > kMax) value = kMax;
    }
  }
  if (!anyDigit) return 0;

  auto bits = static_cast<std::uint32_t>(value);
  if (negative) bits = 0u - bits;  // two's complement, wraps by definition
  std::int32_t result;
  std::memcpy(&result, &bits, sizeof result);
  return result;
}

std::string FormatFlagText(std::int32_t flag) { return std::to_string(flag); }

std::string TextFromStoredBytes(const char* bytes, std::size_t size) {
  if (bytes == nullptr) return std::string();
  const void* nul = std::memchr(bytes, '\0', size);
  const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : size;
  return std::string(bytes, length);
}

}  // namespace sfvcheck
