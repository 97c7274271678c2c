#pragma once

namespace sfvcheck {

// Makes the text helpers step over double-byte characters of the system's
// ANSI code page.
void UseSystemCodePage();

}  // namespace sfvcheck
