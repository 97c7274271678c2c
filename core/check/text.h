// Byte-string helpers for texts in the system's ANSI code page. Searches step
// over a double-byte character as one character, so a trail byte that happens
// to equal '\\' is never taken for a separator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sfvcheck {

using LeadByteTest = bool (*)(unsigned char byte);

// Installs the code page's lead-byte test (the Windows layer passes one that
// asks the system). Until then every byte is a character of its own.
void SetLeadByteTest(LeadByteTest test);
bool IsLeadByte(unsigned char byte);

// Position of the last `c` that is a character of its own, or npos.
std::size_t FindLastChar(std::string_view text, char c);
// Position of the last character that is any of `set`, or npos.
std::size_t FindLastOf(std::string_view text, std::string_view set);

// Whether every byte is ASCII (below 0x80).
bool IsAscii(std::string_view text);

// ASCII case-insensitive comparison (letters inside double-byte characters
// are left alone).
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

// Whether `pattern` matches all of `name`: '*' stands for any run of bytes,
// '?' for any one byte, and ASCII letters compare without regard to case.
bool WildcardMatchNoCase(std::string_view pattern, std::string_view name);

// `name` without its trailing spaces and dots (no trail byte of a double-byte
// character is either), the way Windows stores a path's last component.
std::string_view WithoutTrailingBlanksAndDots(std::string_view name);

}  // namespace sfvcheck
