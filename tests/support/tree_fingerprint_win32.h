// A snapshot of everything below a folder (name, kind, size, content hash),
// and the rule a check must keep: it touches nothing outside the checked
// directory and loses nothing inside it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sfvcheck::testing {

struct EntryFingerprint {
  bool directory = false;
  std::uint64_t size = 0;
  std::uint64_t contentHash = 0;  // FNV-1a 64 of the contents; 0 for directories

  bool operator==(const EntryFingerprint& other) const {
    return directory == other.directory && size == other.size && contentHash == other.contentHash;
  }
};

// Keyed by the path relative to the root; directories end in '\'.
using TreeFingerprint = std::map<std::string, EntryFingerprint>;

// `root` ends in '\'.
TreeFingerprint FingerprintTree(const std::string& root);

// The breaches of the rule, one readable line each (empty when it holds):
// - outside `checkedDirectory` (relative to the root, ending in '\') nothing
//   is created, changed or deleted;
// - inside it every file that was there is still there, under its own name
//   or, with the same contents, under its -[BAD] name (or another new -[BAD]
//   name beside it: Windows folds case and drops trailing dots, so a listed
//   spelling of the name may be the one tagged); every directory is still
//   there, except empty meter folders (named from `meterPrefix` on);
// - the check's own bookkeeping (zero-length -[MISSING] files, the
//   .qdrl.*.state files) may come and go.
std::vector<std::string> ContainmentBreaches(const TreeFingerprint& before, const TreeFingerprint& after,
                                             const std::string& checkedDirectory,
                                             const std::string& meterPrefix = "--==[");

// The -[BAD] name the check gives a file: the tag before the last '.' of the
// file name, or at its end.
std::string BadNameOf(const std::string& path);

}  // namespace sfvcheck::testing
