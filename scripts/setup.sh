#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root).
# Quick when everything is already there: it only checks and returns.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd cmake || need+=(cmake)
have_cmd g++ || need+=(g++)
have_cmd ninja || need+=(ninja-build)
have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686-posix)
have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have_pkg wine || need+=(wine)
have_pkg wine32:i386 || need+=(wine32:i386)
have_pkg wine64 || need+=(wine64)
# Wine's own fonts: its MS Sans Serif (the dialogs' font, with the original's
# metrics) and Marlett (the caption buttons' glyphs).
have_pkg fonts-wine || need+=(fonts-wine)
have_cmd qemu-i386-static || need+=(qemu-user-static)
have_cmd xvfb-run || need+=(xvfb xauth)
have_pkg googletest || need+=(googletest)
have_cmd clang || need+=(clang)
have_pkg libclang-rt-14-dev || need+=(libclang-rt-14-dev)
have_pkg imagemagick || need+=(imagemagick)
have_cmd xwd || need+=(x11-apps)
# Real FTP clients and SFV tools for the FTP scenarios and the demo.
have_cmd curl || need+=(curl)
have_cmd lftp || need+=(lftp)
have_cmd cksfv || need+=(cksfv)
have_cmd rhash || need+=(rhash)
have_cmd python3 || need+=(python3)

if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing ${need[*]}; run this script as root" >&2
        exit 1
    fi
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Some kernels boot with 32-bit emulation switched off (ia32_emulation=off), so
# no 32-bit program, 32-bit Wine included, can start. Then 32-bit programs run
# through qemu's user-mode emulator, registered as their interpreter: correct,
# but each Wine process takes about a minute to start.
. "$(dirname "$0")/emulation.sh"
if win32_is_emulated; then
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ -e "$binfmt/qemu-i386" ]; then
        grep -qx enabled "$binfmt/qemu-i386" || echo 1 > "$binfmt/qemu-i386"
    else
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > "$binfmt/register"
    fi
fi
