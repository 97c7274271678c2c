#!/usr/bin/env python3
"""The plug-in under a server's load: releases uploaded at once by real FTP
clients through the FTP host, once with a plug-in that does nothing and once
with sfvcheck.dll.

    load_bench.py --bits 32|64 --build DIR [--releases K] [--files N] [--kib S] [--parallel P]

K releases of N random files of S KiB, each listed by cksfv, are uploaded by
K lftp clients at once (`mirror -R --parallel=P`, so K x P connections) to a
fresh root. Printed per plug-in: the upload time (the first client started to
the last one ended), its ratio to the do-nothing run, the time from the last
upload to every set's meter at 100 %, the host's peak thread count and peak
address space in use (the host reports them at stop), and whether every set
ended complete (no marker, the 100 % meter) with every file byte for byte.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "e2e"))
from ftp_scenarios import Host, default_settings, finished_set, make_release, meter_name  # noqa: E402


def win32_is_emulated():
    """The scripts' own answer (scripts/emulation.sh), so that they agree."""
    script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "emulation.sh")
    return subprocess.run(["bash", "-c", '. "$0"; win32_is_emulated', script]).returncode == 0


def lftp_mirror(port, local, remote, parallel):
    script = ("set cmd:fail-exit yes; set net:max-retries 2; set net:timeout 60; set ftp:passive-mode on; "
              "set ftp:prefer-epsv yes; open -u user,user 127.0.0.1:%d; mirror -R --parallel=%d %s %s"
              % (port, parallel, local, remote))
    return subprocess.Popen(["lftp", "-c", script], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def all_complete(root, releases):
    full = meter_name(100)
    for name in releases:
        try:
            if full not in os.listdir(os.path.join(root, name)):
                return False
        except FileNotFoundError:
            return False
    return True


def run_once(label, args, dll, releases, work):
    """One upload of every release through a fresh host; returns its figures.
    The do-nothing run is the one with null_plugin.dll."""
    checking = label != "do-nothing"
    root = os.path.join(work, label)
    os.makedirs(root)
    host = Host(args.bits, args.build, root, dll=dll, stop_after=3600).start()
    figures = {"label": label}
    try:
        start = time.time()
        clients = [lftp_mirror(host.port, os.path.join(work, "src", name), name, args.parallel)
                   for name in releases]
        for client in clients:
            _, errors = client.communicate(timeout=3000)
            if client.returncode != 0:
                raise AssertionError("lftp failed (%d): %s" % (client.returncode, errors[-2000:]))
        ended = time.time()
        figures["upload"] = ended - start
        figures["to_full"] = None
        if checking:
            deadline = ended + 600
            while not all_complete(root, releases) and time.time() < deadline:
                time.sleep(0.05)
            if all_complete(root, releases):
                figures["to_full"] = time.time() - ended
        log = host.stop(seconds=900)
    finally:
        host.kill()
    match = re.search(r"peak threads (\d+), peak address space in use ([\d.]+) MiB", log)
    figures["threads"], figures["mib"] = (int(match.group(1)), float(match.group(2))) if match else (0, 0.0)
    figures["connections"] = peak_open_connections(log)

    # Every file byte for byte; with the real plug-in, every set complete.
    complete = 0
    for name, names in releases.items():
        local, remote = os.path.join(work, "src", name), os.path.join(root, name)
        same = all(open(os.path.join(local, n), "rb").read() == open(os.path.join(remote, n), "rb").read()
                   for n in names + [name.lower() + ".sfv"])
        if same and (not checking or finished_set(names, os.listdir(remote), meter_name(100))):
            complete += 1
    figures["complete"] = complete
    shutil.rmtree(root, ignore_errors=True)
    return figures


def peak_open_connections(log):
    """The most control connections open at once, from the host's log: each
    has a thread of its own, so the host's peak threads less this (and its
    main thread) is what the plug-in adds."""
    open_now = peak = 0
    for line in log.splitlines():
        if re.match(r"\[\d+\] connection opened", line):
            open_now += 1
            peak = max(peak, open_now)
        elif re.match(r"\[\d+\] (connection closed|session ended)", line):
            open_now -= 1
    return peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--releases", type=int, default=16)
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--kib", type=int, default=256)
    parser.add_argument("--parallel", type=int, default=4)
    parser.add_argument("--dll", help="the plug-in to measure (default: sfvcheck.dll beside the host)")
    args = parser.parse_args()

    if args.bits == 32 and win32_is_emulated():
        print("load: 32-bit code runs only emulated here: these are the emulator's figures, and a 32-bit "
              "host that starts threads can die inside it", flush=True)
    work = tempfile.mkdtemp(prefix="sfvcheck-load.")
    try:
        releases = {}
        for k in range(args.releases):
            name = "Load.Release.%02d" % k
            releases[name] = make_release(os.path.join(work, "src", name), name.lower(), args.files,
                                          args.kib * 1024, "cksfv")
            os.remove(os.path.join(work, "src", name, name.lower() + ".nfo"))
        default_settings(args.bits)
        print("load: %d releases x %d files x %d KiB, %d clients x %d connections, %d-bit build; "
              "load average %s" % (args.releases, args.files, args.kib, args.releases, args.parallel, args.bits,
                                   " ".join(open("/proc/loadavg").read().split()[:3])), flush=True)
        none = run_once("do-nothing", args, os.path.join(args.build, "null_plugin.dll"), releases, work)
        real = run_once("sfvcheck", args, args.dll, releases, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("%-11s %9s %7s %22s %13s %17s %19s %10s" % ("plug-in", "upload s", "ratio", "last upload->100% s",
                                                       "peak threads", "peak connections", "peak address MiB",
                                                       "complete"))
    for row in (none, real):
        to_full = "-" if row["label"] == "do-nothing" else (
            "never" if row["to_full"] is None else "%.2f" % row["to_full"])
        print("%-11s %9.2f %7.2f %22s %13d %17d %19.1f %7d/%d" % (
            row["label"], row["upload"], row["upload"] / none["upload"], to_full, row["threads"],
            row["connections"], row["mib"], row["complete"], args.releases))
    print("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    ok = real["complete"] == args.releases and none["complete"] == args.releases
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
