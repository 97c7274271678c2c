// sfvcheck-rescan: runs the plug-in's directory check from the command line,
// for sets whose files arrived while the plug-in was not running, or reports
// how complete each set is without changing anything.
//
//   sfvcheck-rescan [--recursive] [--report] [--json] [--quiet] DIR...
//
// Each directory gets exactly the check a file event in it gets: the same
// engine, the registry settings, the same markers, state file and meter. The
// plug-in's DLL is not loaded. Passes take the machine-wide pass lock that
// the plug-in takes too, so the two never work on sets at the same time.
//
// Output: one line per list on stdout (tab-separated, or JSON lines with
// --json); progress on stderr only when stderr is a console, and each step a
// check could not do (with the system's message). Exit status: 0 when every
// set found is complete, 1 when any is incomplete, 2 on a usage error, when a
// directory or list could not be read (or the lock not had) or a step failed.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <set>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/check/directory_check.h"
#include "core/check/read_only_file_system.h"
#include "sfvcheck_version.h"
#include "win32/code_page_win32.h"
#include "win32/file_system_win32.h"
#include "win32/machine_pass_lock_win32.h"
#include "win32/outcome_log_win32.h"
#include "win32/owned_handle_win32.h"
#include "win32/registry_store_win32.h"

namespace sfvcheck {
namespace {

constexpr int kExitComplete = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitError = 2;

constexpr char kUsage[] =
    "usage: sfvcheck-rescan [--recursive] [--report] [--json] [--quiet] DIR...\n"
    "  Checks every SFV list in each DIR as an upload into it would.\n"
    "  --recursive  also every subdirectory (never through junctions or links)\n"
    "  --report     change nothing; only tell how complete each set is\n"
    "  --json       one JSON object per list instead of tab-separated lines\n"
    "  --quiet      no progress on the console\n"
    "  Exit status: 0 all sets complete, 1 some incomplete, 2 error.\n";

struct Options {
  bool recursive = false;
  bool report = false;
  bool json = false;
  bool quiet = false;
  std::vector<std::string> directories;
};

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// Text in `codePage` as UTF-16 (empty when it cannot be converted).
std::wstring Widen(std::string_view text, UINT codePage) {
  const int size = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  std::wstring buffer(static_cast<std::size_t>(std::max(wide, 0)), L'\0');
  if (wide > 0) MultiByteToWideChar(codePage, 0, text.data(), size, buffer.data(), wide);
  return buffer;
}

// Writes text in `codePage` to a standard handle: as UTF-16 to a console (so
// names beyond ASCII read right whatever the console's code page), as the
// bytes themselves to a file or pipe.
void Write(DWORD stdHandle, std::string_view text, UINT codePage = CP_ACP) {
  HANDLE handle = GetStdHandle(stdHandle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  if (IsConsole(handle)) {
    const std::wstring buffer = Widen(text, codePage);
    DWORD written = 0;
    WriteConsoleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr);
    return;
  }
  DWORD written = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Error(const std::string& text) { Write(STD_ERROR_HANDLE, "sfvcheck-rescan: " + text + "\n"); }

// The system's text for an error code, on one line, with the code.
std::string SystemMessage(std::uint32_t code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return (message.empty() ? std::string() : message + " ") + "(error " + std::to_string(code) + ")";
}

// What a failed step of a check tells the operator.
std::string FailedStep(const PassError& error) {
  std::string what;
  switch (error.kind) {
    case PassErrorKind::kReadList: what = "cannot read the list " + error.path; break;
    case PassErrorKind::kCopyAside: what = "cannot move the corrupt file " + error.path + " aside"; break;
    case PassErrorKind::kRemoveAfterCopy:
      what = "copied the corrupt file " + error.path + " aside, but cannot remove it";
      break;
    case PassErrorKind::kWriteState: what = "cannot write the state file " + error.path; break;
    case PassErrorKind::kTakeLock: what = "checked without the lock shared with the plug-in: " + error.path; break;
  }
  // Without a code the check itself declined: the name it would take is a
  // listed file or a directory.
  return what + (error.code != 0 ? ": " + SystemMessage(error.code) : std::string());
}

std::string ReportLine(const PassResult& result, bool json) {
  if (json) {
    std::string line =
        "{\"directory\":" + LogJsonText(result.prefix) + ",\"list\":" + LogJsonText(result.listName);
    if (!result.listRead) return line + ",\"error\":\"cannot read the list\"}\n";
    return line + ",\"entries\":" + std::to_string(result.good + result.bad + result.missing) +
           ",\"good\":" + std::to_string(result.good) + ",\"bad\":" + std::to_string(result.bad) +
           ",\"missing\":" + std::to_string(result.missing) + ",\"percent\":" + std::to_string(result.percent) +
           "}\n";
  }
  std::string line = result.prefix + "\t" + result.listName + "\t";
  if (!result.listRead) return line + "cannot read the list\n";
  const std::size_t entries = result.good + result.bad + result.missing;
  return line + std::to_string(entries) + (entries == 1 ? " entry\t" : " entries\t") +
         std::to_string(result.good) + " good\t" + std::to_string(result.bad) + " bad\t" +
         std::to_string(result.missing) + " missing\t" + std::to_string(result.percent) + "%\n";
}

// The machine-wide pass lock for this single-threaded program; tells the
// console when it has to wait for a pass of the plug-in.
class ToolCheckLock : public CheckLock {
 public:
  explicit ToolCheckLock(bool showWaits) : showWaits_(showWaits) {}
  bool Open() { return lock_.Open(); }
  DWORD error() const { return lock_.error(); }

  void lock() override {
    if (lock_.Acquire(0)) return;
    if (showWaits_) Write(STD_ERROR_HANDLE, "waiting for a check of the plug-in to end...\n");
    lock_.Acquire();
  }
  void unlock() override { lock_.Release(); }

 private:
  MachinePassLock lock_;
  bool showWaits_;
};

// `wide` in the ANSI code page, exactly: false when the code page lacks one
// of its characters (the ANSI listing shows '?' or a look-alike then, and
// that name reaches another entry or none).
bool ExactAnsi(const wchar_t* wide, std::string& ansi) {
  const UINT codePage = GetACP();
  BOOL lossy = FALSE;
  BOOL* lossyOut = codePage == CP_UTF8 ? nullptr : &lossy;
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  ansi.clear();
  const int size = WideCharToMultiByte(codePage, flags, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return false;
  ansi.resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(codePage, flags, wide, -1, ansi.data(), size, nullptr, lossyOut);
  ansi.resize(static_cast<std::size_t>(size - 1));
  return !lossy;
}

// The subdirectories of `directory` (ending in '\'), sorted without regard to
// case. Reparse points (junctions, symbolic links, mount points) are left
// out, so a walk never leaves the tree it was given. A name the ANSI code
// page cannot show is reached by its 8.3 short name; one without a short
// name is put in `unreachable`. False when the listing was cut short.
bool ListSubdirectories(const std::string& directory, std::vector<std::string>& subdirectories,
                        std::vector<std::string>& unreachable) {
  WIN32_FIND_DATAW data;
  OwnedFind find(FindFirstFileW((Widen(directory, CP_ACP) + L"*").c_str(), &data));
  if (!find) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    std::string ansi;
    std::string shortName;
    if (ExactAnsi(data.cFileName, ansi)) {
      subdirectories.push_back(directory + ansi + "\\");
    } else if (data.cAlternateFileName[0] != L'\0' && ExactAnsi(data.cAlternateFileName, shortName)) {
      subdirectories.push_back(directory + shortName + "\\");
    } else {
      unreachable.push_back(directory + ansi);  // as near as the code page comes
    }
  } while (FindNextFileW(find.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) return false;  // cut short: some may be missing
  std::sort(subdirectories.begin(), subdirectories.end(),
            [](const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) < 0; });
  return true;
}

// The full path of a directory given on the command line, ending in '\'
// (a full path never holds '/', which the check would take for the cut).
bool FullDirectoryPath(const std::string& given, std::string& full) {
  char buffer[MAX_PATH * 4];
  DWORD length = GetFullPathNameA(given.c_str(), sizeof buffer, buffer, nullptr);
  if (length == 0 || length >= sizeof buffer) return false;
  full.assign(buffer, length);
  DWORD attributes = GetFileAttributesA(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  if (full.back() != '\\') full += '\\';
  return true;
}

class Rescan {
 public:
  explicit Rescan(const Options& options)
      : options_(options),
        progress_(!options.quiet && IsConsole(GetStdHandle(STD_ERROR_HANDLE))),
        lock_(progress_),
        readOnly_(fileSystem_) {}

  int Run() {
    if (!lock_.Open()) {
      // Only the system, administrators and the service accounts may take it.
      const std::string hint = lock_.error() == ERROR_ACCESS_DENIED ? "; run as an administrator" : "";
      Error("cannot open the lock shared with the plug-in (error " + std::to_string(lock_.error()) + ")" + hint);
      return kExitError;
    }
    std::set<std::string> seen;
    for (const std::string& given : options_.directories) {
      std::string root;
      if (!FullDirectoryPath(given, root)) {
        Error("not a directory: " + given);
        failed_ = true;
        continue;
      }
      Walk(root, seen);
    }
    if (progress_) {
      Write(STD_ERROR_HANDLE, "checked " + std::to_string(directories_) + " directories, " +
                                  std::to_string(lists_) + " lists, " + std::to_string(incompleteLists_) +
                                  " incomplete\n");
    }
    if (failed_) return kExitError;
    return incompleteLists_ > 0 ? kExitIncomplete : kExitComplete;
  }

 private:
  void Walk(const std::string& root, std::set<std::string>& seen) {
    std::vector<std::string> pending{root};
    while (!pending.empty()) {
      std::string directory = std::move(pending.back());
      pending.pop_back();
      // A directory given twice, or inside another given with --recursive,
      // is checked once.
      if (!seen.insert(fileSystem_.FoldCase(directory)).second) continue;
      // A subdirectory listed before its parent's check may be gone since:
      // an old meter folder that the check replaced.
      if (directory != root && GetFileAttributesA(directory.c_str()) == INVALID_FILE_ATTRIBUTES) continue;

      // Listed before the check, which may make a meter folder here.
      std::vector<std::string> subdirectories;
      std::vector<std::string> unreachable;
      if (options_.recursive && !ListSubdirectories(directory, subdirectories, unreachable)) {
        Error("cannot list " + directory + " (error " + std::to_string(GetLastError()) + ")");
        failed_ = true;
      }
      for (const std::string& name : unreachable) {
        Error("cannot reach " + name + ": its name has characters outside the ANSI code page and no short name");
        failed_ = true;
      }
      Check(directory);
      pending.insert(pending.end(), subdirectories.rbegin(), subdirectories.rend());
    }
  }

  void Check(const std::string& directory) {
    ++directories_;
    if (progress_) {
      Write(STD_ERROR_HANDLE, "[" + std::to_string(directories_) + " directories, " + std::to_string(lists_) +
                                  " lists] " + directory + "\n");
    }
    // The check cannot tell that it found no list because the directory
    // could not be listed (access denied, or a path too long for
    // "\\*.sfv"): that is the tool's error, not a complete directory.
    std::vector<std::string> lists;
    if (!fileSystem_.ListMatchesToEnd(directory + "*.sfv", &lists)) {
      Error("cannot list the SFV files in " + directory + " (error " + std::to_string(GetLastError()) + ")");
      failed_ = true;
      return;
    }
    FileSystem& fs = options_.report ? static_cast<FileSystem&>(readOnly_) : fileSystem_;
    // A report changes nothing, so it has no outcome to log.
    const std::function<void(const PassResult&)> log = options_.report ? nullptr : OutcomeLogHook();
    const CheckContext context{fs, lock_, [] { return ReadRunSettings(); },
                               [this, &log](const PassResult& result) { Done(result, log); }, &completedLists_};
    // The path of a file in the directory, as a file event carries it.
    DirectoryCheck(context, directory);
  }

  void Done(const PassResult& result, const std::function<void(const PassResult&)>& log) {
    ++lists_;
    if (!result.listRead) {
      failed_ = true;
    } else if (result.percent < 100) {
      ++incompleteLists_;
    }
    // Every failed step goes to stderr and makes the exit status 2; a report
    // refuses each change itself, so there only an unreadable list counts.
    for (const PassError& error : result.errors) {
      if (options_.report && error.kind != PassErrorKind::kReadList) continue;
      Error(FailedStep(error));
      failed_ = true;
    }
    Write(STD_OUTPUT_HANDLE, ReportLine(result, options_.json), options_.json ? CP_UTF8 : CP_ACP);
    if (log) log(result);
  }

  const Options& options_;
  const bool progress_;
  ToolCheckLock lock_;
  Win32FileSystem fileSystem_;
  ReadOnlyFileSystem readOnly_;
  CompletedLists completedLists_;
  std::size_t directories_ = 0;
  std::size_t lists_ = 0;
  std::size_t incompleteLists_ = 0;
  bool failed_ = false;
};

int Main(int argc, char** argv) {
  Options options;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      if (argument == "--") {
        optionsEnded = true;
      } else if (argument == "--recursive" || argument == "-r") {
        options.recursive = true;
      } else if (argument == "--report") {
        options.report = true;
      } else if (argument == "--json") {
        options.json = true;
      } else if (argument == "--quiet" || argument == "-q") {
        options.quiet = true;
      } else if (argument == "--help" || argument == "-h") {
        Write(STD_OUTPUT_HANDLE, kUsage);
        return kExitComplete;
      } else if (argument == "--version") {
        Write(STD_OUTPUT_HANDLE, std::string("sfvcheck-rescan ") + SFVCHECK_VERSION_TEXT + "\n");
        return kExitComplete;
      } else {
        Error("unknown option " + std::string(argument));
        Write(STD_ERROR_HANDLE, kUsage);
        return kExitError;
      }
      continue;
    }
    // "D:\up\" reaches a program as D:\up" (the backslash escapes the
    // quote); no name holds a '"', so it is the directory D:\up.
    if (argument.back() == '"') argument.remove_suffix(1);
    if (!argument.empty()) options.directories.emplace_back(argument);
  }
  if (options.directories.empty()) {
    Write(STD_ERROR_HANDLE, kUsage);
    return kExitError;
  }
  UseSystemCodePage();
  return Rescan(options).Run();
}

}  // namespace
}  // namespace sfvcheck

int main(int argc, char** argv) {
  try {
    return sfvcheck::Main(argc, argv);
  } catch (const std::bad_alloc&) {
    sfvcheck::Error("out of memory");
  } catch (...) {
    sfvcheck::Error("unexpected error");
  }
  return sfvcheck::kExitError;
}
