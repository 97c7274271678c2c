// The outcome log on disk: the file named by the LogFile setting, appended to
// by the plug-in's checks and by the rescan tool. Writing it never hurts a
// check: with the setting empty or absent nothing is opened, and a file that
// cannot be opened or written loses its lines and nothing else.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/check/directory_check.h"

namespace sfvcheck {

// A file that has reached this size is renamed to "<name>.1" (replacing the
// older generation) before the next line, and a new one is started.
inline constexpr std::uint64_t kLogRotateBytes = 10 * 1024 * 1024;

// ANSI text as a JSON string, as the log writes names: UTF-8, and bytes that
// are not text in the ANSI code page escaped. For the rescan tool's report too.
std::string LogJsonText(std::string_view ansi);

// A check's pass-result hook: writes the lines each result calls for to the
// log the setting names now, never throwing; null when the setting names
// none (the check then gathers no results at all).
std::function<void(const PassResult&)> OutcomeLogHook();

// Writes the "error" line of a file event whose check could not be started
// (`code`: the system's error code). Never throws.
void LogCheckNotStarted(std::string_view path, DWORD code) noexcept;

}  // namespace sfvcheck
