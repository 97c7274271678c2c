// A file system that reads through to another one and refuses every change:
// a check run over it decides every entry's outcome as a real one would
// (files are opened and hashed, markers looked up) but leaves the disk as it
// was. What a refused change would have fed back into the same pass (a state
// file line, a marker just made) only costs a second hash or a second look.
#pragma once

#include "core/check/file_system.h"

namespace sfvcheck {

// A file system that refuses every change; what it can read is a subclass's.
class ChangeRefusingFileSystem : public FileSystem {
 public:
  bool AppendBytes(const std::string&, std::string_view) override { return false; }
  bool CreateEmptyFile(const std::string&) override { return false; }
  bool CopyOver(const std::string&, const std::string&) override { return false; }
  bool MoveOver(const std::string&, const std::string&) override { return false; }
  bool RemoveFile(const std::string&) override { return false; }
  bool MakeDirectory(const std::string&) override { return false; }
  bool RemoveEmptyDirectory(const std::string&) override { return false; }
};

class ReadOnlyFileSystem : public ChangeRefusingFileSystem {
 public:
  explicit ReadOnlyFileSystem(FileSystem& inner) : inner_(inner) {}

  std::unique_ptr<ReadableFile> OpenForCheck(const std::string& path) override {
    return inner_.OpenForCheck(path);
  }
  bool CanOpenForCheck(const std::string& path) override { return inner_.CanOpenForCheck(path); }
  bool Exists(const std::string& path) override { return inner_.Exists(path); }
  bool ListMatchesToEnd(const std::string& pattern, std::vector<std::string>* names) override {
    return inner_.ListMatchesToEnd(pattern, names);
  }
  bool ListDirectory(const std::string& prefix, std::vector<DirectoryEntry>* entries) override {
    return inner_.ListDirectory(prefix, entries);
  }
  bool Details(const std::string& path, FileDetails* details) override { return inner_.Details(path, details); }
  std::unique_ptr<Helper> StartHelper() override { return inner_.StartHelper(); }
  std::uint32_t LastError() override { return inner_.LastError(); }
  std::string StoredName(std::string_view name) override { return inner_.StoredName(name); }
  std::string FoldCase(std::string_view text) override { return inner_.FoldCase(text); }

 private:
  FileSystem& inner_;
};

}  // namespace sfvcheck
