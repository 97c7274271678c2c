// The settings rules over a seam for where the values are kept: the
// registry key on Windows (win32/registry_store_win32.h), a map in the tests.
// The store only opens its key and reads and writes values; what a value
// means, its defaults, the read limit and what an unreadable value becomes
// are decided here.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/settings/run_settings.h"

namespace sfvcheck {

// The settings key, open.
class SettingsKey {
 public:
  virtual ~SettingsKey() = default;
  // Copies the value's stored bytes into `buffer`, whatever their type.
  // False when the value is absent or does not fit in `capacity` bytes.
  virtual bool ReadValue(const char* name, char* buffer, std::size_t capacity, std::size_t* size) = 0;
  // Stores `text` as a string value with its terminating NUL; a failure is
  // not reported.
  virtual void WriteText(const char* name, const std::string& text) = 0;
};

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // Null when the key does not exist or cannot be opened.
  virtual std::unique_ptr<SettingsKey> OpenForReading() = 0;
  // Opens the key, creating it when needed; null when that fails.
  virtual std::unique_ptr<SettingsKey> OpenForWriting() = 0;
};

// For a check: the key opened once; every value that cannot be read keeps its
// default.
RunSettings ReadRunSettings(SettingsStore& store);

// The outcome log's file name, read afresh through the same fixed buffer;
// empty when the key, the value or the read is missing (no log then).
std::string ReadLogFileSetting(SettingsStore& store);

// The dialog's fields before it reads the store: empty texts, both flags
// clear (not the defaults: a field whose key does not open stays so).
RunSettings BlankDialogFields();

// For the dialog: updates the fields in place, each value with a key opening
// of its own. A field whose key does not open keeps what it holds; when the
// key opens but the value cannot be read, the field gets the default a check
// would use, so that the dialog shows what checks actually do.
void ReadDialogSettings(SettingsStore& store, RunSettings& fields);

// Writes all four values, each tried whatever the one before did; failures
// are not reported.
void WriteRunSettings(SettingsStore& store, const RunSettings& settings);

}  // namespace sfvcheck
