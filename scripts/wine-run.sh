#!/usr/bin/env bash
# Runs a Windows program under Wine with the build's private prefix:
#   wine-run.sh 32|64 PROGRAM [ARGS...]
# The prefix is a 64-bit one, which runs 32-bit programs too, shared by the
# presets: build/wineprefix beside the program's build folder (the folder
# holding CMakeCache.txt), else build/wineprefix of the checkout. The first
# run creates it, without any prompt.
set -euo pipefail

bits=$1
program=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
    build=$(cd "$(dirname "$program")" && pwd)
    [ -f "$build/CMakeCache.txt" ] || build="$here/../build/win$bits"
    export WINEPREFIX="$(dirname "$build")/wineprefix"
fi
"$here/wine-prefix.sh" "$WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine's background services (services.exe, winedevice.exe, ...) start with
# the first program and outlive it. Started by the program they would hold
# its caller's output pipe open (ctest would wait for them for ever), so a
# trivial program starts them first, with no output inherited.
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
if [ "$bits" = 64 ]; then
    exec /usr/lib/wine/wine64 "$program" "$@"
fi
exec /usr/lib/wine/wine "$program" "$@"
