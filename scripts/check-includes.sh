#!/usr/bin/env bash
# Includes point only downward: core/ includes nothing but core/ and the
# standard library (no Windows header), win32/ nothing from plugin/, the
# shipping code nothing from tools/, bench/ or tests/, and tools/, bench/ and
# fuzz/ nothing from tests/.
# Prints each offending line and exits non-zero when there is one.
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
report() {
    # $1: description, stdin: grep -n output
    local hits
    hits=$(cat)
    if [ -n "$hits" ]; then
        echo "include rule: $1:" >&2
        echo "$hits" >&2
        status=1
    fi
}

core_files=$(find core -name '*.h' -o -name '*.cpp' -o -name '*.inc' | sort)
win32_files=$(find win32 -name '*.h' -o -name '*.cpp' | sort)
plugin_files=$(find plugin -name '*.h' -o -name '*.cpp' | sort)
tool_files=$(find tools bench fuzz -name '*.h' -o -name '*.cpp' | sort)

# (report reads its hits from a process substitution, so that it runs in
# this shell and its status sticks.)
# shellcheck disable=SC2086
report 'core/ includes a header from outside core/' < <(
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' $core_files /dev/null |
        grep -vE '#[[:space:]]*include[[:space:]]*"core/')
# shellcheck disable=SC2086
report 'core/ includes a Windows header' < <(
    grep -niE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]*/)?(windows|winbase|winreg|winuser|winnt|windef)\.h' $core_files /dev/null)
# shellcheck disable=SC2086
report 'win32/ includes a header from plugin/' < <(
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"plugin/' $win32_files /dev/null)

# shellcheck disable=SC2086
report 'win32/ or plugin/ includes a header from tools/, bench/ or tests/' < <(
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"(tools|bench|tests)/' $win32_files $plugin_files /dev/null)
# shellcheck disable=SC2086
report 'tools/, bench/ or fuzz/ includes a header from tests/' < <(
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"tests/' $tool_files /dev/null)

[ $status -eq 0 ] && echo "include rule: every folder includes only downward"
exit $status
