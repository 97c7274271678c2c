#!/usr/bin/env bash
# Captures the settings dialog as docs/settings-dialog.png: builds the 64-bit
# DLL, opens the dialog through the DLL's menu hook on a virtual X display,
# grabs the screen and cuts the dialog out. The dialog shows the default
# settings, stored for the capture and removed again afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${SFVCHECK_ON_DISPLAY:-}" ]; then
    cmake --preset win64 >/dev/null
    cmake --build --preset win64 -j2 --target sfvcheck
    SFVCHECK_ON_DISPLAY=1 exec xvfb-run -a -s "-screen 0 800x600x24" bash "$0" "$@"
fi

build=build/win64
work=$build/screenshot
mkdir -p "$work" docs

# A prefix of its own with the fonts a Windows desktop has for this dialog,
# taken from Wine's own (package fonts-wine): MS Sans Serif, the template's
# font, as the bitmap font with the original's metrics (Wine otherwise puts a
# wider font in its place and the labels wrap out of sight), and Marlett for
# the caption's close button.
export WINEPREFIX="$PWD/build/wineprefix-screenshot"
bash scripts/wine-prefix.sh "$WINEPREFIX"
for font in sserife.fon marlett.ttf; do
    if [ ! -f "/usr/share/wine/fonts/$font" ]; then
        echo "screenshot: /usr/share/wine/fonts/$font missing; run scripts/setup.sh" >&2
        exit 1
    fi
    cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
done
rm -f "$work/dialog-rect.txt" "$work/captured"

# A small host: stores the defaults, opens the dialog (event 112) and, from a
# second thread, reports where the dialog stands and cancels it once the
# picture has been taken.
cat > "$work/open_settings_dialog.cpp" <<'EOF'
#include <windows.h>
#include <cstdio>
#include <cstring>
#include <thread>

using Hook = short(__cdecl*)(void*);
const char kKey[] = "Software\\Quendrell";

void Store(HKEY key, const char* name, const char* text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(std::strlen(text) + 1));
}

int main() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0) {
    Store(key, "SFVStart", "--==[");
    Store(key, "SFVEnd", "]==-- ");
    Store(key, "SFVDel", "0");
    Store(key, "SFVMeter", "1");
    RegCloseKey(key);
  }
  HMODULE dll = LoadLibraryA("sfvcheck.dll");
  if (!dll) return 1;
  auto hook = reinterpret_cast<Hook>(reinterpret_cast<void*>(GetProcAddress(dll, "HandleQNDRLEventHook")));
  if (!hook) return 1;
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
  unsigned char record[2048] = {};
  const int menuChosen = 112;
  std::memcpy(record, &menuChosen, sizeof menuChosen);
  hook(record);
  driver.join();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
  return 0;
}
EOF
x86_64-w64-mingw32-g++-posix -std=c++17 -O1 -static -o "$build/open_settings_dialog.exe" "$work/open_settings_dialog.cpp"

(cd "$build" && bash ../../scripts/wine-run.sh 64 ./open_settings_dialog.exe) &
host=$!
for _ in $(seq 600); do
    [ -f "$work/dialog-rect.txt" ] && break
    sleep 0.1
done
if [ ! -f "$work/dialog-rect.txt" ]; then
    echo "screenshot: the dialog did not open" >&2
    kill "$host" 2>/dev/null || true
    exit 1
fi
xwd -root -silent -out "$work/screen.xwd"
touch "$work/captured"
convert "$work/screen.xwd" -crop "$(tr -d '\r\n' < "$work/dialog-rect.txt")" +repage docs/settings-dialog.png
wait "$host" || true
echo "wrote docs/settings-dialog.png ($(tr -d '\r\n' < "$work/dialog-rect.txt"))"
