#!/usr/bin/env python3
"""What a browser test program does where it finds no browser: it skips, and under CI it
fails instead.

The program runs with Python's -S, which leaves the site packages (and so Selenium) out of
reach: to the program the machine has no Selenium, whatever it has installed.
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

import testmain

HERE = pathlib.Path(__file__).resolve().parent
RUN_TIMEOUT = 120.0


class MissingBrowser(unittest.TestCase):
    def run_without_selenium(self, ci):
        environment = {k: v for k, v in os.environ.items() if k != "CI"}
        if ci is not None:
            environment["CI"] = ci
        with tempfile.TemporaryDirectory() as out:
            return subprocess.run(
                [sys.executable, "-S", "-B", str(HERE / "game_test.py"), "--out", out],
                env=environment,
                capture_output=True,
                text=True,
                timeout=RUN_TIMEOUT,
            )

    def test_skips_outside_ci_and_fails_under_it(self):
        cases = [
            (None, testmain.SKIP_CODE, "SKIPPED: "),
            ("false", testmain.SKIP_CODE, "SKIPPED: "),
            ("true", 1, "FAILED: "),
            ("1", 1, "FAILED: "),
        ]
        for ci, code, verdict in cases:
            with self.subTest(CI=ci):
                result = self.run_without_selenium(ci)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertTrue(result.stdout.startswith(verdict), result.stdout)
                self.assertIn("not installed", result.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
