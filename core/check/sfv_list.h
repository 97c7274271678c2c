// SFV list reading: the platform-free line rules and the reader over the
// FileSystem seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/check/file_system.h"

namespace sfvcheck {

struct SfvEntry {
  std::string path;            // the list's directory, '\', the listed name
  std::uint32_t expectedCrc = 0;
  bool found = false;          // set by the directory check
  bool verified = false;       // set by the directory check
};

using SfvList = std::vector<SfvEntry>;

// Parses one line (without its terminator). Returns false for a comment, a
// malformed line, or a name that could leave the list's directory.
bool ParseSfvLine(std::string_view line, std::string* name, std::uint32_t* crc);

// True unless the name could reach outside the list's directory or stand for
// another name: a leading '\' or '/', a ':' or a NUL anywhere, or a component
// of only dots and spaces with at least two dots.
bool IsNameInsideDirectory(std::string_view name);

// Feeds the bytes of a list in pieces of any size; splits lines at LF, CR LF
// and a lone CR, and appends an entry per accepted line. A UTF-8 byte-order
// mark at the very start of the list is skipped: no file name begins with one.
class SfvParser {
 public:
  SfvParser(std::string_view sfvPath, SfvList& list);
  void Feed(const char* bytes, std::size_t size);
  void Finish();

 private:
  void EndLine();

  std::string directory_;  // the list's directory with its trailing '\'
  SfvList& list_;
  std::string line_;
  bool afterCr_ = false;
  // How many bytes of the list's start matched the byte-order mark so far;
  // past the start once a byte differs or the whole mark is seen.
  std::size_t markMatched_ = 0;
  bool pastStart_ = false;
};

// Reads the list at sfvPath, appending its entries. False when the list
// cannot be opened or a read fails part way (entries read so far stay).
bool ReadSfvList(FileSystem& fs, const std::string& sfvPath, SfvList& list);

}  // namespace sfvcheck
