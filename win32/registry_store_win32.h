// The settings in the registry: four REG_SZ values of one HKEY_LOCAL_MACHINE key.
#pragma once

#include "core/settings/run_settings.h"

namespace sfvcheck {

// For a check: every value that cannot be read keeps its default.
RunSettings ReadRunSettings();

// For the dialog: updates the fields in place, each value with a key opening
// of its own (see the implementation for the fields a failed read leaves).
void ReadDialogSettings(RunSettings& fields);

// Writes all four values; failures are not reported.
void WriteRunSettings(const RunSettings& settings);

}  // namespace sfvcheck
