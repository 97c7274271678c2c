// The settings dialog (template 3001), opened from the plug-in's menu item.
#pragma once

namespace sfvcheck {

// Opens the dialog modally without an owner and returns when it has closed.
void RunConfigDialog();

}  // namespace sfvcheck
