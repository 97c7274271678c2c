// The host system behind Wine, for tests that must reach past Windows.
#pragma once

#include <string>

namespace sfvcheck::testing {

// The host's own name ("/tmp/...") of a Windows path; empty when not under
// Wine or when Wine cannot tell it.
std::string HostNameOf(const std::string& windowsPath);

}  // namespace sfvcheck::testing
