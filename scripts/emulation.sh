# shellcheck shell=bash
# Sourced by the scripts (and asked by the load benchmark) to learn how this
# machine runs 32-bit programs, such as 32-bit Wine:
#   . scripts/emulation.sh; win32_is_emulated && echo "emulated"
#
# win32_is_emulated succeeds when 32-bit programs run here only under qemu's
# user-mode emulator (about a minute per Wine program start, and programs
# that start threads can die inside it): when a qemu-i386 binfmt entry is
# enabled, 32-bit programs are handed to qemu whatever the kernel could do;
# otherwise when the kernel cannot run 32-bit code itself (then setup.sh
# registers qemu). Whether /lib/ld-linux.so.2 starts tells nothing once qemu
# is registered, so the kernel is asked with a program of its own.

win32_is_emulated() {
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null && return 0
    ! win32_runs_natively
}

# Whether the kernel itself runs a 32-bit program. Meaningful only while no
# emulator is registered for them.
win32_runs_natively() {
    grep -qw 'ia32_emulation=\(off\|0\|false\|n\)' /proc/cmdline 2>/dev/null && return 1
    # A static 32-bit x86 program of 96 bytes that exits with status 42; it
    # needs no 32-bit library, so it answers before anything is installed.
    local probe status
    probe=$(mktemp "${TMPDIR:-/tmp}/sfvcheck-ia32.XXXXXX") || return 1
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\010\064\0\0\0\0\0\0\0\0\0\0\0\064\0\040\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\010\0\200\4\010\140\0\0\0\140\0\0\0\5\0\0\0\0\020\0\0\270\1\0\0\0\273\052\0\0\0\315\200' >"$probe"
    chmod +x "$probe"
    # In a subshell of its own, so that a crash is not reported on the console.
    status=0
    ("$probe"; exit $?) >/dev/null 2>&1 || status=$?
    rm -f "$probe"
    [ "$status" = 42 ] && return 0
    # Where the temporary folder forbids running programs, 32-bit glibc's
    # loader answers instead (present once setup.sh has installed Wine).
    [ "$status" = 126 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1 && return 0
    return 1
}
