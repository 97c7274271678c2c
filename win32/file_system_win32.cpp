#include "win32/file_system_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/check/text.h"
#include "win32/owned_handle_win32.h"
#include "win32/thread_stack_win32.h"

namespace sfvcheck {
namespace {

class Win32ReadableFile : public ReadableFile {
 public:
  explicit Win32ReadableFile(OwnedFile file) : file_(std::move(file)) {}

  bool Read(void* buffer, std::size_t size, std::size_t* got) override {
    // ReadFile takes a 32-bit count; larger requests are simply read in part.
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD read = 0;
    if (!ReadFile(file_.get(), buffer, want, &read, nullptr)) {
      *got = 0;
      return false;
    }
    *got = read;
    return true;
  }

  bool Length(std::uint64_t* length) override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_.get(), &size)) return false;
    *length = static_cast<std::uint64_t>(size.QuadPart);
    return true;
  }

  bool Seek(std::uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN) != 0;
  }

 private:
  OwnedFile file_;
};

// A helper thread that waits for a job, runs it and says so, until it is
// told to stop. The owner never waits for the thread itself, only for a job
// the thread has taken: under Wine a new thread begins to run milliseconds
// after it is made, and waiting for one to end costs most of another. So a
// job the thread has not yet taken when the owner's own job is done is run
// by the owner, and a stopped thread ends on its own. The thread holds a
// reference to the module its code is in (the DLL, when the plug-in runs it)
// and drops it as it ends.
class Win32Helper : public FileSystem::Helper {
 public:

  static std::unique_ptr<Win32Helper> Start() {
    std::unique_ptr<Shared> shared(new (std::nothrow) Shared);
    if (!shared || !shared->work || !shared->done) return nullptr;
    std::unique_ptr<Win32Helper> helper(new (std::nothrow) Win32Helper(shared.get()));
    if (!helper) return nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&Main),
                            &shared->module)) {
      return nullptr;
    }
    OwnedObject thread(CreateThread(nullptr, kThreadStackReservation, Main, shared.get(),
                                    CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
      FreeLibrary(shared->module);
      return nullptr;
    }
    // It works for the calling thread: the same priority (a checking
    // thread's is below normal).
    SetThreadPriority(thread.get(), GetThreadPriority(GetCurrentThread()));
    shared.release();  // the thread and the helper own it from here
    ResumeThread(thread.get());
    return helper;
  }

  ~Win32Helper() override {
    shared_->stop = true;
    SetEvent(shared_->work.get());
    Release(shared_);
  }

  void RunTogether(FileSystem::Job& first, FileSystem::Job& second) override {
    shared_->job = &second;
    shared_->taken.store(false);
    SetEvent(shared_->work.get());
    first.Run();
    if (!shared_->taken.exchange(true)) {
      second.Run();  // the thread has not taken it: it will find it gone
    } else {
      WaitForSingleObject(shared_->done.get(), INFINITE);
    }
  }

 private:
  struct Shared {
    OwnedObject work{CreateEventA(nullptr, FALSE, FALSE, nullptr)};  // a job to take, or stop
    OwnedObject done{CreateEventA(nullptr, FALSE, FALSE, nullptr)};  // the job the thread took has run
    HMODULE module = nullptr;
    // Written by the owner before `taken` is cleared, read by whoever takes
    // the job after: the exchange on `taken` hands it over.
    FileSystem::Job* job = nullptr;
    std::atomic<bool> taken{true};
    std::atomic<bool> stop{false};  // set once, before the last wake-up
    std::atomic<int> owners{2};     // the helper object and the thread
  };

  explicit Win32Helper(Shared* shared) : shared_(shared) {}

  static void Release(Shared* shared) {
    if (shared->owners.fetch_sub(1) == 1) delete shared;
  }

  static DWORD WINAPI Main(void* parameter) {
    Shared* shared = static_cast<Shared*>(parameter);
    for (;;) {
      WaitForSingleObject(shared->work.get(), INFINITE);
      if (shared->stop) break;
      if (!shared->taken.exchange(true)) {
        shared->job->Run();
        SetEvent(shared->done.get());
      }
    }
    const HMODULE module = shared->module;
    Release(shared);
    // Dropping the reference may unload the module: no code of it may run
    // afterwards, so the thread ends inside the system call.
    FreeLibraryAndExitThread(module, 0);
    return 0;
  }

  Shared* shared_;
};

// The longest path Windows has. Longer texts are not paths, and some layers
// below the ANSI file functions keep a length in 16 bits: a text of 65536
// bytes and more wraps round to its first few bytes, another file's name.
constexpr std::size_t kLongestPath = 32767;

// Whether `path` names a file or directory on a disk. Names come from upload
// lists, so these are refused before any file function sees them:
// - a NUL inside the text, which the C strings handed to the system would
//   cut short (so "a.rar\0.x" and its marker name would both mean a.rar);
// - a text longer than any path (see kLongestPath);
// - names the system takes for devices in any directory (CON, AUX, COM1,
//   NUL.txt, ...), which it resolves into the device namespace \\.\ : a
//   serial port or a console can block a read for ever. Not every system
//   version resolves every such name (COM¹), so the name is tested too.
bool IsDiskPath(const std::string& path) {
  if (path.empty() || path.size() > kLongestPath) return false;
  if (path.find('\0') != std::string::npos) return false;
  std::vector<char> full(path.size() + MAX_PATH);
  DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return false;
  if (std::strncmp(full.data(), "\\\\.\\", 4) == 0) return false;
  const std::string_view name(full.data(), length);
  return !IsDeviceName(name.substr(name.find_last_of('\\') + 1));
}

// Read sharing only: the open fails while anyone holds the file for writing.
// Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
OwnedFile OpenDenyingWrite(const std::string& path) {
  if (!IsDiskPath(path)) return OwnedFile();
  return OwnedFile(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

}  // namespace

bool IsDeviceName(std::string_view name) {
  // What comes before the first dot, without trailing blanks: "nul.txt" and
  // "CON .log" are devices too.
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  if (base.size() < 3 || base.size() > 7) return false;  // no device name is shorter or longer
  wchar_t wide[8];
  const int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, base.data(), static_cast<int>(base.size()),
                                       wide, 8);
  if (size < 3) return false;
  std::wstring upper(wide, static_cast<std::size_t>(size));
  for (wchar_t& c : upper) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"}) {
    if (upper == device) return true;
  }
  if (upper.size() != 4 || (upper.compare(0, 3, L"COM") != 0 && upper.compare(0, 3, L"LPT") != 0)) return false;
  // The superscript digits one to three count as digits here.
  const wchar_t digit = upper[3];
  return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

std::unique_ptr<ReadableFile> Win32FileSystem::OpenForCheck(const std::string& path) {
  OwnedFile file = OpenDenyingWrite(path);
  if (!file) return nullptr;
  // Pipes and character devices reached some other way are not files either.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return nullptr;
  return std::make_unique<Win32ReadableFile>(std::move(file));
}

std::unique_ptr<FileSystem::Helper> Win32FileSystem::StartHelper() { return Win32Helper::Start(); }

// No file type test: nothing is read here, and what is read later is opened
// through OpenForCheck. Under Wine the test costs as much as the open.
bool Win32FileSystem::CanOpenForCheck(const std::string& path) { return static_cast<bool>(OpenDenyingWrite(path)); }

bool Win32FileSystem::AppendBytes(const std::string& path, std::string_view bytes) {
  if (!IsDiskPath(path)) return false;
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  if (SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR) {
    return false;
  }
  while (!bytes.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

bool Win32FileSystem::CreateEmptyFile(const std::string& path) {
  if (!IsDiskPath(path)) return false;
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

bool Win32FileSystem::CopyOver(const std::string& from, const std::string& to) {
  if (!IsDiskPath(from) || !IsDiskPath(to)) return false;
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// MOVEFILE_REPLACE_EXISTING never replaces a directory; without
// MOVEFILE_COPY_ALLOWED a rename within one volume is a single step.
bool Win32FileSystem::MoveOver(const std::string& from, const std::string& to) {
  if (!IsDiskPath(from) || !IsDiskPath(to)) return false;
  const DWORD attributes = GetFileAttributesA(from.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool Win32FileSystem::RemoveFile(const std::string& path) {
  return IsDiskPath(path) && DeleteFileA(path.c_str()) != FALSE;
}

bool Win32FileSystem::MakeDirectory(const std::string& path) {
  return IsDiskPath(path) && CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

bool Win32FileSystem::RemoveEmptyDirectory(const std::string& path) {
  return IsDiskPath(path) && RemoveDirectoryA(path.c_str()) != FALSE;
}

bool Win32FileSystem::Exists(const std::string& path) {
  return IsDiskPath(path) && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32FileSystem::Details(const std::string& path, FileDetails* details) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!IsDiskPath(path) || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  details->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  details->created = (static_cast<std::uint64_t>(data.ftCreationTime.dwHighDateTime) << 32) |
                     data.ftCreationTime.dwLowDateTime;
  return true;
}

std::uint32_t Win32FileSystem::LastError() { return GetLastError(); }

bool Win32FileSystem::ListMatchesToEnd(const std::string& pattern, std::vector<std::string>* names) {
  names->clear();
  WIN32_FIND_DATAA data;
  OwnedFind find(FindFirstFileA(pattern.c_str(), &data));
  if (!find) return GetLastError() == ERROR_FILE_NOT_FOUND;  // an existing directory without a match
  do {
    // "." and ".." name the directory itself and its parent, never an entry.
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
    names->emplace_back(data.cFileName);
  } while (FindNextFileA(find.get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool Win32FileSystem::ListDirectory(const std::string& prefix, std::vector<DirectoryEntry>* entries) {
  entries->clear();
  const std::string pattern = prefix + "*";
  if (!IsDiskPath(pattern)) return false;
  WIN32_FIND_DATAA data;
  // Even an empty directory lists "." and "..": a failed start is a failure.
  OwnedFind find(FindFirstFileA(pattern.c_str(), &data));
  if (!find) return false;
  do {
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
    DirectoryEntry entry;
    entry.name = data.cFileName;
    entry.shortName = data.cAlternateFileName;
    entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries->push_back(std::move(entry));
  } while (FindNextFileA(find.get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

std::string Win32FileSystem::StoredName(std::string_view name) {
  return std::string(WithoutTrailingBlanksAndDots(name));
}

std::string Win32FileSystem::FoldCase(std::string_view text) {
  // The system's upper-casing in the ANSI code page, double-byte characters
  // included; it works in place, so the length stays.
  std::string folded(text);
  for (std::size_t done = 0; done < folded.size();) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(folded.size() - done, 1u << 30));
    CharUpperBuffA(folded.data() + done, chunk);
    done += chunk;
  }
  return folded;
}

}  // namespace sfvcheck
