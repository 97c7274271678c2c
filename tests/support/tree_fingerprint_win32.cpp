#include "tests/support/tree_fingerprint_win32.h"

#include <windows.h>

#include <memory>

namespace sfvcheck::testing {
namespace {

constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

// Unreadable contents get a hash no real contents produce in practice, so a
// file that became unreadable counts as changed.
constexpr std::uint64_t kUnreadable = 0xDEADDEADDEADDEADull;

std::uint64_t HashContents(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kUnreadable;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[1 << 16]);
  std::uint64_t hash = kFnvOffset;
  DWORD got = 0;
  while (ReadFile(file, buffer.get(), 1 << 16, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) hash = (hash ^ buffer[i]) * kFnvPrime;
  }
  CloseHandle(file);
  return hash;
}

void Walk(const std::string& root, const std::string& relative, TreeFingerprint& out) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((root + relative + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    EntryFingerprint entry;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      entry.directory = true;
      out[relative + name + "\\"] = entry;
      Walk(root, relative + name + "\\", out);
    } else {
      entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      entry.contentHash = HashContents(root + relative + name);
      out[relative + name] = entry;
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string LastComponent(const std::string& relative) {
  std::string trimmed = relative;
  if (!trimmed.empty() && trimmed.back() == '\\') trimmed.pop_back();
  std::size_t cut = trimmed.find_last_of('\\');
  return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

bool IsBookkeeping(const std::string& relative, const EntryFingerprint& entry) {
  if (entry.directory) return false;
  std::string name = LastComponent(relative);
  if (entry.size == 0 && name.find("-[MISSING]") != std::string::npos) return true;
  return StartsWith(name, ".qdrl.") && name.size() > 6 &&
         name.compare(name.size() - 6, 6, ".state") == 0;
}

bool IsEmptyDirectory(const TreeFingerprint& tree, const std::string& relative) {
  auto next = tree.upper_bound(relative);
  return next == tree.end() || !StartsWith(next->first, relative);
}

// The contents now sit under the file's -[BAD] name, or under another new
// -[BAD] name in the same directory (Windows folds the case of names and
// drops trailing dots and spaces, so a listed name may reach a file under a
// spelling of its own).
bool MovedAside(const TreeFingerprint& before, const TreeFingerprint& after, const std::string& relative,
                const EntryFingerprint& entry) {
  auto moved = after.find(BadNameOf(relative));
  if (moved != after.end() && moved->second == entry) return true;
  std::size_t cut = relative.find_last_of('\\');
  std::string directory = cut == std::string::npos ? "" : relative.substr(0, cut + 1);
  for (auto it = after.lower_bound(directory); it != after.end() && StartsWith(it->first, directory); ++it) {
    const std::string& name = it->first;
    if (name.find('\\', directory.size()) != std::string::npos) continue;
    if (name.find("-[BAD]", directory.size()) == std::string::npos) continue;
    if (before.count(name) == 0 && it->second == entry) return true;
  }
  return false;
}

}  // namespace

TreeFingerprint FingerprintTree(const std::string& root) {
  TreeFingerprint out;
  Walk(root, "", out);
  return out;
}

std::string BadNameOf(const std::string& path) {
  std::size_t nameStart = path.find_last_of("\\/");
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  std::size_t dot = path.find_last_of('.');
  std::size_t at = (dot == std::string::npos || dot < nameStart) ? path.size() : dot;
  return path.substr(0, at) + "-[BAD]" + path.substr(at);
}

std::vector<std::string> ContainmentBreaches(const TreeFingerprint& before, const TreeFingerprint& after,
                                             const std::string& checkedDirectory,
                                             const std::string& meterPrefix) {
  std::vector<std::string> breaches;
  auto inside = [&](const std::string& relative) {
    return relative != checkedDirectory && StartsWith(relative, checkedDirectory);
  };

  for (const auto& [relative, entry] : before) {
    auto now = after.find(relative);
    if (!inside(relative)) {
      if (now == after.end()) {
        breaches.push_back("deleted outside: " + relative);
      } else if (!(now->second == entry)) {
        breaches.push_back("changed outside: " + relative);
      }
      continue;
    }
    if (now != after.end() && now->second == entry) continue;
    if (IsBookkeeping(relative, entry)) continue;
    if (entry.directory) {
      bool meter = StartsWith(LastComponent(relative), meterPrefix) && IsEmptyDirectory(before, relative);
      if (!meter) breaches.push_back("directory lost inside: " + relative);
      continue;
    }
    if (MovedAside(before, after, relative, entry)) continue;
    breaches.push_back(now == after.end() ? "file lost inside: " + relative
                                          : "file changed inside: " + relative);
  }

  for (const auto& [relative, entry] : after) {
    if (!inside(relative) && before.find(relative) == before.end()) {
      breaches.push_back("created outside: " + relative);
    }
  }
  return breaches;
}

}  // namespace sfvcheck::testing
