# Sourced by the scripts: whether 32-bit code runs here only under qemu's
# user-mode emulator (registered by setup.sh where the kernel runs no 32-bit
# code). Exit status 0 when it does.
win32_is_emulated() {
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null
}
