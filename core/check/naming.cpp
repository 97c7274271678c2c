#include "core/check/naming.h"

#include <cstdint>

#include "core/check/text.h"

namespace sfvcheck {
namespace {

constexpr int kMeterCells = 20;

std::string Decimal(int value) { return std::to_string(value); }

}  // namespace

std::optional<std::string> DirectoryPrefix(std::string_view path) {
  // A '/' wins over any '\', even one that follows it.
  std::size_t cut = FindLastChar(path, '/');
  if (cut == std::string_view::npos) cut = FindLastChar(path, '\\');
  if (cut == std::string_view::npos) return std::nullopt;
  std::string prefix(path.substr(0, cut));
  prefix += '\\';
  return prefix;
}

std::string MarkerName(std::string_view path, std::string_view tag) {
  // Only the file name may receive the tag: a '.' in a directory name would
  // otherwise send the marker into a directory that does not exist.
  std::size_t separator = FindLastOf(path, "\\/");
  std::size_t nameStart = separator == std::string_view::npos ? 0 : separator + 1;
  std::size_t dot = FindLastChar(path.substr(nameStart), '.');
  std::size_t at = dot == std::string_view::npos ? path.size() : nameStart + dot;
  std::string name;
  name.reserve(path.size() + tag.size());
  name.append(path.substr(0, at));
  name.append(tag);
  name.append(path.substr(at));
  return name;
}

std::string MissingMarkerName(std::string_view path) { return MarkerName(path, kMissingTag); }

std::string BadMarkerName(std::string_view path) { return MarkerName(path, kBadTag); }

std::string StateFileName(std::string_view prefix, std::string_view listName) {
  std::string name(prefix);
  name += ".qdrl.";
  name += listName;
  name += ".state";
  return name;
}

int CompletePercentage(std::size_t good, std::size_t total) {
  if (total == 0) return 0;
  if (good >= total) return 100;
  // floor((100 * good + total / 2) / total) by repeated modular addition, so
  // no intermediate value exceeds `total` whatever its size.
  const std::uint64_t n = total;
  std::uint64_t quotient = 0;
  std::uint64_t remainder = 0;
  auto add = [&](std::uint64_t x) {  // x < n, remainder < n
    if (remainder >= n - x) {
      remainder -= n - x;
      ++quotient;
    } else {
      remainder += x;
    }
  };
  for (int i = 0; i < 100; ++i) add(good);
  add(n / 2);
  // Rounding must not announce a set as complete while an entry is missing.
  return quotient >= 100 ? 99 : static_cast<int>(quotient);
}

std::string MeterFolderName(int percent, const RunSettings& settings) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  std::string name = settings.startTrail;
  if (settings.meterFlag != 0) {
    int cells = percent / 5;
    name.append(static_cast<std::size_t>(cells), '#');
    name.append(static_cast<std::size_t>(kMeterCells - cells), '-');
    name += settings.endTrail;
    name += ' ';
    name += Decimal(percent);
    name += kCompleteText;
  } else {
    name += ' ';
    name += Decimal(percent);
    name += kCompleteText;
    name += ' ';
    name += settings.endTrail;
  }
  return name;
}

std::string PreviewFolderName(const RunSettings& settings) {
  static constexpr char kSamplePercent[] = "100% complete";
  std::string name = settings.startTrail;
  if (settings.meterFlag != 0) {
    name += "#############------";
    name += settings.endTrail;
    name += ' ';
    name += kSamplePercent;
  } else {
    name += ' ';
    name += kSamplePercent;
    name += ' ';
    name += settings.endTrail;
  }
  return name;
}

}  // namespace sfvcheck
