// Installs the system's case-insensitive comparison for SITE sub-command
// names. Called once at module start, before any hook can run.
#pragma once

namespace sfvcheck {

void InstallSiteNameCompare();

}  // namespace sfvcheck
