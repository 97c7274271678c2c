// One listing of a directory, answering for the names a pass uses whether
// they exist.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/check/file_system.h"

namespace sfvcheck {

// One listing of the directory, taken when a pass starts and kept up to date
// with what the pass itself makes and removes, answers for most names the
// pass uses whether they exist, so that the pass need not ask the file
// system name by name: opening an absent file, recreating a MissingMarker
// that is already there and deleting markers that are not there cost more
// than the rest of a visit (under Wine on a case-sensitive file system every
// lookup of an absent name reads the whole directory). Names compare as the
// file system stores them (a listed "a.rar " is the file a.rar).
//
// It answers only where it is sure, and says kUnknown otherwise: for names in
// a subdirectory, names beyond ASCII, names that reach past the plain name
// (':' for a stream) or may be an 8.3 alias ('~'), names that a listed name
// shown only in part could stand for, names whose key several listed entries
// share (a case-sensitive directory holding a.rar and A.RAR, or a name with
// a trailing dot made through "\\?\"), and every name when the directory
// could not be listed to its end.
class DirectoryListing {
 public:
  enum class Kind { kUnknown, kAbsent, kEmptyFile, kFile, kDirectory };

  // Keeps references to both: they must outlive the listing.
  DirectoryListing(FileSystem& fs, const std::string& prefix);

  // Whether the listing knows every directory by name.
  bool knowsDirectories() const { return complete_ && !partlyShownDirectory_ && shared_.empty(); }

  Kind Look(const std::string& path) const;

  // The pass made, replaced or removed `path` (kUnknown: it may have).
  void Note(const std::string& path, Kind kind);

  // The stored names of the listed directories that begin with `trail`.
  std::vector<std::string> DirectoriesStartingWith(const std::string& trail) const;

  // Whether a directory of exactly this stored spelling is listed.
  bool HoldsDirectorySpelt(const std::string& path) const;

 private:
  static constexpr std::size_t kMadeByPass = static_cast<std::size_t>(-1);

  struct Name {
    Kind kind;
    std::string stored;
    std::size_t entry;  // its index in the listing (kMadeByPass: made since)
  };

  // The key of a plain name of this directory that the listing can vouch for.
  bool KeyOf(const std::string& path, std::string* key) const;

  FileSystem& fs_;
  const std::string& prefix_;
  bool complete_ = false;
  std::unordered_map<std::string, Name> names_;  // by NameKey, 8.3 aliases too
  std::unordered_set<std::string> shared_;       // keys of more than one listed entry
  std::vector<std::string> partlyShown_;         // patterns, see PartlyShownPattern
  bool partlyShownDirectory_ = false;
};

}  // namespace sfvcheck
