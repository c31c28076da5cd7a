#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Puts small bugs into the component one at a time and runs the tests that should catch
each: a measure of what the tests pin, to run before an issue is resolved (not in CI).

    bench/mutants.py [--list bench/mutants.txt] [--scratch build-mutants] [--only ID,...]
                     [--jobs 2] [--timeout 300] [--no-baseline]

The tree as it is now (tracked files, with uncommitted edits) is copied to
SCRATCH/src and built in SCRATCH/build, once in full and then incrementally: only the
files that changed since the last run are copied again, so a second run starts fast.
Each mutation is applied there, built, and its tests run with ctest -R; then the file is
put back. The end-to-end tests need root, as under ctest; a mutant whose tests were all
skipped counts as not run.

The list holds blocks of "key: value" lines, a blank line between blocks, "#" comments:

    id: pacer-lets-16-through
    file: zeroConfig/src/pacing.cpp
    find: constexpr int ConflictBurst = 15;
    replace: constexpr int ConflictBurst = 16;
    tests: ^component\\.pacing$

id names the mutant in the table; find is text that must occur exactly once in the file
("\\n" in find and replace stands for a line break); tests is the ctest regex that should
catch it.

A mutant is caught when a test fails, survives when they pass, and is stillborn when it
does not build (left out of the score). Prints a markdown table and the score; exits 1
when the unmutated tree fails the listed tests.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEYS = ("id", "file", "find", "replace", "tests")


def read_list(path):
    mutants, block = [], {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines() + [""]
    for number, line in enumerate(lines, 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if block:
                missing = [k for k in KEYS if k not in block]
                if missing:
                    sys.exit("%s: the block ending at line %d lacks %s" % (path, number, ", ".join(missing)))
                mutants.append(block)
                block = {}
            continue
        key, sep, value = line.partition(":")
        if not sep or key.strip() not in KEYS:
            sys.exit("%s:%d: expected one of %s, then \":\"" % (path, number, ", ".join(KEYS)))
        value = value.strip()
        if key.strip() in ("find", "replace"):
            value = value.replace("\\n", "\n")
        block[key.strip()] = value
    return mutants


def run(cmd, cwd, timeout=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True, timeout=timeout)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        return -1, (e.stdout or b"").decode(errors="replace") + "\n(timed out)"


def sync_tree(src):
    """Copies the tracked files that differ, keeping the mtimes of the others."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           stdout=subprocess.PIPE).stdout.decode().split("\0")
    copied = 0
    for name in filter(None, files):
        origin, copy = os.path.join(ROOT, name), os.path.join(src, name)
        if not os.path.isfile(origin):
            continue  # deleted in the working tree
        if os.path.isfile(copy):
            with open(origin, "rb") as a, open(copy, "rb") as b:
                if a.read() == b.read():
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        shutil.copy2(origin, copy)
        copied += 1
    return copied


def build(build_dir, jobs):
    return run(["cmake", "--build", build_dir, "-j%d" % jobs], build_dir)


def ctest(build_dir, regex, timeout):
    """'pass', 'fail' or 'skipped', with ctest's output."""
    code, out = run(["ctest", "-R", regex, "--output-on-failure", "--timeout", str(timeout)], build_dir,
                    timeout=timeout * 4)
    if "No tests were found" in out:
        return "none", out
    if code != 0:
        return "fail", out
    ran = re.search(r"(\d+) tests? failed out of (\d+)", out)
    skipped = len(re.findall(r"\*\*\*Skipped|Not Run", out))
    if ran and skipped == int(ran.group(2)):
        return "skipped", out
    return "pass", out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "bench", "mutants.txt"))
    parser.add_argument("--scratch", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--only", help="ids, comma-separated")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=300, help="seconds per test")
    parser.add_argument("--no-baseline", action="store_true", help="skip the run on the unmutated tree")
    parser.add_argument("--verbose", action="store_true", help="print the output of what fails")
    args = parser.parse_args()

    mutants = read_list(args.list)
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m["id"] in wanted]
    if not mutants:
        sys.exit("no mutants to run")
    src, build_dir = os.path.join(args.scratch, "src"), os.path.join(args.scratch, "build")
    os.makedirs(build_dir, exist_ok=True)

    # Every mutation must apply to the tree as it is, before anything is built.
    for m in mutants:
        with open(os.path.join(ROOT, m["file"]), encoding="utf-8") as f:
            count = f.read().count(m["find"])
        if count != 1:
            sys.exit("%s: %r occurs %d times in %s; it must occur once" % (m["id"], m["find"], count, m["file"]))

    print("copying the tree to %s: %d files changed" % (src, sync_tree(src)), file=sys.stderr)
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        code, out = run(["cmake", "-S", src, "-B", build_dir, "-DCMAKE_INSTALL_PREFIX=/usr"], ROOT)
        if code:
            sys.exit(out + "\ncannot configure the scratch build")
    started = time.time()
    code, out = build(build_dir, args.jobs)
    if code:
        sys.exit(out[-4000:] + "\nthe unmutated tree does not build")
    print("built in %.0f s" % (time.time() - started), file=sys.stderr)

    if not args.no_baseline:
        regex = "|".join("(%s)" % r for r in sorted({m["tests"] for m in mutants}))
        outcome, out = ctest(build_dir, regex, args.timeout)
        if outcome not in ("pass", "skipped"):
            sys.exit(out[-6000:] + "\nthe unmutated tree fails the listed tests (%s)" % outcome)

    rows, counts = [], {"caught": 0, "survived": 0, "stillborn": 0, "not run": 0}
    for n, m in enumerate(mutants, 1):
        path = os.path.join(src, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        started = time.time()
        print("[%d/%d] %s" % (n, len(mutants), m["id"]), file=sys.stderr, flush=True)
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["find"], m["replace"], 1))
            code, out = build(build_dir, args.jobs)
            if code:
                result = "stillborn"
            else:
                outcome, out = ctest(build_dir, m["tests"], args.timeout)
                result = {"fail": "caught", "pass": "survived"}.get(outcome, "not run")
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        counts[result] += 1
        if args.verbose and result != "survived":
            print(out[-3000:], file=sys.stderr)
        rows.append((n, m["id"], m["file"].replace("zeroConfig/src/", ""), m["tests"], result,
                     time.time() - started))

    # Leave the scratch build matching the tree.
    build(build_dir, args.jobs)
    print("| # | mutant | file | tests | result | s |")
    print("|---|---|---|---|---|---|")
    for n, ident, name, tests, result, seconds in rows:
        print("| %d | %s | %s | `%s` | %s | %.0f |" % (n, ident, name, tests, result, seconds))
    scored = counts["caught"] + counts["survived"]
    score = 100.0 * counts["caught"] / scored if scored else 0.0
    print("\n%d caught, %d survived: %.0f %%" % (counts["caught"], counts["survived"], score)
          + "".join("; %d %s" % (counts[k], k) for k in ("stillborn", "not run") if counts[k]))


if __name__ == "__main__":
    main()
