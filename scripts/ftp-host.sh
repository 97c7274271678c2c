# shellcheck shell=bash
# Sourced by demo.sh and serve.sh (from the checkout's top folder): which
# build serves, its Wine prefix, and the FTP host under Wine.
. scripts/emulation.sh
. scripts/waiting.sh

# choose_host_build WHO: sets preset (SFVCHECK_PRESET, else the 32-bit build,
# or the 64-bit one where 32-bit code runs only emulated, where every 32-bit
# Wine program takes a minute or more to start) and host_wait, the seconds
# the host may take to listen; says so where it matters.
choose_host_build() {
    local who=$1
    host_wait=300
    if [ -n "${SFVCHECK_PRESET:-}" ]; then
        preset=$SFVCHECK_PRESET
    elif win32_is_emulated; then
        preset=win64
        echo "$who: 32-bit code runs only emulated on this machine, so the 64-bit build of the same code serves"
        echo "$who: (SFVCHECK_PRESET=win32 for the 32-bit DLL: its host takes minutes to start here)"
    else
        preset=win32
    fi
    if win32_is_emulated; then
        if [ "$preset" = win32 ]; then
            host_wait=900
            echo "$who: 32-bit Wine is emulated on this machine: the FTP host takes minutes to start"
        else
            # Nothing 32-bit runs in the prefix: a new one need not set up that side.
            export SFVCHECK_WINE_64_ONLY=1
        fi
    fi
}

# build_host_and_prefix: builds the DLL and the FTP host of $preset, and sets
# up the Wine prefix if it is new.
build_host_and_prefix() {
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target sfvcheck ftp_host
    if [ "${SFVCHECK_WINE_64_ONLY:-0}" = 1 ]; then
        scripts/wine-prefix.sh "$PWD/build/wineprefix" 64-only
    else
        scripts/wine-prefix.sh "$PWD/build/wineprefix"
    fi
}

# start_host LOG STOP_FILE ARGS...: starts the host of $preset, its output in
# LOG, stopped by STOP_FILE (a Linux path); sets host (its process id) and
# stops it on any exit of the caller. Then waits for it to listen (sets
# host_port) or fails, naming the cause.
start_host() {
    local log=$1
    host_stop_file=$2
    shift 2
    echo "starting the FTP host under Wine (build/$preset/ftp_host.exe with build/$preset/sfvcheck.dll)"
    scripts/wine-run.sh "${preset#win}" "build/$preset/ftp_host.exe" \
        --stop-file "Z:${host_stop_file//\//\\}" "$@" >"$log" 2>&1 &
    host=$!
    trap stop_host EXIT
    wait_for_host "$host" "$log" "$host_wait"
}

# Asks the host to stop (its shutdown waits for running checks) and waits
# for it; ends it when it has not stopped within a minute.
stop_host() {
    trap - EXIT
    touch "$host_stop_file"
    wait_for_exit "$host" 60 || kill "$host" 2>/dev/null || true
    wait "$host" 2>/dev/null || true
}
