// The lines of the outcome log: one JSON object per line, in UTF-8, for what
// a pass found (a set completed, a file moved aside) and what a check could
// not do. Only the text is made here; the file is written by the platform.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/check/directory_check.h"

namespace sfvcheck {

// Converts text in the system's ANSI code page to UTF-8; false when the text
// is not valid in that code page.
using AnsiToUtf8 = std::function<bool(std::string_view ansi, std::string* utf8)>;

// 100-ns ticks since 1601-01-01 UTC (the system's file time) per second.
inline constexpr std::uint64_t kTicksPerSecond = 10000000;

// `ansi` as a JSON string, quotes included: converted to UTF-8, with quotes,
// backslashes and control characters escaped. A text that is not valid in
// the code page keeps its ASCII characters and shows each other byte as the
// four characters \xHH, so the line stays valid and the name readable.
std::string LogJsonString(std::string_view ansi, const AnsiToUtf8& toUtf8);

// A file time as ISO 8601 in UTC with milliseconds: 2026-12-08T19:02:20.123Z.
std::string LogTimeText(std::uint64_t ticks);

// The lines a pass's result calls for, each ending in '\n', at time `now`:
// "bad" for every file moved aside, "error" for what the pass could not do,
// "complete" when the pass brought the list to 100 %. None for most passes.
std::vector<std::string> OutcomeLines(const PassResult& result, std::uint64_t now, const AnsiToUtf8& toUtf8);

// The "error" line for a file event whose check could not be started.
std::string CheckNotStartedLine(std::string_view path, std::uint32_t code, std::uint64_t now,
                                const AnsiToUtf8& toUtf8);

}  // namespace sfvcheck
