#!/usr/bin/env bash
# The main job: builds the plug-in (build/win32/sfvcheck.dll) and the test
# host, then replays the upload of a sample set through the DLL under Wine:
# good files, one corrupt file, one never uploaded. The upload folder is
# printed after every step.
#   SFVCHECK_PRESET=win64  uses the 64-bit build instead (starts in a second
#                          where 32-bit Wine has to be emulated).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
preset=${SFVCHECK_PRESET:-win32}
bits=${preset#win}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target sfvcheck test_host
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ "$bits" = 32 ]; then
    echo "(32-bit Wine is emulated on this machine: the demo takes a few minutes)"
fi
demo=$(mktemp -d /tmp/sfvcheck-demo.XXXXXX)
scripts/wine-run.sh "$bits" "build/$preset/test_host.exe" demo "Z:${demo//\//\\}"
