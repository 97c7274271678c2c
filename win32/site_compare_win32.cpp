#include "win32/site_compare_win32.h"

#include <windows.h>

#include "core/host/site_commands.h"

namespace sfvcheck {

namespace {

// lstrcmpiA folds case by the user's locale; wrapped for the calling convention.
int SystemCompareNoCase(const char* left, const char* right) { return lstrcmpiA(left, right); }

}  // namespace

void InstallSiteNameCompare() { SetSiteNameCompare(&SystemCompareNoCase); }

}  // namespace sfvcheck
