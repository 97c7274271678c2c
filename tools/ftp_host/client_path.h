// Paths as FTP clients send them, mapped into the served folder. Nothing a
// client sends may name a file outside that folder: "..", absolute paths,
// drive letters, backslashes, alternate streams, device names and names that
// Windows would silently shorten are refused or kept inside.
#pragma once

#include <string>

namespace ftphost {

// Joins `argument` onto the session's current folder `currentDir` (a path
// of the form "/" or "/a/b") and normalises the result into `resolved`:
// "/"-separated, no empty, "." or ".." parts; ".." at the top stays at the
// top, as on a server whose users see only their root. Returns false, and
// leaves `resolved` alone, when any part is not a plain Windows file name.
bool ResolveClientPath(const std::string& currentDir, const std::string& argument, std::string& resolved);

// A name Windows stores as written: no control characters, none of
// \ / : * ? " < > |, no trailing dot or space, no device name (CON, NUL,
// COM1, LPT1, ... with or without an extension).
bool IsPlainFileName(const std::string& name);

// The Windows path of a resolved client path under `root` (no trailing
// backslash): "/" is the root itself, "/a/b" is root\a\b.
std::string WindowsPathOf(const std::string& root, const std::string& resolved);

}  // namespace ftphost
