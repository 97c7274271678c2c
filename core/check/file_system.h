// The file operations the directory check needs, and nothing more. The Win32
// implementation ships in the DLL; tests drive the engine through an in-memory
// one that can be told to fail any operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sfvcheck {

class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to `size` bytes into `buffer`; `*got` is 0 at end of file.
  // Returns false on a read error.
  virtual bool Read(void* buffer, std::size_t size, std::size_t* got) = 0;

  // The file's length in bytes. False when it cannot be had; a file that
  // cannot tell it is read from its start to its end only.
  virtual bool Length(std::uint64_t* length) {
    (void)length;
    return false;
  }

  // Makes the next Read begin `offset` bytes from the start. False when the
  // file cannot do that.
  virtual bool Seek(std::uint64_t offset) {
    (void)offset;
    return false;
  }
};

// One name in a directory listing.
struct DirectoryEntry {
  std::string name;       // the plain name as stored
  std::string shortName;  // its 8.3 alias, when the file system keeps one
  std::uint64_t size = 0;
  bool isDirectory = false;
};

// What the outcome log tells about a file beside its name.
struct FileDetails {
  std::uint64_t size = 0;
  std::uint64_t created = 0;  // 100-ns ticks since 1601-01-01 UTC; 0 unknown
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens an existing file for reading while denying others write access.
  // Null when that fails, which includes a file another process is still
  // writing: such a file counts as not there yet.
  virtual std::unique_ptr<ReadableFile> OpenForCheck(const std::string& path) = 0;

  // Whether OpenForCheck could open the file now, for a presence test that
  // reads nothing. It may skip checks that only guard reading (the kind of
  // object opened), so whatever is to be read must go through OpenForCheck.
  virtual bool CanOpenForCheck(const std::string& path) { return OpenForCheck(path) != nullptr; }

  // Appends `bytes` at the end of the file, creating it if absent and never
  // truncating it; others may read meanwhile but not write.
  virtual bool AppendBytes(const std::string& path, std::string_view bytes) = 0;

  // Creates an empty file, replacing any file of that name.
  virtual bool CreateEmptyFile(const std::string& path) = 0;

  // Copies a file, replacing any file of the target name. A copy that fails
  // part way (a full disk) may leave what it wrote under the target name.
  virtual bool CopyOver(const std::string& from, const std::string& to) = 0;

  // Renames a file within its directory, replacing any file of the target
  // name in one step: the target is either the old file or the whole new
  // one, never a mix. Fails for a directory on either side.
  virtual bool MoveOver(const std::string& from, const std::string& to) = 0;

  virtual bool RemoveFile(const std::string& path) = 0;
  virtual bool MakeDirectory(const std::string& path) = 0;
  // Fails on a non-empty directory and on a plain file.
  virtual bool RemoveEmptyDirectory(const std::string& path) = 0;

  // True when a file or directory of that name exists.
  virtual bool Exists(const std::string& path) = 0;

  // Plain names (no directory part) of the files and directories matching a
  // wildcard pattern such as "C:\\up\\*.sfv", in enumeration order. On
  // Windows this may include names matched through their 8.3 short form;
  // callers filter the names they really want. True when the enumeration ran
  // to its end (false: the names may be only some of the matches).
  virtual bool ListMatchesToEnd(const std::string& pattern, std::vector<std::string>* names) = 0;

  // The matches, for callers that need not know whether they are all.
  std::vector<std::string> ListMatches(const std::string& pattern) {
    std::vector<std::string> names;
    ListMatchesToEnd(pattern, &names);
    return names;
  }

  // Every entry of the directory `prefix` (which ends in '\\'), "." and ".."
  // aside, in enumeration order. False when the directory could not be
  // listed to its end; `entries` then holds no promise of completeness. A
  // file system that cannot list says so, and callers ask for each name.
  virtual bool ListDirectory(const std::string& prefix, std::vector<DirectoryEntry>* entries) {
    (void)prefix;
    entries->clear();
    return false;
  }

  // The size and creation time of a file; false when they cannot be had (a
  // file system that does not keep them says so).
  virtual bool Details(const std::string& path, FileDetails* details) {
    (void)path;
    (void)details;
    return false;
  }

  // A piece of work for a Helper. Run must not throw.
  class Job {
   public:
    virtual void Run() = 0;

   protected:
    ~Job() = default;
  };

  // A thread that works beside its owner's, of the same priority, kept for
  // many jobs: starting a thread costs milliseconds under Wine. Ends when
  // destroyed.
  class Helper {
   public:
    virtual ~Helper() = default;
    // Runs `first` on the calling thread and `second` on the helper's at the
    // same time; returns when both have ended.
    virtual void RunTogether(Job& first, Job& second) = 0;
  };

  // A helper thread, or null when none can be started (or this file system
  // has no threads): callers then run their jobs one after the other.
  virtual std::unique_ptr<Helper> StartHelper() { return nullptr; }

  // The system's error code of the calling thread's last failed operation,
  // asked right after it fails; 0 where the file system has no codes.
  virtual std::uint32_t LastError() { return 0; }

  // How this file system spells a plain name it is given once it is stored:
  // Windows drops the trailing blanks and dots of a path's last component
  // when it creates or opens a file, so "a.rar " and "a.rar." name a.rar.
  virtual std::string StoredName(std::string_view name) = 0;

  // `text` with its letters folded as this file system folds names when it
  // compares them, byte for byte the same length. Two stored names of one
  // directory name the same entry when their folded forms are equal.
  virtual std::string FoldCase(std::string_view text) = 0;
};

// The form under which a file system finds a plain name: two names of one
// directory name the same entry exactly when their keys are equal.
std::string NameKey(FileSystem& fs, std::string_view name);

// Whether `text` begins with `prefix`, compared as the file system compares
// names (without regard to case).
bool StartsWithAsStored(FileSystem& fs, std::string_view text, std::string_view prefix);

}  // namespace sfvcheck
