#include "core/check/directory_listing.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/check/text.h"

namespace sfvcheck {
namespace {

// A listed name that the listing shows only in part: a character beyond
// ASCII, which the system may fold to an ASCII letter (and whose trail byte
// may look like ASCII), or a '?' or '*' standing for a character the code
// page lacks. Each such character, with the byte after it, becomes a '*':
// the pattern matches every ASCII name the entry could answer to.
bool IsUnsureCharacter(char c) { return static_cast<unsigned char>(c) >= 0x80 || c == '?' || c == '*'; }

bool IsPartlyShown(std::string_view name) {
  return std::any_of(name.begin(), name.end(), IsUnsureCharacter);
}

std::string PartlyShownPattern(std::string_view name) {
  std::string pattern;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (IsUnsureCharacter(c)) {
      if (static_cast<unsigned char>(c) >= 0x80) ++i;  // a possible trail byte
      if (pattern.empty() || pattern.back() != '*') pattern += '*';
    } else {
      pattern += c;
    }
  }
  return pattern;
}
}  // namespace

DirectoryListing::DirectoryListing(FileSystem& fs, const std::string& prefix) : fs_(fs), prefix_(prefix) {
  std::vector<DirectoryEntry> entries;
  complete_ = fs.ListDirectory(prefix, &entries);
  if (!complete_) return;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const DirectoryEntry& entry = entries[index];
    const Kind kind = entry.isDirectory ? Kind::kDirectory : entry.size == 0 ? Kind::kEmptyFile : Kind::kFile;
    for (const std::string* name : {&entry.name, &entry.shortName}) {
      if (name->empty()) continue;
      if (IsPartlyShown(*name)) {
        partlyShown_.push_back(PartlyShownPattern(*name));
        if (entry.isDirectory) partlyShownDirectory_ = true;
        continue;
      }
      std::string key = NameKey(fs, *name);
      auto [it, added] = names_.try_emplace(key, Name{kind, entry.name, index});
      // Which of two entries a name reaches is the file system's to say.
      if (!added && it->second.entry != index) shared_.insert(std::move(key));
    }
  }
}

DirectoryListing::Kind DirectoryListing::Look(const std::string& path) const {
  std::string key;
  if (!KeyOf(path, &key)) return Kind::kUnknown;
  auto it = names_.find(key);
  return it == names_.end() ? Kind::kAbsent : it->second.kind;
}

void DirectoryListing::Note(const std::string& path, Kind kind) {
  std::string key;
  if (!KeyOf(path, &key)) return;
  if (kind == Kind::kAbsent) {
    names_.erase(key);
    return;
  }
  auto it = names_.find(key);
  if (it != names_.end()) {
    it->second.kind = kind;  // a replaced file keeps its stored spelling
  } else {
    names_[key] = {kind, fs_.StoredName(path.substr(prefix_.size())), kMadeByPass};
  }
}

std::vector<std::string> DirectoryListing::DirectoriesStartingWith(const std::string& trail) const {
  std::vector<std::string> names;
  for (const auto& [key, name] : names_) {
    if (name.kind == Kind::kDirectory && NameKey(fs_, name.stored) == key &&
        StartsWithAsStored(fs_, name.stored, trail)) {
      names.push_back(name.stored);
    }
  }
  return names;
}

bool DirectoryListing::HoldsDirectorySpelt(const std::string& path) const {
  std::string key;
  if (!KeyOf(path, &key)) return false;
  auto it = names_.find(key);
  return it != names_.end() && it->second.kind == Kind::kDirectory &&
         it->second.stored == fs_.StoredName(path.substr(prefix_.size()));
}

bool DirectoryListing::KeyOf(const std::string& path, std::string* key) const {
  if (!complete_ || path.size() <= prefix_.size() || path.compare(0, prefix_.size(), prefix_) != 0) {
    return false;
  }
  const std::string_view name = std::string_view(path).substr(prefix_.size());
  if (!IsAscii(name) || name.find_first_of("\\/:~") != std::string_view::npos) return false;
  *key = NameKey(fs_, name);
  if (key->empty() || shared_.count(*key) != 0) return false;
  for (const std::string& pattern : partlyShown_) {
    if (WildcardMatchNoCase(pattern, *key)) return false;
  }
  return true;
}

}  // namespace sfvcheck
