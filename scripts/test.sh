#!/usr/bin/env bash
# Builds and runs every test:
#   native  the platform-free core, host compiler, ASan and UBSan, then a
#           20-second smoke run of each fuzz target (scripts/fuzz.sh);
#   win64   the same code as 64-bit Windows programs, every Windows test,
#           under a 64-bit Wine (windows on a virtual X display);
#   win32   the shipping 32-bit DLL and its tests under 32-bit Wine. Where the
#           kernel cannot run 32-bit code, Wine runs under qemu's user-mode
#           emulator: a minute per program start, and programs that start
#           threads can crash in the emulator itself. There only the core
#           tests that start no threads and the SITE tests through the DLL run
#           (each program tried up to three times); every Windows test still
#           runs in win64. SFVCHECK_WIN32_ALL=1 runs all of them anyway.
#           Then the release archive is built and checked.
# Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

jobs=$(nproc)
status=0
step() { echo "== $*"; "$@" || { echo "!! failed: $*"; status=1; return 1; }; }

run_windows_preset() {
    local preset=$1; shift
    step cmake --preset "$preset" -DSFVCHECK_TEST_SECONDS_SCALE="${time_scale:-1}" >/dev/null || return
    step cmake --build --preset "$preset" -j "$jobs" || return
    local prefix="$PWD/build/wineprefix"
    scripts/wine-prefix.sh "$prefix"
    # One wine server for the whole run saves its start-up per test program.
    WINEPREFIX="$prefix" wineserver -p 60 || true
    step xvfb-run -a ctest --preset "$preset" -j "$jobs" "$@"
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}

if step cmake --preset native >/dev/null; then
    step cmake --build --preset native -j "$jobs" && step ctest --preset native -j "$jobs"
fi
step bash scripts/fuzz.sh "${SFVCHECK_FUZZ_SECONDS:-20}"

run_windows_preset win64

. scripts/emulation.sh
if ! win32_is_emulated || [ "${SFVCHECK_WIN32_ALL:-0}" = 1 ]; then
    run_windows_preset win32
else
    # Each emulated Wine program starts in about a minute: limits five times over.
    time_scale=5 GTEST_FILTER='-*Thread*:*Concurrent*' run_windows_preset win32 --repeat until-pass:3 \
        -R '^(core_tests|win_dll_site_test)$'
fi

# The release archive from the win32 build: its files and the version that
# both programs carry.
step cmake --build --preset win32 --target package && step python3 scripts/check-package.py build/win32

exit $status
