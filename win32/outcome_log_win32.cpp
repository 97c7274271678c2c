#include "win32/outcome_log_win32.h"

#include <vector>

#include "core/check/outcome_log.h"
#include "win32/critical_section_win32.h"
#include "win32/owned_handle_win32.h"
#include "win32/registry_store_win32.h"

namespace sfvcheck {
namespace {

std::uint64_t Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Fails for bytes that are not valid text in the ANSI code page, so that the
// line shows them escaped rather than as replacement characters.
bool AnsiToUtf8Text(std::string_view ansi, std::string* utf8) {
  const int size = static_cast<int>(ansi.size());
  const int wide = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), size, nullptr, 0);
  if (wide <= 0) return false;
  std::wstring buffer(static_cast<std::size_t>(wide), L'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), size, buffer.data(), wide) != wide) return false;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  utf8->assign(static_cast<std::size_t>(bytes), '\0');
  return WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, utf8->data(), bytes, nullptr, nullptr) == bytes;
}

// Append-only access: every write lands at the file's end as one piece, so
// lines from threads and processes writing at once never interleave. Others
// may read, rename and delete the file meanwhile (followers, log rotation).
OwnedFile OpenLog(const std::string& name) {
  return OwnedFile(CreateFileA(name.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Rotation within this process takes turns, so two writers never both rename
// (the second would push the first's new file over the older generation).
// Lines are written outside it: one that lands in a file just renamed is in
// the older generation, which is kept.
CriticalSection& RotationTurn() {
  static CriticalSection section;
  return section;
}

bool Full(const OwnedFile& file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file.get(), &size) && static_cast<std::uint64_t>(size.QuadPart) >= kLogRotateBytes;
}

void WriteLines(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  const std::string name = ReadLogFileSetting();
  if (name.empty()) return;
  OwnedFile file = OpenLog(name);
  for (const std::string& line : lines) {
    if (!file) return;
    if (Full(file)) {
      CriticalSectionGuard turn(RotationTurn());
      // Another writer may have started a new file meanwhile.
      file = OpenLog(name);
      if (file && Full(file)) {
        file.reset();
        // A failed rename leaves the file growing rather than losing lines.
        MoveFileExA(name.c_str(), (name + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
        file = OpenLog(name);
      }
      if (!file) return;
    }
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
}

}  // namespace

void LogPassOutcomes(const PassResult& result) noexcept {
  try {
    WriteLines(OutcomeLines(result, Now(), AnsiToUtf8Text));
  } catch (...) {
  }
}

void LogCheckNotStarted(std::string_view path, DWORD code) noexcept {
  try {
    WriteLines({CheckNotStartedLine(path, code, Now(), AnsiToUtf8Text)});
  } catch (...) {
  }
}

}  // namespace sfvcheck
