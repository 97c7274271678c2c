#!/usr/bin/env python3
"""A copy aside that fails half way on a full disk, through the Win32 layer
under Wine.

    disk_full.py --bits 32|64 --build DIR

On a 3 MiB tmpfs filled to 93 %, the rescan tool checks a set (listed by
cksfv) whose 1.5 MB file is corrupt and has an older BAD file beside it: its
copy cannot be made whole. The corrupt file and the older BAD file must stay
byte for byte, no partial copy may remain, the good file is recorded, and the
tool tells the failed step and exits 2. Mounting needs root: without it the
test is skipped (exit 77).
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts", "wine-run.sh")
SKIPPED = 77


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check(bits, build, disk):
    good_a, b = os.urandom(1500000), os.urandom(100000)
    for name, data in (("a.bin", good_a), ("b.bin", b), ("a-[BAD].bin", b"older")):
        with open(os.path.join(disk, name), "wb") as f:
            f.write(data)
    listing = subprocess.run(["cksfv", "a.bin", "b.bin"], cwd=disk, check=True, capture_output=True).stdout
    with open(os.path.join(disk, "set.sfv"), "wb") as f:
        f.write(listing)
    with open(os.path.join(disk, "a.bin"), "r+b") as f:  # corrupt, same size
        f.seek(700000)
        f.write(b"corrupt")
    free = os.statvfs(disk).f_bavail * os.statvfs(disk).f_frsize
    with open(os.path.join(disk, "filler"), "wb") as f:
        f.write(b"\0" * (free - 220 * 1024))
    before = {name: digest(os.path.join(disk, name)) for name in ("a.bin", "a-[BAD].bin", "b.bin")}

    tool = os.path.join(build, "sfvcheck-rescan.exe")
    run = subprocess.run([WINE_RUN, str(bits), tool, "--quiet", "Z:" + disk.replace("/", "\\")],
                         capture_output=True, text=True, timeout=900)
    print(run.stdout + run.stderr)
    assert run.returncode == 2, "exit status %d, not 2" % run.returncode
    assert "cannot move the corrupt file" in run.stderr and "a.bin aside: " in run.stderr, run.stderr
    assert "(error 112)" in run.stderr, "not the full disk's code (ERROR_DISK_FULL)"
    after = {name: digest(os.path.join(disk, name)) for name in before}
    assert after == before, "a file changed: %s" % [n for n in before if before[n] != after[n]]
    left = sorted(os.listdir(disk))
    assert not [n for n in left if n.endswith(".tmp")], "a partial copy is left: %s" % left
    state = open(os.path.join(disk, ".qdrl.set.sfv.state"), "rb").read()
    assert state.endswith(b"\\b.bin\r\n"), "the good file is not recorded: %r" % state


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0 or shutil.which("cksfv") is None:
        print("skipped: needs root (to mount a small file system) and cksfv")
        sys.exit(SKIPPED)
    work = tempfile.mkdtemp(prefix="sfvcheck-disk-full-")
    disk = os.path.join(work, "disk")
    os.mkdir(disk)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", disk]).returncode != 0:
        shutil.rmtree(work, ignore_errors=True)
        print("skipped: cannot mount a tmpfs here")
        sys.exit(SKIPPED)
    try:
        check(args.bits, os.path.abspath(args.build), disk)
    finally:
        subprocess.run(["umount", disk])
        shutil.rmtree(work, ignore_errors=True)
    print("disk_full: passed")


if __name__ == "__main__":
    main()
