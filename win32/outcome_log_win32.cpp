#include "win32/outcome_log_win32.h"

#include <utility>
#include <vector>

#include "core/check/outcome_log.h"
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

// Appends only, so every write lands at the file's end. Others may read,
// rename and delete the file meanwhile (followers, log rotation). Read access
// only so that the file can be locked.
OwnedFile OpenLog(const std::string& name) {
  return OwnedFile(CreateFileA(name.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Writers of the log, in this process or another (the rescan tool beside the
// server), take turns through a lock on one byte far beyond any end of file,
// which no reader touches: appends from several handles at once are not
// guaranteed to stay whole everywhere, and a rotation must not race another.
// A writer that cannot have it within two seconds drops its line. The wait
// is counted in elapsed time, not in tries: a Sleep(1) may last a whole
// timer tick (15.6 ms by default on Windows), and the host's event thread
// may be the writer.
class LogTurn {
 public:
  static constexpr ULONGLONG kWaitMs = 2000;

  explicit LogTurn(HANDLE file) : file_(file) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
      OVERLAPPED at = Where();
      if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        held_ = true;
        return;
      }
      if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) return;
      if (GetTickCount64() - start >= kWaitMs) return;
      Sleep(1);
    }
  }
  ~LogTurn() {
    if (!held_) return;
    OVERLAPPED at = Where();
    UnlockFileEx(file_, 0, 1, 0, &at);
  }
  LogTurn(const LogTurn&) = delete;
  LogTurn& operator=(const LogTurn&) = delete;
  bool held() const { return held_; }

 private:
  static OVERLAPPED Where() {
    OVERLAPPED at{};
    at.OffsetHigh = 0x40000000;  // 2^62
    return at;
  }
  HANDLE file_;
  bool held_ = false;
};

bool Full(HANDLE file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file, &size) && static_cast<std::uint64_t>(size.QuadPart) >= kLogRotateBytes;
}

// Whether `file` is still the one that `name` names (not renamed away by
// another writer's rotation).
bool IsNamed(HANDLE file, const std::string& name) {
  OwnedFile named(CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  return named && GetFileInformationByHandle(file, &a) && GetFileInformationByHandle(named.get(), &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// One line in one write, in its turn. A full log is renamed to "<name>.1"
// first, by whichever writer finds it full while it is still the named one;
// the others move on to the new file.
void WriteLine(OwnedFile& file, const std::string& name, const std::string& line) {
  for (int attempt = 0; attempt < 3 && file; ++attempt) {
    OwnedFile previous;  // outlives the turn taken on it
    LogTurn turn(file.get());
    if (!turn.held()) return;
    if (Full(file.get())) {
      // A failed rename leaves the file growing rather than losing lines.
      if (!IsNamed(file.get(), name) ||
          MoveFileExA(name.c_str(), (name + ".1").c_str(), MOVEFILE_REPLACE_EXISTING)) {
        OwnedFile next = OpenLog(name);
        if (next) {
          previous = std::move(file);
          file = std::move(next);
          continue;
        }
      }
    }
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
}

void WriteLinesTo(const std::string& name, const std::vector<std::string>& lines) {
  if (lines.empty() || name.empty()) return;
  OwnedFile file = OpenLog(name);
  for (const std::string& line : lines) {
    if (!file) return;
    WriteLine(file, name, line);
  }
}

void LogPassOutcomesTo(const std::string& name, const PassResult& result) noexcept {
  try {
    WriteLinesTo(name, OutcomeLines(result, Now(), AnsiToUtf8Text));
  } catch (...) {
  }
}

}  // namespace

std::string LogJsonText(std::string_view ansi) { return LogJsonString(ansi, AnsiToUtf8Text); }

std::function<void(const PassResult&)> OutcomeLogHook() {
  std::string name = ReadLogFileSetting();
  if (name.empty()) return nullptr;
  return [name = std::move(name)](const PassResult& result) { LogPassOutcomesTo(name, result); };
}

void LogCheckNotStarted(std::string_view path, DWORD code) noexcept {
  try {
    WriteLinesTo(ReadLogFileSetting(), {CheckNotStartedLine(path, code, Now(), AnsiToUtf8Text)});
  } catch (...) {
  }
}

}  // namespace sfvcheck
