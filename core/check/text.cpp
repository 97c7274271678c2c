#include "core/check/text.h"

#include <atomic>

namespace sfvcheck {
namespace {

std::atomic<LeadByteTest> leadByteTest{nullptr};

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// True when position `at` starts a character (is not the trail byte of a
// double-byte character).
bool StartsCharacter(std::string_view text, std::size_t at) {
  std::size_t i = 0;
  while (i < at) i += (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
  return i == at;
}

}  // namespace

void SetLeadByteTest(LeadByteTest test) { leadByteTest.store(test); }

bool IsLeadByte(unsigned char byte) {
  LeadByteTest test = leadByteTest.load();
  return test != nullptr && test(byte);
}

bool WildcardMatchNoCase(std::string_view pattern, std::string_view name) {
  // Iterative, with one backtrack point: the latest '*'.
  std::size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] != '*' &&
        (pattern[p] == '?' || AsciiLower(pattern[p]) == AsciiLower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::size_t FindLastOf(std::string_view text, std::string_view set) {
  std::size_t found = std::string_view::npos;
  for (std::size_t i = 0; i < text.size();) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (IsLeadByte(byte) && i + 1 < text.size()) {
      i += 2;
      continue;
    }
    if (set.find(text[i]) != std::string_view::npos) found = i;
    ++i;
  }
  return found;
}

std::size_t FindLastChar(std::string_view text, char c) {
  return FindLastOf(text, std::string_view(&c, 1));
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  std::size_t at = text.size() - suffix.size();
  // A suffix that begins inside a double-byte character is no suffix.
  return StartsCharacter(text, at) && EqualNoCase(text.substr(at), suffix);
}

std::string_view WithoutTrailingBlanksAndDots(std::string_view name) {
  std::size_t end = name.find_last_not_of(" .");
  return name.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace sfvcheck
