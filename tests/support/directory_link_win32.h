// A directory link for tests of walks that must not leave a tree.
#pragma once

#include <string>

namespace sfvcheck::testing {

// Makes `link` (no trailing '\\') a junction to the directory `target`, and
// removes the link itself (never what it points to) when it goes. Where the
// file system takes no junctions (Wine), a symbolic link made and removed by
// the host system's own `ln` and `rm`, which Windows programs there see as a
// reparse point just the same.
class DirectoryLink {
 public:
  DirectoryLink(const std::string& link, const std::string& target);
  ~DirectoryLink();
  DirectoryLink(const DirectoryLink&) = delete;
  DirectoryLink& operator=(const DirectoryLink&) = delete;

  // True when the link is a reparse point.
  bool made() const;

 private:
  std::string link_;
};

}  // namespace sfvcheck::testing
