#!/usr/bin/env bash
# Builds the benchmark and runs it under Wine, printing its figures:
#   bash scripts/bench.sh [file MiB, default 1024]
#   bash scripts/bench.sh set [abc] [N ...]     whole sets through the DLL
#   bash scripts/bench.sh load [--releases K] [--files N] [--kib S] [--parallel P]
#                                               uploads by lftp through the FTP host
# The 64-bit build runs under 64-bit Wine. SFVCHECK_BENCH_WIN32=1 also runs
# the 32-bit build (the one that ships); where 32-bit code runs only emulated
# (scripts/emulation.sh), its speeds mean nothing (the code is the same).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
. scripts/emulation.sh

if [ "${1:-}" = load ]; then
    # The shipping 32-bit build, or the 64-bit one where 32-bit code is
    # emulated; SFVCHECK_PRESET=win32|win64 chooses.
    shift
    if [ -n "${SFVCHECK_PRESET:-}" ]; then
        preset=$SFVCHECK_PRESET
    elif win32_is_emulated; then
        preset=win64
        echo "load: 32-bit code runs only emulated here: the 64-bit build (SFVCHECK_PRESET=win32 for the other)"
    else
        preset=win32
    fi
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target ftp_host sfvcheck null_plugin
    exec python3 bench/load_bench.py --bits "${preset#win}" --build "build/$preset" "$@"
fi

if [ "${1:-}" = set ]; then
    args=("$@")
else
    args=(all "${1:-1024}")
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores; $(lscpu | sed -n 's/^Model name: *//p')"

# The benchmark target depends on the DLL, which the set mode loads.
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$(nproc)" --target sfvcheck_bench
scripts/wine-run.sh 64 build/win64/sfvcheck_bench.exe "${args[@]}"

if [ "${SFVCHECK_BENCH_WIN32:-0}" = 1 ]; then
    if win32_is_emulated; then
        echo "(32-bit code runs only emulated here: the 32-bit figures below are the emulator's)"
    fi
    cmake --preset win32 >/dev/null
    cmake --build --preset win32 -j "$(nproc)" --target sfvcheck_bench
    scripts/wine-run.sh 32 build/win32/sfvcheck_bench.exe "${args[@]}"
fi
