#!/usr/bin/env python3
"""Checks that the test suite bites: applies each mutation of tests/mutations/list.txt to a clone of
the committed tree, builds, runs the tests and reports whether a test failed (caught) or not (missed).

A mutation is a one-line patch:

    == name of the mutation
    path/relative/to/the/root
    -the original line, exactly as it stands (it must occur once in the file)
    +the line that replaces it

Usage: scripts/mutate.py [--keep DIR] [NAME-SUBSTRING ...]
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
LIST = ROOT / "tests" / "mutations" / "list.txt"


def read_mutations(text):
    mutations = []
    current = None
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("== "):
            current = {"name": line[3:].strip(), "line": number}
            mutations.append(current)
        elif current is None or not line.strip() or line.startswith("#"):
            continue
        elif "path" not in current:
            current["path"] = line.strip()
        elif line.startswith("-") and "old" not in current:
            current["old"] = line[1:]
        elif line.startswith("+") and "new" not in current:
            current["new"] = line[1:]
        else:
            sys.exit(f"{LIST}:{number}: unexpected line in mutation '{current['name']}'")
    for m in mutations:
        if not all(k in m for k in ("path", "old", "new")):
            sys.exit(f"{LIST}:{m['line']}: mutation '{m['name']}' needs a path, a - line and a + line")
    return mutations


def run(command, cwd, log, timeout=None):
    with open(log, "a") as out:
        return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", help="clone and build here and keep it (reused if present)")
    parser.add_argument("names", nargs="*", help="run only mutations whose name contains one of these")
    args = parser.parse_args()

    mutations = read_mutations(LIST.read_text())
    if args.names:
        mutations = [m for m in mutations if any(n in m["name"] for n in args.names)]

    tree = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="pelta-mutate-"))
    if not (tree / ".git").exists():
        subprocess.run(["git", "clone", "--quiet", "--no-hardlinks", str(ROOT), str(tree)], check=True)
    build = tree / "build" / "mutate"
    log = tree / "mutate.log"
    jobs = str(os.cpu_count() or 1)
    env_test = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    if run(["cmake", "-S", ".", "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            "-DPELTA_BUILD_BENCH=OFF"], tree, log) or run(["cmake", "--build", str(build)], tree, log):
        sys.exit(f"the unmutated tree does not build; see {log}")
    if subprocess.run(["ctest", "--test-dir", str(build), "-j", jobs, "--timeout", "300"], cwd=tree,
                      env=env_test, stdout=subprocess.DEVNULL).returncode:
        sys.exit("the unmutated tree fails its tests")

    missed = 0
    for m in mutations:
        path = tree / m["path"]
        original = path.read_text()
        lines = original.split("\n")
        if lines.count(m["old"]) != 1:
            print(f"{'stale':8} {m['name']}  ({m['path']}: the - line occurs {lines.count(m['old'])} times)")
            missed += 1
            continue
        lines[lines.index(m["old"])] = m["new"]
        path.write_text("\n".join(lines))
        start = time.monotonic()
        try:
            if run(["cmake", "--build", str(build)], tree, log):
                # A patch that no longer compiles tests nothing: the list needs mending.
                verdict = "stale  (does not compile)"
            else:
                result = subprocess.run(
                    ["ctest", "--test-dir", str(build), "-j", jobs, "--timeout", "300", "--stop-on-failure"],
                    cwd=tree, env=env_test, capture_output=True, text=True)
                failed = re.findall(r"Test +#\d+: (\S+) .*\*\*\*", result.stdout)
                verdict = "caught" if result.returncode else "MISSED"
                if failed:
                    verdict += "  by " + ", ".join(failed[:3])
        finally:
            path.write_text(original)
        if verdict.startswith(("MISSED", "stale")):
            missed += 1
        print(f"{verdict.split()[0]:8} {m['name']}{verdict[len(verdict.split()[0]):]}  [{time.monotonic() - start:.0f} s]",
              flush=True)
    run(["cmake", "--build", str(build)], tree, log)
    if not args.keep:
        shutil.rmtree(tree, ignore_errors=True)
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
