// A fresh directory under the Windows temporary folder, removed with all its
// contents when the object goes out of scope.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sfvcheck::testing {

class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  // The directory's path, ending in '\'.
  const std::string& path() const { return path_; }
  // path() + name
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

// Deletes a directory (given with its trailing '\') and everything in it,
// read-only files included; what cannot be deleted stays.
void RemoveTree(const std::string& directory);

// Small file helpers for tests; each fails the current test on error.
void WriteFileBytes(const std::string& path, std::string_view bytes);
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Plain names in a directory (given with its trailing '\'), sorted.
std::vector<std::string> ListDirectory(const std::string& directory);
// The same names one per line, indented, for a failure's message.
std::string Listing(const std::string& directory);

}  // namespace sfvcheck::testing
