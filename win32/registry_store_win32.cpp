#include "win32/registry_store_win32.h"

#include <windows.h>

#include <string>
#include <utility>

#include "win32/owned_handle_win32.h"

namespace sfvcheck {

namespace {

class RegistrySettingsKey : public SettingsKey {
 public:
  explicit RegistrySettingsKey(OwnedKey key) : key_(std::move(key)) {}

  // The stored type is not looked at.
  bool ReadValue(const char* name, char* buffer, std::size_t capacity, std::size_t* size) override {
    DWORD bytes = static_cast<DWORD>(capacity);
    if (RegQueryValueExA(key_.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) !=
        ERROR_SUCCESS) {
      return false;
    }
    *size = bytes;
    return true;
  }

  void WriteText(const char* name, const std::string& text) override {
    // The byte count includes the terminating NUL.
    RegSetValueExA(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }

 private:
  OwnedKey key_;
};

}  // namespace

std::unique_ptr<SettingsKey> RegistrySettingsStore::OpenForReading() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyForReading, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<RegistrySettingsKey>(OwnedKey(key));
}

std::unique_ptr<SettingsKey> RegistrySettingsStore::OpenForWriting() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyForWriting, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<RegistrySettingsKey>(OwnedKey(key));
}

RunSettings ReadRunSettings() {
  RegistrySettingsStore store;
  return ReadRunSettings(store);
}

void ReadDialogSettings(RunSettings& fields) {
  RegistrySettingsStore store;
  ReadDialogSettings(store, fields);
}

void WriteRunSettings(const RunSettings& settings) {
  RegistrySettingsStore store;
  WriteRunSettings(store, settings);
}

std::string ReadLogFileSetting() {
  RegistrySettingsStore store;
  return ReadLogFileSetting(store);
}

}  // namespace sfvcheck
