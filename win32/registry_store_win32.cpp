#include "win32/registry_store_win32.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>

#include "win32/owned_handle_win32.h"

namespace sfvcheck {

namespace {

OwnedKey OpenForReading() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyForReading, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return OwnedKey();
  }
  return OwnedKey(key);
}

// One value through the fixed read buffer; a value that does not fit, or is
// absent, gives nothing. The stored type is not looked at.
std::optional<std::string> ReadValueText(HKEY key, const char* name) {
  char buffer[kValueReadLimit];
  DWORD size = sizeof buffer;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  // Never trust the reported size beyond the buffer.
  return TextFromStoredBytes(buffer, std::min<std::size_t>(size, sizeof buffer));
}

// Opens the key for this one value, reads it and closes the key again.
// Outer empty: the key did not open; inner empty: the value did not read.
std::optional<std::optional<std::string>> ReadValueOnItsOwn(const char* name) {
  OwnedKey key = OpenForReading();
  if (!key) return std::nullopt;
  return ReadValueText(key.get(), name);
}

void SetTextValue(HKEY key, const char* name, const std::string& text) {
  // The byte count includes the terminating NUL.
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
}

}  // namespace

RunSettings ReadRunSettings() {
  RunSettings settings;  // starts with the defaults
  OwnedKey key = OpenForReading();
  if (!key) return settings;
  if (auto text = ReadValueText(key.get(), kStartTrailValue)) settings.startTrail = *text;
  if (auto text = ReadValueText(key.get(), kEndTrailValue)) settings.endTrail = *text;
  if (auto text = ReadValueText(key.get(), kDeleteFlagValue)) settings.deleteFlag = ParseFlagText(*text);
  if (auto text = ReadValueText(key.get(), kMeterFlagValue)) settings.meterFlag = ParseFlagText(*text);
  return settings;
}

// A field whose key does not open keeps what it holds. When the key opens but
// a trail cannot be read, the trail gets the default a check would use, so
// that the dialog shows what checks actually do.
void ReadDialogSettings(RunSettings& fields) {
  if (auto read = ReadValueOnItsOwn(kStartTrailValue)) fields.startTrail = read->value_or(kDefaultStartTrail);
  if (auto read = ReadValueOnItsOwn(kEndTrailValue)) fields.endTrail = read->value_or(kDefaultEndTrail);
  if (auto read = ReadValueOnItsOwn(kDeleteFlagValue)) {
    fields.deleteFlag = *read ? ParseFlagText(**read) : kDefaultDeleteFlag;
  }
  if (auto read = ReadValueOnItsOwn(kMeterFlagValue)) {
    fields.meterFlag = *read ? ParseFlagText(**read) : kDefaultMeterFlag;
  }
}

void WriteRunSettings(const RunSettings& settings) {
  HKEY rawKey = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyForWriting, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &rawKey, nullptr) != ERROR_SUCCESS) {
    return;
  }
  OwnedKey key(rawKey);
  // Each set is tried whatever the one before did.
  SetTextValue(key.get(), kStartTrailValue, settings.startTrail);
  SetTextValue(key.get(), kEndTrailValue, settings.endTrail);
  SetTextValue(key.get(), kDeleteFlagValue, FormatFlagText(settings.deleteFlag));
  SetTextValue(key.get(), kMeterFlagValue, FormatFlagText(settings.meterFlag));
}

}  // namespace sfvcheck
