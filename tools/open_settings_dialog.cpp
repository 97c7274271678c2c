// A small host for the dialog's picture (scripts/screenshot-settings.sh): stores
// the default settings, opens the dialog through the plug-in's menu hook (event
// 112) and, from a second thread, writes where the dialog stands to
// screenshot\dialog-rect.txt and cancels it once screenshot\captured exists.
// Run from the build folder; removes the settings key again at the end.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"
#include "tools/support/settings_key_win32.h"
#include "win32/registry_store_win32.h"

int main() {
  sfvcheck::WriteRunSettings(sfvcheck::RunSettings{});
  sfvcheck::PluginLoader plugin;
  if (!plugin.Load()) {
    std::fprintf(stderr, "%s\n", plugin.error().c_str());
    return 1;
  }
  std::thread driver([] {
    HWND dialog = nullptr;
    for (int i = 0; i < 1000 && !(dialog && IsWindowVisible(dialog)); ++i, Sleep(10))
      dialog = FindWindowA("#32770", "SFV Plugin  -  Configuration");
    if (!dialog) return;
    Sleep(1000);  // let it paint
    RECT r;
    GetWindowRect(dialog, &r);
    if (FILE* f = std::fopen("screenshot\\dialog-rect.txt.part", "w")) {
      std::fprintf(f, "%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
      std::fclose(f);
      MoveFileA("screenshot\\dialog-rect.txt.part", "screenshot\\dialog-rect.txt");
    }
    for (int i = 0; i < 3000 && GetFileAttributesA("screenshot\\captured") == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  sfvcheck::HostEventRecord record;
  std::memset(&record, 0, sizeof record);
  record.eventCode = sfvcheck::kEventMenuChosen;
  plugin.QndrlEvent(record);
  driver.join();
  sfvcheck::testing::DeleteSettingsKey();
  return 0;
}
