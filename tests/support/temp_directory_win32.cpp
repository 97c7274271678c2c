#include "tests/support/temp_directory_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include <gtest/gtest.h>

namespace sfvcheck::testing {

void RemoveTree(const std::string& directory) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((directory + "*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = directory + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A junction or link: removed itself, never what it points to.
        if (!RemoveDirectoryA(path.c_str())) DeleteFileA(path.c_str());
      } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + "\\");
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(directory.c_str());
}

TempDirectory::TempDirectory() {
  static std::atomic<unsigned> counter{0};
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  char name[64];
  std::snprintf(name, sizeof name, "sfvcheck-%lu-%u\\", GetCurrentProcessId(), counter++);
  path_ = std::string(base) + name;
  RemoveTree(path_);
  if (!CreateDirectoryA(path_.c_str(), nullptr)) {
    ADD_FAILURE() << "cannot create " << path_;
  }
}

TempDirectory::~TempDirectory() { RemoveTree(path_); }

std::string TempDirectory::operator/(std::string_view name) const {
  return path_ + std::string(name);
}

void WriteFileBytes(const std::string& path, std::string_view bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << path;
  DWORD written = 0;
  BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr);
  CloseHandle(file);
  ASSERT_TRUE(ok && written == bytes.size()) << "cannot write " << path;
}

std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open " << path;
    return bytes;
  }
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  return bytes;
}

bool FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> ListDirectory(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((directory + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Listing(const std::string& directory) {
  std::string text;
  for (const std::string& name : ListDirectory(directory)) text += "  " + name + "\n";
  return text;
}

}  // namespace sfvcheck::testing
