#!/usr/bin/env bash
# Builds and runs every test:
#   native  the platform-free core, host compiler, ASan and UBSan, then a
#           20-second smoke run of each fuzz target (scripts/fuzz.sh);
#   win64   the same code as 64-bit Windows programs, every Windows test,
#           under a 64-bit Wine (windows on a virtual X display);
#   win32   the shipping 32-bit DLL and its tests under 32-bit Wine. Where the
#           kernel cannot run 32-bit code, Wine runs under qemu's user-mode
#           emulator: a minute per program start, and programs that start
#           threads can die in the emulator itself. There three programs run:
#           the core tests and the SITE tests without the cases that start
#           threads, and the smoke test of the DLL checking sets; a program
#           that dies by a signal before printing a verdict of its own is run
#           again, up to twice (scripts/ctest-emulated.py), and a summary says
#           what ran. Every Windows test still runs in win64.
#           SFVCHECK_WIN32_ALL=1 runs all of them anyway.
#           Then the release archive is built and checked.
# Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

jobs=$(nproc)
status=0
step() { echo "== $*"; "$@" || { echo "!! failed: $*"; status=1; return 1; }; }

# Builds a Windows preset and runs its tests with the given command
# (default: ctest over every test).
run_windows_preset() {
    local preset=$1; shift
    step cmake --preset "$preset" -DSFVCHECK_TEST_SECONDS_SCALE="${time_scale:-1}" >/dev/null || return
    step cmake --build --preset "$preset" -j "$jobs" || return
    local prefix="$PWD/build/wineprefix"
    scripts/wine-prefix.sh "$prefix"
    # One wine server for the whole run saves its start-up per test program.
    WINEPREFIX="$prefix" wineserver -p 60 || true
    if [ $# -eq 0 ]; then set -- ctest --preset "$preset" -j "$jobs"; fi
    step xvfb-run -a "$@"
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}

if step cmake --preset native >/dev/null; then
    step cmake --build --preset native -j "$jobs" && step ctest --preset native -j "$jobs"
fi
step bash scripts/fuzz.sh "${SFVCHECK_FUZZ_SECONDS:-20}"

run_windows_preset win64

. scripts/emulation.sh
emulated_summary=
if ! win32_is_emulated || [ "${SFVCHECK_WIN32_ALL:-0}" = 1 ]; then
    run_windows_preset win32
else
    # Each emulated Wine program starts in about a minute: limits five times over.
    emulated_summary=build/win32/emulated-summary.txt
    rm -f "$emulated_summary"
    time_scale=5 GTEST_FILTER='-*Thread*:*Concurrent*' run_windows_preset win32 \
        python3 scripts/ctest-emulated.py win32 '^(core_tests|win_dll_site_test|win_dll_smoke_test)$' \
        --jobs "$jobs" --summary "$emulated_summary" \
        --not-run "every other win32 test program: 32-bit Wine is emulated here (each runs in win64; SFVCHECK_WIN32_ALL=1 runs them)" \
        --not-run "core and SITE test cases named *Thread* or *Concurrent*: threads die in the emulator"
fi

# The release archive from the win32 build: its files and the version that
# both programs carry.
step cmake --build --preset win32 --target package && step python3 scripts/check-package.py build/win32

[ -n "$emulated_summary" ] && cat "$emulated_summary" 2>/dev/null
exit $status
