// The settings dialog (template 3001), opened from the plug-in's menu item.
#pragma once

namespace sfvcheck {

// Opens the dialog modally, owned by the calling thread's active window (none
// when there is none), and returns when it has closed.
void RunConfigDialog();

}  // namespace sfvcheck
