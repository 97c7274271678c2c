// The directory check: brings every SFV list in an arrived file's directory
// up to date on disk, one verification pass per list.
#pragma once

#include <string>

#include "core/check/verification_pass.h"

namespace sfvcheck {

// Runs one verification pass per "*.sfv" list in the directory `prefix`
// (ending in '\'), in the order the directory lists them. What it throws
// (out of memory, a failing result hook) ends the check.
void CheckDirectoryLists(const CheckContext& context, const std::string& prefix);

// Runs one verification pass per "*.sfv" list in the path's directory.
// Returns 1 when it looked at the directory, 0 when the path holds no
// separator (nothing is done then).
int DirectoryCheck(const CheckContext& context, const std::string& path);

}  // namespace sfvcheck
