// The settings in the registry: four REG_SZ values of one HKEY_LOCAL_MACHINE
// key. The store only opens the key and reads and writes values; the rules
// are core/settings/settings_store.h's.
#pragma once

#include <memory>
#include <string>

#include "core/settings/run_settings.h"
#include "core/settings/settings_store.h"

namespace sfvcheck {

class RegistrySettingsStore : public SettingsStore {
 public:
  std::unique_ptr<SettingsKey> OpenForReading() override;
  std::unique_ptr<SettingsKey> OpenForWriting() override;
};

// The rules over the registry store, for the plug-in's checks and dialog.
RunSettings ReadRunSettings();
void ReadDialogSettings(RunSettings& fields);
void WriteRunSettings(const RunSettings& settings);
std::string ReadLogFileSetting();

}  // namespace sfvcheck
