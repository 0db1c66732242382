"""Shared by the scripts that check built and installed files from the
outside: one line per check, and a summary that decides the exit status."""

import subprocess

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def run(*cmd):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout


def summary():
    """The exit status: 1 when any check failed."""
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    return 0
