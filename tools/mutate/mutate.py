#!/usr/bin/env python3
"""Plants faults in the product code one at a time and runs the test suite
on each, to show that the suite catches every one of them.

    tools/mutate/mutate.py [--work DIR] [--only N[,N...]] [--list]

The tree is copied to WORK/src (default: build-mutate) and built once in
WORK/build; then, for each fault of mutations.txt (beside this script), its
file is changed, the build updated and `ctest` run until the first failing
test. A fault is caught when a test fails; one that does not build is
reported as such. The file is restored before the next fault. Prints one
line per fault and exits 1 if any was missed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SKIP = {".git", "build", "build-asan", "build-fuzz", "build-static", "build-mingw", "build-mutate", "build-portable",
        "build-tsan"}


def mutations():
    """The (file, text, replacement, what) of every planted fault."""
    with open(os.path.join(HERE, "mutations.txt"), encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                path, text, replacement, what = line.rstrip("\n").split("\t")
                yield path, text, replacement, what


def run(cmd, cwd, log):
    """Runs `cmd`, appending its output to `log`; True on status 0."""
    with open(log, "a", encoding="utf-8") as out:
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode == 0


def firstfailure(log):
    """The name of the first test that ctest reported failed in `log`."""
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            if "***Failed" in line or "***Timeout" in line or "***Exception" in line:
                return line.split(":", 1)[1].split("...")[0].strip() if ":" in line else line.strip()
    return ""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutate"))
    parser.add_argument("--only", default="", help="comma-separated fault numbers, from 1")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    args = parser.parse_args()
    faults = list(mutations())
    if args.list:
        for i, (path, _, _, what) in enumerate(faults, 1):
            print(f"{i:3} {path}: {what}")
        return 0
    chosen = [int(n) for n in args.only.split(",") if n] or list(range(1, len(faults) + 1))

    src, build = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    shutil.rmtree(src, ignore_errors=True)
    shutil.copytree(ROOT, src, ignore=lambda d, names: [n for n in names if d == ROOT and n in SKIP])
    os.makedirs(build, exist_ok=True)
    log = os.path.join(args.work, "mutate.log")
    open(log, "w").close()
    ctest = ["ctest", "-j2", "--stop-on-failure", "--timeout", "300", "-LE", "fuzz"]
    if not (run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], src, log)
            and run(["cmake", "--build", build, "-j2"], src, log) and run(ctest, build, log)):
        print(f"mutate: the unchanged tree does not build or pass its tests; see {log}", file=sys.stderr)
        return 2

    missed = 0
    for n in chosen:
        path, text, replacement, what = faults[n - 1]
        target = os.path.join(src, path)
        with open(target, encoding="utf-8") as f:
            original = f.read()
        if original.count(text) != 1:
            print(f"{n:3} NOT APPLIED  {path}: {what} (the text occurs {original.count(text)} times)")
            missed += 1
            continue
        with open(target, "w", encoding="utf-8") as f:
            f.write(original.replace(text, replacement))
        start = time.time()
        mark = os.path.getsize(log)
        if not run(["cmake", "--build", build, "-j2"], src, log):
            verdict = "NO BUILD"
            missed += 1
        elif run(ctest, build, log):
            verdict = "MISSED"
            missed += 1
        else:
            with open(log, encoding="utf-8", errors="replace") as f:
                f.seek(mark)
                tail = os.path.join(args.work, "last.log")
                with open(tail, "w", encoding="utf-8") as t:
                    t.write(f.read())
            verdict = "caught by " + firstfailure(tail)
        print(f"{n:3} {path}: {what}: {verdict} ({time.time() - start:.0f} s)", flush=True)
        with open(target, "w", encoding="utf-8") as f:
            f.write(original)
    run(["cmake", "--build", build, "-j2"], src, log)
    print(f"{len(chosen) - missed} of {len(chosen)} faults caught")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
