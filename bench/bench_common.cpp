#include "bench/bench_common.h"

#include <cstdio>
#include <cstring>

#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace bench {

double Seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

std::string MakeWorkFolder(const char* tag) {
  char temp[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof temp, temp) == 0) return {};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string folder = std::string(temp) + "sfvbench." + tag + "." +
                               std::to_string(GetCurrentProcessId()) + "." + std::to_string(attempt);
    if (CreateDirectoryA(folder.c_str(), nullptr)) return folder + "\\";
  }
  return {};
}

void RemoveWorkFolder(const std::string& folder) {
  if (folder.empty()) return;
  Win32FileSystem fs;
  for (const std::string& name : fs.ListMatches(folder + "*")) {
    const std::string path = folder + name;
    if (!DeleteFileA(path.c_str())) RemoveDirectoryA(path.c_str());
  }
  RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string SmallFileName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "file_%05zu.dat", index);
  return name;
}

}  // namespace bench
}  // namespace sfvcheck
