// Names the check derives from paths and settings: the directory prefix, the
// marker names, the state file and the meter folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/settings/run_settings.h"

namespace sfvcheck {

inline constexpr char kMissingTag[] = "-[MISSING]";
inline constexpr char kBadTag[] = "-[BAD]";
inline constexpr char kCompleteText[] = "% complete";

// The arrived file's directory with one '\' appended: cut at the last '/',
// or else at the last '\'. Empty when the path holds neither.
std::optional<std::string> DirectoryPrefix(std::string_view path);

// `tag` inserted before the last '.' of the file-name part (after the last
// '\' or '/'), or appended when the file name has no '.'.
std::string MarkerName(std::string_view path, std::string_view tag);
std::string MissingMarkerName(std::string_view path);
std::string BadMarkerName(std::string_view path);

// prefix + ".qdrl." + list name + ".state"
std::string StateFileName(std::string_view prefix, std::string_view listName);

// Percentage of good entries, halves rounded up; 0 for an empty list.
int CompletePercentage(std::size_t good, std::size_t total);

// The meter folder's name for percentage p under the given settings.
std::string MeterFolderName(int percent, const RunSettings& settings);

// The sample name the settings dialog previews.
std::string PreviewFolderName(const RunSettings& settings);

}  // namespace sfvcheck
