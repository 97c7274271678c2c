#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang, ASan and UBSan) and runs each
# for SECONDS seconds, one after another:
#   fuzz.sh SECONDS
# Each run starts from fuzz/corpus/<target> (left unchanged) and keeps what it
# learns in build/fuzz/corpus/<target>. A crash, a sanitizer report, a failed
# check, a time-out or a leak is a finding: its input is saved under
# build/fuzz/findings/<target>/ and the script exits non-zero.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz.sh SECONDS}
build=build/fuzz
CXX=clang++ cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" -j 2 || exit 1

status=0
read -r -a targets < <(tr ';' ' ' < "$build/fuzz_targets.txt")
for target in "${targets[@]}"; do
    work="$build/corpus/$target"
    findings="$build/findings/$target"
    mkdir -p "$work" "$findings"
    log="$build/$target.log"
    echo "== fuzz_$target for ${seconds}s"
    "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1
    result=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "   exit $result, ${execs:-?} executions, ${coverage:-cov: ?}, corpus $(ls "$work" | wc -l) inputs"
    if [ $result -ne 0 ]; then
        status=1
        echo "!! finding in fuzz_$target (log: $log):"
        grep -E 'ERROR|check failed|runtime error|Test unit written' "$log" | head -10
    fi
done
exit $status
