// The SFV list parser over arbitrary bytes. Input: the bytes of a list; its
// first byte also picks the code page and how the bytes are cut into pieces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/check/sfv_list.h"
#include "core/check/text.h"
#include "fuzz/fuzz_check.h"

namespace {

bool ShiftJisLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

constexpr std::string_view kListPath = "C:\\up\\set.sfv";
constexpr std::string_view kDirectory = "C:\\up\\";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sfvcheck;
  const char* bytes = reinterpret_cast<const char*>(data);
  const unsigned control = size > 0 ? data[0] : 0;
  SetLeadByteTest((control & 1) != 0 ? ShiftJisLead : nullptr);

  SfvList whole;
  {
    SfvParser parser(kListPath, whole);
    parser.Feed(bytes, size);
    parser.Finish();
  }
  // Cutting the same bytes into pieces changes nothing, however they fall.
  SfvList pieces;
  {
    SfvParser parser(kListPath, pieces);
    const std::size_t step = 1 + (control >> 1) % 17;
    for (std::size_t at = 0; at < size; at += step) parser.Feed(bytes + at, size - at < step ? size - at : step);
    parser.Finish();
  }
  FUZZ_CHECK(whole.size() == pieces.size());
  for (std::size_t i = 0; i < whole.size(); ++i) {
    FUZZ_CHECK(whole[i].path == pieces[i].path);
    FUZZ_CHECK(whole[i].expectedCrc == pieces[i].expectedCrc);
    // Every accepted name stays inside the list's directory.
    const std::string_view path = whole[i].path;
    FUZZ_CHECK(path.substr(0, kDirectory.size()) == kDirectory);
    FUZZ_CHECK(IsNameInsideDirectory(path.substr(kDirectory.size())));
  }

  // The whole input as one line.
  std::string name;
  std::uint32_t crc = 0;
  if (ParseSfvLine(std::string_view(bytes, size), &name, &crc)) FUZZ_CHECK(IsNameInsideDirectory(name));

  SetLeadByteTest(nullptr);
  return 0;
}
