#include "core/check/file_system.h"

namespace sfvcheck {

std::string NameKey(FileSystem& fs, std::string_view name) { return fs.FoldCase(fs.StoredName(name)); }

bool StartsWithAsStored(FileSystem& fs, std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  // Folding keeps every byte in place, so the prefixes line up.
  return fs.FoldCase(text.substr(0, prefix.size())) == fs.FoldCase(prefix);
}

}  // namespace sfvcheck
