// Reading stored flags from arbitrary text, and the stored form read back.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "core/settings/run_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sfvcheck;
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string_view text(bytes, size);

  const std::int32_t flag = ParseFlagText(text);
  // Leading blanks never change the reading.
  FUZZ_CHECK(ParseFlagText(" \t" + std::string(text)) == flag);

  const std::string stored = TextFromStoredBytes(bytes, size);
  FUZZ_CHECK(stored.size() <= size);
  FUZZ_CHECK(stored.find('\0') == std::string::npos);

  if (size >= 4) {
    std::int32_t any;
    std::memcpy(&any, data, sizeof any);
    FUZZ_CHECK(ParseFlagText(FormatFlagText(any)) == any);
  }
  return 0;
}
