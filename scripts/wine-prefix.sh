#!/usr/bin/env bash
# Creates the private Wine prefix given as $1 once, saying so, without asking
# to install Mono or Gecko, and with X windows unmanaged so that hiding a
# window does not wait for a window manager that Xvfb lacks:
#   wine-prefix.sh PREFIX [64-only]
# A new 64-bit prefix also sets up its 32-bit side, with a 32-bit program:
# seconds where 32-bit code runs natively, minutes where it is emulated.
# "64-only" (for callers that run nothing 32-bit) skips that side where 32-bit
# code is emulated; such a prefix is made again, whole, the first time a
# caller asks for it without "64-only".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/emulation.sh"
. "$here/waiting.sh"
prefix=$1
want=${2:-whole}
ready() {
    [ -f "$prefix/.sfvcheck-ready" ] && { [ "$want" = 64-only ] || [ ! -f "$prefix/.sfvcheck-64-only" ]; }
}
ready && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
ready && exit 0
export WINEPREFIX="$prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

skip32=0
if win32_is_emulated; then
    if [ "$want" = 64-only ]; then
        skip32=1
        estimate="about 15 seconds here (its 32-bit side, emulated here, is left out: nothing 32-bit runs in it)"
    else
        estimate="about 4 minutes here, where 32-bit code is emulated"
    fi
else
    estimate="about half a minute here"
fi
if [ -f "$prefix/.sfvcheck-64-only" ]; then
    echo "wine-prefix: $prefix has no 32-bit side; making it again, whole" >&2
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
fi
echo "setting up the Wine prefix (first run only): $estimate; $prefix" >&2

boot() {
    if [ "$skip32" = 1 ]; then
        # Wine has no setting for this: wineboot skips the 32-bit side when
        # it cannot start the 32-bit loader, so the loader is hidden from it
        # in a mount namespace of its own. Where that is not allowed, the
        # prefix is set up whole.
        local as_root=()
        [ "$(id -u)" = 0 ] || as_root=(-r)
        if unshare "${as_root[@]}" -m sh -c 'mount --bind /dev/null /usr/lib/wine/wine || exit 1
                /usr/lib/wine/wine64 wineboot -i; wineserver -w' >/dev/null 2>&1; then
            touch "$prefix/.sfvcheck-64-only"
            return 0
        fi
        echo "wine-prefix: cannot leave out the 32-bit side here; setting the prefix up whole" >&2
        rm -rf "$prefix"
    fi
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
    wineserver -w
}
run_with_progress "setting up the Wine prefix" boot >&2
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.sfvcheck-ready"
echo "the Wine prefix is ready" >&2
