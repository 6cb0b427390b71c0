#!/usr/bin/env python3
"""Mutation check of the driver's spin locks.

Each mutant deletes one WdfSpinLockAcquire of the driver together with the
releases of the same lock that end that hold (up to the next acquire of the
lock or the end of the routine), rebuilds, and runs the test command. A
mutant the tests fail on is killed; one they pass is a hold nothing
verifies.

  mutate-locks.py --list                 the mutants, numbered
  mutate-locks.py [--only N,M] [--build CMD] [--test CMD] [--timeout S]

The tree is restored after every mutant (the file is written back as it
was); run it in a worktree of its own, since it edits the driver's sources
while it runs. The default test command builds the default preset and runs
its ctest suite; --build and --test take others (run with the tree's root
as the working directory). A mutant whose build fails is reported as
"nobuild" and counted apart: a deletion the compiler refuses says nothing
about the tests.
"""
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["driver", "usb", "receive", "transmit", "control"]
ACQUIRE = re.compile(r"^\s*WdfSpinLockAcquire\((?P<lock>.+)\);\s*$")
RELEASE = re.compile(r"^\s*WdfSpinLockRelease\((?P<lock>.+)\);\s*$")
DEFAULT_BUILD = "cmake --build --preset default -j 2"
DEFAULT_TEST = "ctest --preset default -j 2 --timeout {timeout} -E 'soak|fuzz' >/dev/null 2>&1"


def routine_of(lines, index):
    """The name of the routine whose body holds line index (the nearest
    line above it that opens a definition at column 0)."""
    for i in range(index, -1, -1):
        if lines[i].startswith("{") and i > 0:
            for k in range(i - 1, -1, -1):
                m = re.match(r"^[A-Za-z_].*?(\w+)\(", lines[k])
                if m:
                    return m.group(1)
            return "?"
    return "?"


def mutants():
    found = []
    for folder in FOLDERS:
        base = os.path.join(ROOT, folder)
        for name in sorted(os.listdir(base)):
            if not name.endswith(".cpp"):
                continue
            path = os.path.join(folder, name)
            with open(os.path.join(ROOT, path)) as f:
                lines = f.read().split("\n")
            for i, line in enumerate(lines):
                m = ACQUIRE.match(line)
                if not m:
                    continue
                lock = m.group("lock")
                drop = [i]
                for j in range(i + 1, len(lines)):
                    if lines[j].startswith("}"):
                        break
                    a = ACQUIRE.match(lines[j])
                    if a and a.group("lock") == lock:
                        break
                    r = RELEASE.match(lines[j])
                    if r and r.group("lock") == lock:
                        drop.append(j)
                found.append({"file": path, "lines": drop, "lock": lock, "routine": routine_of(lines, i)})
    return found


def describe(n, m):
    where = ",".join(str(l + 1) for l in m["lines"])
    return f"{n:3d} {m['file']}:{where} {m['routine']} {m['lock']}"


def run(m, build, test, timeout):
    """'killed', 'survived' or 'nobuild', and the seconds it took."""
    full = os.path.join(ROOT, m["file"])
    with open(full) as f:
        original = f.read()
    lines = original.split("\n")
    for l in m["lines"]:
        # The lock expression stays evaluated, so a routine whose only use of
        # a parameter was the lock still builds under -Werror.
        indent = lines[l][: len(lines[l]) - len(lines[l].lstrip())]
        lines[l] = f"{indent}(void)({m['lock']}); /* mutant: lock call removed */"
    try:
        with open(full, "w") as f:
            f.write("\n".join(lines))
        started = time.time()
        built = subprocess.run(build + " >/dev/null 2>&1", shell=True, cwd=ROOT).returncode
        if built != 0:
            return "nobuild", time.time() - started
        try:
            rc = subprocess.run(test, shell=True, cwd=ROOT, timeout=timeout * 4).returncode
        except subprocess.TimeoutExpired:
            rc = 124
        return ("killed" if rc != 0 else "survived"), time.time() - started
    finally:
        with open(full, "w") as f:
            f.write(original)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--only", default="")
    ap.add_argument("--build", default=DEFAULT_BUILD)
    ap.add_argument("--test", default=None)
    ap.add_argument("--timeout", type=int, default=300)
    args = ap.parse_args()
    all_mutants = mutants()
    if args.list:
        for n, m in enumerate(all_mutants, 1):
            print(describe(n, m))
        return 0
    chosen = range(1, len(all_mutants) + 1)
    if args.only:
        chosen = [int(x) for x in args.only.split(",")]
    test = args.test or DEFAULT_TEST.format(timeout=args.timeout)
    counts = {"killed": 0, "survived": 0, "nobuild": 0}
    labels = {"killed": "killed  ", "survived": "SURVIVED", "nobuild": "nobuild "}
    for n in chosen:
        m = all_mutants[n - 1]
        outcome, seconds = run(m, args.build, test, args.timeout)
        counts[outcome] += 1
        print(f"{labels[outcome]} {describe(n, m)} ({seconds:.0f} s)", flush=True)
    # The last build is of a mutant: rebuild the tree as it is.
    subprocess.run(args.build + " >/dev/null 2>&1", shell=True, cwd=ROOT)
    print(f"mutants: {sum(counts.values())}, killed {counts['killed']}, survived {counts['survived']}, "
          f"nobuild {counts['nobuild']}")
    return 0 if counts["survived"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
