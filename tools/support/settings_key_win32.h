// The plug-in's settings key in the test prefix's registry: taking turns over
// it, and deleting it. Header-only, so the screenshot host shares it too.
#pragma once

#include <windows.h>

#include "core/settings/run_settings.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck::testing {

// Test programs that use the settings key take turns through this mutex, so
// that ctest may run them side by side (all share one Wine server).
class SettingsKeyTurn {
 public:
  SettingsKeyTurn() : mutex_(CreateMutexA(nullptr, FALSE, "sfvcheck-tests-settings-key")) {
    if (mutex_) WaitForSingleObject(mutex_.get(), INFINITE);  // abandoned counts as taken
  }
  ~SettingsKeyTurn() {
    if (mutex_) ReleaseMutex(mutex_.get());
  }
  SettingsKeyTurn(const SettingsKeyTurn&) = delete;
  SettingsKeyTurn& operator=(const SettingsKeyTurn&) = delete;

 private:
  OwnedObject mutex_;
};

// Deletes the settings key (it holds values only): ERROR_SUCCESS when it is
// gone or was never there, else the error.
inline LONG DeleteSettingsKey() {
  const LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSettingsKeyForReading);
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

}  // namespace sfvcheck::testing
