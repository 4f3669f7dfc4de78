"""The common entry of the browser test programs that ctest runs.

    python3 some_test.py --out DIR [--gridlo PROGRAM] [unittest arguments]

Exits with SKIP_CODE, which ctest reports as a skip, only when Chromium, chromedriver or
Selenium (for this interpreter) is not installed; under CI (CI=true) that fails instead,
since a run that could not test in the browser is no pass. Every process the tests started
is ended and reaped before the exit.
"""

import argparse
import os
import pathlib
import sys
import unittest

import browser
import children

SKIP_CODE = 77


class Options:
    """What the command line gave: out (a directory in the build tree for logs and
    screenshots) and gridlo (the program under test)."""

    out = None
    gridlo = None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--gridlo")
    known, rest = parser.parse_known_args()
    Options.out = known.out
    Options.gridlo = known.gridlo

    missing = browser.missing_browser()
    if missing:
        needs = "the browser tests need Debian's chromium, chromium-driver and python3-selenium"
        if under_ci():
            print(f"FAILED: {missing}; {needs}, and under CI a browser test does not skip")
            sys.exit(1)
        print(f"SKIPPED: {missing}; {needs}")
        sys.exit(SKIP_CODE)

    children.become_subreaper()
    try:
        program = unittest.main(module="__main__", argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        children.end_all()
    if not program.result.wasSuccessful():
        show_logs(pathlib.Path(known.out))
        sys.exit(1)
    sys.exit(0)


def under_ci():
    return os.environ.get("CI", "").lower() in ("true", "1")


def show_logs(out, lines=60):
    """The end of every log the run left (the program's output, chromedriver's log)."""
    for log in sorted(out.rglob("*")):
        if log.suffix in (".out", ".err", ".log") and log.is_file():
            text = log.read_text(errors="replace").splitlines()[-lines:]
            print(f"--- {log} (last {lines} lines)")
            print("\n".join(text))
