#!/usr/bin/env python3
"""Checks a release archive: check-package.py BUILD_DIR

The archive named after the project's version (from BUILD_DIR's CMake cache)
must hold exactly the DLL, the rescan tool, the README and the sample .reg
files, and both programs' version resources must show that version.
Exits non-zero on any fault, naming it."""
import re
import struct
import sys
import zipfile
from pathlib import Path

EXPECTED = {"sfvcheck.dll", "sfvcheck-rescan.exe", "README.txt", "meter-off.reg", "remove-settings.reg",
            "log-on.reg"}
FIXED_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def project_version(build):
    cache = (build / "CMakeCache.txt").read_text(errors="replace")
    match = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(\S+)$", cache, re.M)
    if not match:
        sys.exit(f"no project version in {build}/CMakeCache.txt")
    return match.group(1)


def version_faults(name, image, version):
    """What is wrong with a program's version resource, if anything."""
    faults = []
    numbers = [int(part) for part in version.split(".")] + [0, 0, 0]
    at = image.find(FIXED_INFO_SIGNATURE)
    if at < 0:
        return [f"{name}: no version resource"]
    file_ms, file_ls = struct.unpack_from("<II", image, at + 8)
    found = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
    if found != tuple(numbers[:4]):
        faults.append(f"{name}: file version {'.'.join(map(str, found))}, expected {version}")
    for key in ("FileVersion", "ProductVersion"):
        key_at = image.find((key + "\0").encode("utf-16-le"))
        if key_at < 0:
            faults.append(f"{name}: no {key} text")
            continue
        value_at = key_at + len(key + "\0") * 2
        while image[value_at:value_at + 2] == b"\0\0":  # padding to a 32-bit boundary
            value_at += 2
        end = value_at
        while image[end:end + 2] != b"\0\0":
            end += 2
        text = image[value_at:end].decode("utf-16-le")
        if text != version:
            faults.append(f"{name}: {key} text {text!r}, expected {version!r}")
    return faults


def main():
    build = Path(sys.argv[1])
    version = project_version(build)
    platform = "win32" if "i686" in (build / "CMakeCache.txt").read_text(errors="replace") else "win64"
    archive = build / f"sfvcheck-{version}-{platform}.zip"
    if not archive.is_file():
        sys.exit(f"no archive {archive}")
    faults = []
    with zipfile.ZipFile(archive) as bundle:
        top = f"sfvcheck-{version}-{platform}/"
        names = {name[len(top):] for name in bundle.namelist() if name.startswith(top) and not name.endswith("/")}
        strays = [name for name in bundle.namelist() if not name.startswith(top)]
        if names != EXPECTED or strays:
            faults.append(f"{archive.name} holds {sorted(names)} {strays}, expected {sorted(EXPECTED)} under {top}")
        for program in ("sfvcheck.dll", "sfvcheck-rescan.exe"):
            if program in names:
                image = bundle.read(top + program)
                faults += version_faults(program, image, version)
                machine = struct.unpack_from("<H", image, struct.unpack_from("<I", image, 0x3C)[0] + 4)[0]
                if platform == "win32" and machine != 0x14C:
                    faults.append(f"{program}: not a 32-bit program (machine {machine:#x})")
        if "README.txt" in names and version not in bundle.read(top + "README.txt").decode("latin-1"):
            faults.append("README.txt does not name the version")
    for fault in faults:
        print(f"check-package: {fault}", file=sys.stderr)
    if not faults:
        print(f"check-package: {archive.name}: {len(names)} files, version {version} in both programs")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
