#!/usr/bin/env python3
"""Runs one test program for CTest and gives it a second try for one cause only.

Now and then Wine's loader asserts in glibc's dl-fini when a process ends ("Inconsistency detected
by ld.so: dl-fini.c ..."), after the Windows program has done all its work: the process then ends
with 127 instead of its own exit code. That fault is Wine's, not ours, so a program is run once more
when it is the only reason it failed:
  - a GoogleTest program: the loader fault is in its output and no test of it failed;
  - the pytest suite: every test that failed saw the fault in one of the Wine processes it ran
    (conftest.py lists them under LOADER_FAULT_HEADING).
Any other failure fails at once. A second try is announced in the output and appended to
<build>/retried-tests.txt, which scripts/test.sh prints at the end of the run.

With --wine-prefix DIR the program runs in a Wine prefix of its own, made afresh in DIR and booted
before the first try (a service left registered there by an interrupted run would otherwise start
by itself), with its wineserver ended afterwards: groups of end-to-end tests then run side by side,
each with its own service control manager.

Usage: run_test_program.py NAME [--wine-prefix DIR] COMMAND [ARGUMENT ...]
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

LOADER_FAULT = "Inconsistency detected by ld.so: dl-fini.c"
LOADER_FAULT_HEADING = "Tests that met Wine's loader fault at a process's exit:"
PYTEST_FAILURE = re.compile(r"^(?:FAILED|ERROR) (\S+)", re.M)
GTEST_FAILURE = re.compile(r"^\[  FAILED  \] ", re.M)


def run(command):
    """Runs the command with its output passed through as it comes; returns (exit code, output)."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    kept = []
    for raw in proc.stdout:
        sys.stdout.buffer.write(raw)
        sys.stdout.flush()
        kept.append(raw.decode("utf-8", "replace"))
    return proc.wait(), "".join(kept)


def tests_that_met_the_loader_fault(output):
    _, found, rest = output.partition(LOADER_FAULT_HEADING)
    if not found:
        return set()
    names = set()
    for line in rest.splitlines()[1:]:
        if not line.startswith("  "):
            break
        names.add(line.strip())
    return names


def reason_for_a_second_try(output):
    """Why the failed run may be tried again, or None when it failed for a reason of its own."""
    failed_tests = PYTEST_FAILURE.findall(output)
    if failed_tests:
        met = tests_that_met_the_loader_fault(output)
        if met and set(failed_tests) <= met:
            return "Wine's loader asserted at a process's exit in: " + ", ".join(sorted(set(failed_tests)))
        return None
    if LOADER_FAULT in output and "[==========]" in output and not GTEST_FAILURE.search(output) \
            and "[  PASSED  ]" in output:
        return "every test passed; Wine's loader asserted when the program ended"
    return None


def quietly(*command):
    """A Wine tool with every standard stream detached: Wine's background processes would otherwise
    keep this runner's pipes open."""
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=300).returncode


def start_wine_prefix(folder):
    os.environ.update(WINEPREFIX=str(folder), WINEARCH="win64", WINEDEBUG="-all",
                      WINEDLLOVERRIDES="mscoree,mshtml=")
    quietly("wineserver", "-k")
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    quietly("wineserver", "-p")
    if quietly("wine", "wineboot") != 0:
        raise SystemExit(f"the Wine prefix {folder} did not boot")


def main():
    name, command = sys.argv[1], sys.argv[2:]
    prefix = None
    if command[:1] == ["--wine-prefix"]:
        prefix, command = pathlib.Path(command[1]), command[2:]
        start_wine_prefix(prefix)
    try:
        return run_with_a_second_try(name, command)
    finally:
        if prefix is not None:
            quietly("wineserver", "-k")


def run_with_a_second_try(name, command):
    code, output = run(command)
    if code == 0:
        return 0
    reason = reason_for_a_second_try(output)
    if reason is None:
        return code
    note = f"{name} needed a second try: {reason}"
    print(f"\n=== {note} ===\n", flush=True)
    build_dir = os.environ.get("VW_BUILD_DIR")
    if build_dir:
        with open(pathlib.Path(build_dir) / "retried-tests.txt", "a", encoding="utf-8") as record:
            record.write(note + "\n")
    code, _ = run(command)
    return code


if __name__ == "__main__":
    sys.exit(main())
