// The marker, state file and meter folder names from arbitrary paths and
// settings. Input: one control byte (bit 0: double-byte code page, bit 1:
// meter bar, the rest a percentage), then LF-separated fields: the path, the
// start trail, the end trail.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/check/naming.h"
#include "core/check/text.h"
#include "fuzz/fuzz_check.h"

namespace {

bool ShiftJisLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

std::string_view TakeField(std::string_view& rest) {
  const std::size_t end = rest.find('\n');
  const std::string_view field = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sfvcheck;
  if (size == 0) return 0;
  const unsigned control = data[0];
  SetLeadByteTest((control & 1) != 0 ? ShiftJisLead : nullptr);
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string_view path = TakeField(rest);
  RunSettings settings;
  settings.startTrail = std::string(TakeField(rest));
  settings.endTrail = std::string(TakeField(rest));
  settings.meterFlag = (control >> 1) & 1;

  if (const auto prefix = DirectoryPrefix(path)) {
    // The path up to a separator, which becomes '\'.
    FUZZ_CHECK(!prefix->empty() && prefix->size() <= path.size());
    FUZZ_CHECK(prefix->back() == '\\');
    const char cut = path[prefix->size() - 1];
    FUZZ_CHECK(cut == '\\' || cut == '/');
    FUZZ_CHECK(path.substr(0, prefix->size() - 1) == std::string_view(*prefix).substr(0, prefix->size() - 1));
    FUZZ_CHECK(StateFileName(*prefix, path) == *prefix + ".qdrl." + std::string(path) + ".state");
  }
  // A marker name is the path with its tag added.
  FUZZ_CHECK(MissingMarkerName(path).size() == path.size() + sizeof kMissingTag - 1);
  FUZZ_CHECK(BadMarkerName(path).size() == path.size() + sizeof kBadTag - 1);

  const int percent = static_cast<int>((control >> 2) % 101);
  const std::string meter = MeterFolderName(percent, settings);
  FUZZ_CHECK(std::string_view(meter).substr(0, settings.startTrail.size()) == settings.startTrail);
  FUZZ_CHECK(meter.find(kCompleteText) != std::string::npos);
  PreviewFolderName(settings);

  const std::size_t total = path.size() * 977 + settings.startTrail.size();
  const std::size_t good = total == 0 ? 0 : (settings.endTrail.size() * 131) % (total + 1);
  const int complete = CompletePercentage(good, total);
  FUZZ_CHECK(complete >= 0 && complete <= 100);
  FUZZ_CHECK(complete < 100 || (total > 0 && good == total));

  SetLeadByteTest(nullptr);
  return 0;
}
