#!/usr/bin/env bash
# Captures the settings dialog as docs/settings-dialog.png: builds the 64-bit
# DLL and tools/open_settings_dialog.cpp, which opens the dialog through the
# DLL's menu hook on a virtual X display, then grabs the screen and cuts the
# dialog out. The dialog shows the default settings, stored for the capture
# and removed again afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${SFVCHECK_ON_DISPLAY:-}" ]; then
    cmake --preset win64 >/dev/null
    cmake --build --preset win64 -j2 --target sfvcheck open_settings_dialog
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
