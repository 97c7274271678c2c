#include "tests/support/directory_link_win32.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "win32/owned_handle_win32.h"

namespace sfvcheck::testing {
namespace {

bool IsReparsePoint(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A mount-point reparse point on an empty directory, as "mklink /J" makes.
bool MakeJunction(const std::string& link, const std::string& target) {
  if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
  OwnedFile directory(CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!directory) return false;
  const std::wstring substitute = Wide("\\??\\" + target);
  const std::wstring print = Wide(target);
  // Tag, data length, reserved; then the mount-point header and both names.
  const std::size_t namesBytes = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
  const std::size_t dataLength = 4 * sizeof(WORD) + namesBytes;
  std::vector<unsigned char> buffer(8 + dataLength);
  auto put16 = [&](std::size_t at, std::size_t value) {
    WORD word = static_cast<WORD>(value);
    std::memcpy(&buffer[at], &word, sizeof word);
  };
  DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, sizeof tag);
  put16(4, dataLength);
  put16(8, 0);
  put16(10, substitute.size() * sizeof(wchar_t));
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));
  put16(14, print.size() * sizeof(wchar_t));
  std::memcpy(&buffer[16], substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  std::memcpy(&buffer[16 + (substitute.size() + 1) * sizeof(wchar_t)], print.c_str(),
              (print.size() + 1) * sizeof(wchar_t));
  DWORD returned = 0;
  if (DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                      nullptr, 0, &returned, nullptr)) {
    return true;
  }
  directory.reset();
  RemoveDirectoryA(link.c_str());
  return false;
}

// Under Wine: the host's "ln -s" or "rm", run as Wine runs any host program.
// `arguments` are Windows paths, handed over as the host's names.
bool RunHostCommand(const std::string& program, const std::vector<std::string>& arguments) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return false;
  std::string command = program;
  for (const std::string& argument : arguments) {
    char* name = unixName(Wide(argument).c_str());
    if (name == nullptr) return false;
    command += std::string(" \"") + name + "\"";
    HeapFree(GetProcessHeap(), 0, name);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, 30000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// The end of a host program can show before its work does (Wine's process
// handle for it may be signalled early), so the result is waited for.
void AwaitAttributes(const std::string& path, bool present) {
  for (int tries = 0; tries < 200; ++tries) {
    if ((GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) == present) return;
    Sleep(50);
  }
}

}  // namespace

DirectoryLink::DirectoryLink(const std::string& link, const std::string& target) : link_(link) {
  if (!MakeJunction(link, target) && RunHostCommand("Z:\\bin\\ln -s", {target, link})) {
    AwaitAttributes(link, true);
  }
}

DirectoryLink::~DirectoryLink() {
  if (!made()) return;
  if (!RemoveDirectoryA(link_.c_str()) && RunHostCommand("Z:\\bin\\rm", {link_})) {
    AwaitAttributes(link_, false);
  }
}

bool DirectoryLink::made() const { return IsReparsePoint(link_); }

}  // namespace sfvcheck::testing
