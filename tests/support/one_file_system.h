// A file system that serves one file's bytes, whatever the path, in reads of
// at most `piece` bytes; nothing else exists and every change fails. For the
// readers' tests: short reads, a file that does not open, a read that fails.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/check/read_only_file_system.h"

namespace sfvcheck::testing {

class OneFileSystem : public ChangeRefusingFileSystem {
 public:
  std::string content;
  std::size_t piece = 7;
  bool opens = true;
  int failOnOpen = -1;                      // this open (0: the first) fails; -1: none
  std::size_t failAt = std::string::npos;  // reads fail once this many bytes are delivered
  int failOnRead = -1;                      // this read (0: the first) fails; -1: none
  std::size_t endAt = std::string::npos;   // reads find the end here, whatever the length says
  std::vector<std::string> opened;          // every path asked for
  std::size_t largestRequest = 0;           // the largest read asked for

  std::unique_ptr<ReadableFile> OpenForCheck(const std::string& path) override {
    opened.push_back(path);
    if (!opens || static_cast<int>(opened.size()) - 1 == failOnOpen) return nullptr;
    return std::make_unique<File>(*this);
  }
  bool Exists(const std::string&) override { return opens; }
  bool ListMatchesToEnd(const std::string&, std::vector<std::string>* names) override {
    names->clear();
    return false;
  }
  std::string StoredName(std::string_view name) override { return std::string(name); }
  std::string FoldCase(std::string_view text) override { return std::string(text); }

 private:
  class File : public ReadableFile {
   public:
    explicit File(OneFileSystem& fs) : fs_(fs) {}
    bool Read(void* buffer, std::size_t size, std::size_t* got) override {
      *got = 0;
      fs_.largestRequest = std::max(fs_.largestRequest, size);
      if (reads_++ == fs_.failOnRead || position_ >= fs_.failAt) return false;
      const std::size_t end = std::min(fs_.content.size(), fs_.endAt);
      const std::size_t n = position_ >= end ? 0 : std::min({size, fs_.piece, end - position_, fs_.failAt - position_});
      fs_.content.copy(static_cast<char*>(buffer), n, position_);
      position_ += n;
      *got = n;
      return true;
    }
    bool Length(std::uint64_t* length) override {
      *length = fs_.content.size();
      return true;
    }
    bool Seek(std::uint64_t offset) override {
      position_ = static_cast<std::size_t>(std::min<std::uint64_t>(offset, fs_.content.size()));
      return true;
    }

   private:
    OneFileSystem& fs_;
    std::size_t position_ = 0;
    int reads_ = 0;
  };
};

}  // namespace sfvcheck::testing
