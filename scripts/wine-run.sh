#!/usr/bin/env bash
# Runs a Windows program under Wine with the build's private prefix:
#   wine-run.sh 32|64 PROGRAM [ARGS...]
# The prefix is a 64-bit one, which runs 32-bit programs too, shared by the
# presets: build/wineprefix beside the program's build folder (the folder
# holding CMakeCache.txt), else build/wineprefix of the checkout. The first
# run creates it, without any prompt, saying so on stderr.
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
# SFVCHECK_WINE_64_ONLY=1: the caller runs nothing 32-bit in this prefix, so a
# new one need not set up its 32-bit side (see wine-prefix.sh).
if [ "$bits" = 64 ] && [ "${SFVCHECK_WINE_64_ONLY:-0}" = 1 ]; then
    "$here/wine-prefix.sh" "$WINEPREFIX" 64-only
else
    "$here/wine-prefix.sh" "$WINEPREFIX"
fi
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
