#!/usr/bin/env python3
"""Runs test programs of a preset with ctest where 32-bit Wine runs under
qemu's user-mode emulator, telling the emulator's deaths from failures.

    ctest-emulated.py PRESET REGEX [--jobs N] [--retries N] [--summary FILE] [--not-run TEXT]...

A program that ends by a signal without having printed a test verdict of
its own (no "[  FAILED  ]" line) died inside the emulator: it is run again,
up to --retries times (2). Anything else that fails, a reported failure, a
non-zero exit or a time-out, fails at once. At the end it prints which
programs ran and how each ended, how many deaths were retried, and what did
not run and why; the same text goes to --summary when given.
Exit status 0 only when every program passed.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

# ctest's words for a program that a signal ended.
SIGNAL_REASONS = ("SEGFAULT", "Subprocess", "ILLEGAL", "BUS", "NUMERICAL", "INTERRUPT", "OTHER_FAULT", "Exception")
FAILED_LINE = re.compile(r"^\s*\d+ - (\S+) \((.*)\)\s*$")
TIERS_LINE = re.compile(r"^CRC tiers run:.*$", re.MULTILINE)


def run_ctest(preset, regex, jobs):
    """One ctest run: {name: (passed, reason, output)} for each program it ran."""
    with tempfile.TemporaryDirectory() as scratch:
        junit = os.path.join(scratch, "junit.xml")
        command = ["ctest", "--preset", preset, "-j", str(jobs), "-R", regex, "--output-junit", junit,
                   "--output-on-failure", "--test-output-size-passed", "1000000",
                   "--test-output-size-failed", "1000000"]
        print("== " + " ".join(command), flush=True)
        process = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                 errors="replace")
        sys.stdout.write(process.stdout)
        sys.stdout.flush()
        reasons = {}
        for line in process.stdout.splitlines():
            match = FAILED_LINE.match(line)
            if match:
                reasons[match.group(1)] = match.group(2)
        results = {}
        if os.path.exists(junit):
            for case in ElementTree.parse(junit).getroot().iter("testcase"):
                name = case.get("name")
                output = case.findtext("system-out") or ""
                passed = case.get("status") == "run"
                results[name] = (passed, reasons.get(name, "" if passed else "Failed"), output)
        return results


def died_in_emulator(reason, output):
    return reason.startswith(SIGNAL_REASONS) and "[  FAILED  ]" not in output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("preset")
    parser.add_argument("regex")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--retries", type=int, default=2)
    parser.add_argument("--summary")
    parser.add_argument("--not-run", action="append", default=[])
    args = parser.parse_args()

    outcome = {}   # name: how it ended
    deaths = []    # (name, reason) of each death retried
    tiers = None
    pending = args.regex
    for attempt in range(args.retries + 1):
        results = run_ctest(args.preset, pending, args.jobs)
        again = []
        for name, (passed, reason, output) in sorted(results.items()):
            found = TIERS_LINE.search(output)
            if found:
                tiers = found.group(0)
            earlier = sum(1 for dead, _ in deaths if dead == name)
            after = f" after {earlier} emulator death{'s' if earlier != 1 else ''}" if earlier else ""
            if passed:
                outcome[name] = "passed" + after
            elif died_in_emulator(reason, output) and attempt < args.retries:
                deaths.append((name, reason))
                again.append(name)
                outcome[name] = f"died in the emulator ({reason})"
                print(f"!! {name}: died in the emulator ({reason}, no test verdict); running it again", flush=True)
            elif died_in_emulator(reason, output):
                outcome[name] = f"FAILED: died in the emulator ({reason}) on every attempt"
            else:
                outcome[name] = f"FAILED ({reason})" + after
        if not again:
            break
        pending = "^(" + "|".join(re.escape(name) for name in again) + ")$"
    if not outcome:
        outcome["(none)"] = f"FAILED: no program matched {args.regex}"

    lines = [f"== 32-bit tests under the emulator ({args.preset} build)"]
    lines += [f"   ran: {name}: {how}" for name, how in sorted(outcome.items())]
    lines.append(f"   emulator deaths retried: {len(deaths)}" +
                 (" (" + ", ".join(f"{name}: {reason}" for name, reason in deaths) + ")" if deaths else ""))
    if tiers:
        lines.append(f"   {tiers}")
    lines += [f"   not run: {text}" for text in args.not_run]
    summary = "\n".join(lines) + "\n"
    print(summary, end="", flush=True)
    if args.summary:
        with open(args.summary, "w") as file:
            file.write(summary)
    return 0 if all(how.startswith("passed") for how in outcome.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
