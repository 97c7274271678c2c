#include "core/settings/settings_store.h"

#include <algorithm>
#include <optional>

namespace sfvcheck {
namespace {

// One value through the fixed read buffer; a value that does not fit, or is
// absent, gives nothing.
std::optional<std::string> ReadValueText(SettingsKey& key, const char* name) {
  char buffer[kValueReadLimit];
  std::size_t size = 0;
  if (!key.ReadValue(name, buffer, sizeof buffer, &size)) return std::nullopt;
  // Never trust the reported size beyond the buffer.
  return TextFromStoredBytes(buffer, std::min(size, sizeof buffer));
}

// Opens the key for this one value, reads it and closes the key again.
// Outer empty: the key did not open; inner empty: the value did not read.
std::optional<std::optional<std::string>> ReadValueOnItsOwn(SettingsStore& store, const char* name) {
  std::unique_ptr<SettingsKey> key = store.OpenForReading();
  if (!key) return std::nullopt;
  return ReadValueText(*key, name);
}

}  // namespace

RunSettings ReadRunSettings(SettingsStore& store) {
  RunSettings settings;  // starts with the defaults
  std::unique_ptr<SettingsKey> key = store.OpenForReading();
  if (!key) return settings;
  if (auto text = ReadValueText(*key, kStartTrailValue)) settings.startTrail = *text;
  if (auto text = ReadValueText(*key, kEndTrailValue)) settings.endTrail = *text;
  if (auto text = ReadValueText(*key, kDeleteFlagValue)) settings.deleteFlag = ParseFlagText(*text);
  if (auto text = ReadValueText(*key, kMeterFlagValue)) settings.meterFlag = ParseFlagText(*text);
  return settings;
}

std::string ReadLogFileSetting(SettingsStore& store) {
  std::unique_ptr<SettingsKey> key = store.OpenForReading();
  if (!key) return std::string();
  return ReadValueText(*key, kLogFileValue).value_or(std::string());
}

RunSettings BlankDialogFields() {
  RunSettings fields;
  fields.startTrail.clear();
  fields.endTrail.clear();
  fields.deleteFlag = 0;
  fields.meterFlag = 0;
  return fields;
}

void ReadDialogSettings(SettingsStore& store, RunSettings& fields) {
  if (auto read = ReadValueOnItsOwn(store, kStartTrailValue)) fields.startTrail = read->value_or(kDefaultStartTrail);
  if (auto read = ReadValueOnItsOwn(store, kEndTrailValue)) fields.endTrail = read->value_or(kDefaultEndTrail);
  if (auto read = ReadValueOnItsOwn(store, kDeleteFlagValue)) {
    fields.deleteFlag = *read ? ParseFlagText(**read) : kDefaultDeleteFlag;
  }
  if (auto read = ReadValueOnItsOwn(store, kMeterFlagValue)) {
    fields.meterFlag = *read ? ParseFlagText(**read) : kDefaultMeterFlag;
  }
}

void WriteRunSettings(SettingsStore& store, const RunSettings& settings) {
  std::unique_ptr<SettingsKey> key = store.OpenForWriting();
  if (!key) return;
  key->WriteText(kStartTrailValue, settings.startTrail);
  key->WriteText(kEndTrailValue, settings.endTrail);
  key->WriteText(kDeleteFlagValue, FormatFlagText(settings.deleteFlag));
  key->WriteText(kMeterFlagValue, FormatFlagText(settings.meterFlag));
}

}  // namespace sfvcheck
