// An in-memory FileSystem for engine tests. Names compare without regard to
// ASCII case, '/' counts as '\\' and a path's last component loses its
// trailing blanks and dots, as on Windows; a file or directory can
// only be made inside an existing directory. Any operation can be made to
// fail for a path, the Nth call of any kind can be made to fail (once or
// from then on), reads can fail part way, a file can be "held open for
// writing" by someone else, and a file can carry an 8.3 short name through
// which wildcard patterns also match it. Every call is counted.
//
// Threads: all state is guarded by one mutex, so concurrent checks may share
// one instance; open files read a snapshot taken at opening.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/check/file_system.h"

namespace sfvcheck::testing {

enum class FsOp {
  kOpenForCheck,
  kRead,  // one count per Read call on a file opened for checking
  kAppendBytes,
  kCreateEmptyFile,
  kCopyOver,
  kMoveOver,
  kRemoveFile,
  kMakeDirectory,
  kRemoveEmptyDirectory,
  kExists,
  kListMatches,
  kListDirectory,
};

class MemoryFileSystem : public FileSystem {
 public:
  // Setup; both create any missing parent directories.
  void AddFile(const std::string& path, std::string_view bytes);
  void AddDirectory(const std::string& path);
  // `shortName` also takes part in wildcard matching; a match through it
  // still lists the long name.
  void SetShortName(const std::string& path, const std::string& shortName);

  // Faults. For CopyOver a fault on either the source or the target applies;
  // for ListMatches the path is the pattern; kRead makes every read fail.
  void FailOn(FsOp op, const std::string& path);
  // Fails the nth call from now (1: the next one), counting every operation
  // and every read alike; with `fromThenOn`, every call after it fails too.
  // 0 ends the fault.
  void FailNthCall(std::size_t n, bool fromThenOn = false);
  // Operations and reads so far, of every kind: the length of a sweep.
  std::size_t CallCount() const;
  // The bytes all files together may hold (unset: no limit). A copy or an
  // append beyond it writes what fits and fails, as on a full disk.
  void LimitSpace(std::optional<std::size_t> bytes);
  // Reads of this file deliver `bytes` bytes, then fail.
  void FailReadAfter(const std::string& path, std::size_t bytes);
  // Someone else writes the file, letting others only read: opening it to
  // check or append, replacing it (by copy or creation) or deleting it fails
  // until released; copying from it still works, as with the Win32 file
  // system.
  void HoldOpenForWriting(const std::string& path, bool held = true);
  // Runs `action` once, when the next OpenForCheck of `path` begins (outside
  // the lock, so it may use this file system): something that happens while
  // a check is under way.
  void BeforeOpenForCheck(const std::string& path, std::function<void()> action);

  // Inspection.
  bool IsFile(const std::string& path) const;
  bool IsDirectory(const std::string& path) const;
  std::optional<std::string> FileBytes(const std::string& path) const;
  // Plain names inside a directory, sorted by their lower-case form.
  std::vector<std::string> Names(const std::string& directory) const;
  std::size_t Calls(FsOp op) const;
  std::size_t Calls(FsOp op, const std::string& path) const;
  void ResetCalls();

  // FileSystem
  std::unique_ptr<ReadableFile> OpenForCheck(const std::string& path) override;
  bool AppendBytes(const std::string& path, std::string_view bytes) override;
  bool CreateEmptyFile(const std::string& path) override;
  bool CopyOver(const std::string& from, const std::string& to) override;
  bool MoveOver(const std::string& from, const std::string& to) override;
  bool RemoveFile(const std::string& path) override;
  bool MakeDirectory(const std::string& path) override;
  bool RemoveEmptyDirectory(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool ListMatchesToEnd(const std::string& pattern, std::vector<std::string>* names) override;
  bool ListDirectory(const std::string& prefix, std::vector<DirectoryEntry>* entries) override;
  std::string StoredName(std::string_view name) override;
  std::string FoldCase(std::string_view text) override;

 private:
  struct Node {
    std::string name;  // the plain name as created
    bool isDirectory = false;
    std::string bytes;
    std::string shortName;
  };

  // The path as stored: '/' made '\\', no trailing separator, and the last
  // component without trailing blanks and dots.
  static std::string Normal(std::string_view path);
  static std::string Key(std::string_view path);
  static std::string ParentKey(const std::string& key);
  void CountCall(FsOp op, const std::string& path);
  // Counts one call towards FailNthCall; true when it is to fail.
  bool NextCallFails();
  bool Faulty(FsOp op, const std::string& path) const;
  bool Held(const std::string& path) const;
  bool ParentIsDirectory(const std::string& key) const;
  const Node* Find(const std::string& path) const;
  void AddDirectoryLocked(const std::string& path);
  void PutNode(const std::string& path, Node node);
  // How many more bytes fit, leaving aside the file `replacing` would replace.
  std::size_t RoomFor(const std::string& replacing) const;

  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;  // by Key(path)
  std::set<std::pair<FsOp, std::string>> faults_;
  std::map<std::string, std::size_t> readLimits_;
  std::optional<std::size_t> space_;
  std::set<std::string> held_;
  std::map<std::string, std::function<void()>> beforeOpen_;
  std::map<std::pair<FsOp, std::string>, std::size_t> calls_;
  std::size_t sweepCalls_ = 0;
  std::size_t sweepTarget_ = 0;  // 0: no sweep fault
  bool sweepOnward_ = false;
};

}  // namespace sfvcheck::testing
