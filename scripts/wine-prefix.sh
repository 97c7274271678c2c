#!/usr/bin/env bash
# Creates the private Wine prefix given as $1 once (about 10 s), without asking
# to install Mono or Gecko, and with X windows unmanaged so that hiding a
# window does not wait for a window manager that Xvfb lacks.
set -euo pipefail
prefix=$1
[ -f "$prefix/.sfvcheck-ready" ] && exit 0
mkdir -p "$prefix"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.sfvcheck-ready" ] && exit 0
export WINEPREFIX="$prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.sfvcheck-ready"
