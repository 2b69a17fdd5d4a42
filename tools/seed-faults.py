#!/usr/bin/env python3
"""Seeds one-line faults into the program, one at a time, and runs the normal
test stage against each: a fault the suite misses is a rule no test holds.

    tools/seed-faults.py [CATALOGUE] [--only NAME ...] [-R CTEST_REGEX]

The catalogue (default tools/seeded-faults.ini) has one section per fault:
`file`, `find` (text that occurs exactly once in the file), `replace` and
`why`. The run works in a scratch worktree of HEAD (uncommitted changes
left out), so the checkout is never touched; it prints one line per fault
and the score, and exits 1 when a fault was missed or could not be seeded."""
import argparse
import configparser
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(command, cwd, log=None):
    out = open(log, "w") if log else subprocess.DEVNULL
    try:
        return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode
    finally:
        if log:
            out.close()


def failed_tests(log):
    """The names in ctest's closing list "The following tests FAILED"."""
    with open(log, errors="replace") as text:
        return re.findall(r"^\s+\d+ - (\S+) \(", text.read().partition("tests FAILED:")[2], re.M)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("catalogue", nargs="?", default=os.path.join(ROOT, "tools",
                                                                     "seeded-faults.ini"))
    parser.add_argument("--only", nargs="*", default=[])
    parser.add_argument("-R", dest="regex", default="", help="ctest -R: only these tests")
    args = parser.parse_args()

    catalogue = configparser.ConfigParser(interpolation=None)
    catalogue.optionxform = str
    catalogue.read(args.catalogue)
    faults = [name for name in catalogue.sections() if not args.only or name in args.only]

    scratch = tempfile.mkdtemp(prefix="seeded-faults-")
    tree = os.path.join(scratch, "tree")
    subprocess.run(["git", "worktree", "add", "-q", "--detach", tree, "HEAD"], cwd=ROOT, check=True)
    try:
        for setup in ("tools/build-deps.sh", "tools/install-node-deps.sh"):
            subprocess.run([setup], cwd=tree, check=True, stdout=subprocess.DEVNULL)
        print(f"[faults] building the normal tree in {tree}", file=sys.stderr)
        if run(["tools/build.sh", "normal"], tree, os.path.join(scratch, "build.log")):
            sys.exit(f"the unseeded tree does not build: {scratch}/build.log")
        ctest = ["ctest", "--test-dir", "build/normal", "-j2", "--output-on-failure"]
        if args.regex:
            ctest += ["-R", args.regex]
        if run(ctest, tree, os.path.join(scratch, "clean.log")):
            sys.exit(f"the unseeded tree fails its tests: {scratch}/clean.log")

        caught = 0
        for name in faults:
            fault = catalogue[name]
            path = os.path.join(tree, fault["file"])
            with open(path) as source:
                original = source.read()
            find = fault["find"].replace("\\n", "\n")
            replace = fault["replace"].replace("\\n", "\n")
            if original.count(find) != 1:
                print(f"stale    {name}: the text to replace is not in {fault['file']} once")
                continue
            with open(path, "w") as source:
                source.write(original.replace(find, replace))
            start = time.monotonic()
            log = os.path.join(scratch, f"{name}.log")
            if run(["ninja", "-C", "build/normal"], tree, log):
                verdict, detail = "no-build", f"see {log}"
            elif run(ctest, tree, log):
                verdict, detail = "caught", ", ".join(failed_tests(log))
                caught += 1
            else:
                verdict, detail = "MISSED", fault.get("why", "")
            with open(path, "w") as source:
                source.write(original)
            print(f"{verdict:8} {name} ({time.monotonic() - start:.0f} s): {detail}", flush=True)
        run(["ninja", "-C", "build/normal"], tree)
        print(f"caught {caught} of {len(faults)} seeded faults")
        sys.exit(0 if caught == len(faults) else 1)
    finally:
        subprocess.run(["git", "worktree", "remove", "--force", tree], cwd=ROOT)


if __name__ == "__main__":
    main()
