"""Starts the real Gridlo console program for a test and ends it again.

Its standard input is a FIFO that the test holds open, so the program reads nothing until
the test sends "quit". A stub xdg-open first on PATH records the start address the program
hands to the browser launcher: that is how the test learns the port the system chose.
The program runs in an empty directory of its own, so its static file serving finds nothing
of the build tree.
"""

import os
import pathlib
import shutil
import subprocess
import time

import children

# Writes its first argument to "opened" beside itself; the rename makes the file appear
# complete or not at all.
STUB_LAUNCHER = """#!/bin/sh
printf '%s' "$1" > "$(dirname "$0")/opened.part"
mv "$(dirname "$0")/opened.part" "$(dirname "$0")/opened"
"""

START_TIMEOUT = 60.0
QUIT_TIMEOUT = 60.0


class GridloProgram(children.Owner):
    def __init__(self, program, work_dir):
        self.program = pathlib.Path(program)
        self.work_dir = pathlib.Path(work_dir)
        self.bin = self.work_dir / "bin"
        self.run_dir = self.work_dir / "run"
        self.input_path = self.work_dir / "input"
        self.stdout_path = self.work_dir / "gridlo.out"
        self.stderr_path = self.work_dir / "gridlo.err"
        self.process = None
        self.input = None

    def start(self):
        shutil.rmtree(self.work_dir, ignore_errors=True)
        self.bin.mkdir(parents=True)
        self.run_dir.mkdir()
        stub = self.bin / "xdg-open"
        stub.write_text(STUB_LAUNCHER)
        stub.chmod(0o755)
        os.mkfifo(self.input_path)
        # Opened for reading and writing, the FIFO neither blocks this open nor the
        # program's, and it reaches end of input only when the test closes it.
        self.input = os.open(self.input_path, os.O_RDWR | os.O_CLOEXEC)
        environment = dict(os.environ)
        environment["PATH"] = f"{self.bin}:{environment.get('PATH', '/usr/bin:/bin')}"
        with open(self.input_path, "rb") as stdin, open(self.stdout_path, "wb") as stdout, open(
            self.stderr_path, "wb"
        ) as stderr:
            self.process = children.start(
                [str(self.program)],
                cwd=self.run_dir,
                env=environment,
                stdin=stdin,
                stdout=stdout,
                stderr=stderr,
            )

    def start_address(self, timeout=START_TIMEOUT):
        """The address the program asked the browser launcher to open."""
        opened = self.bin / "opened"
        deadline = time.monotonic() + timeout
        while not opened.exists():
            if self.process.poll() is not None:
                raise AssertionError(
                    f"Gridlo ended with {self.process.returncode} before it opened its start"
                    f" page\n{self.output()}"
                )
            if time.monotonic() > deadline:
                raise AssertionError(
                    f"Gridlo opened no start page within {timeout:.0f} s\n{self.output()}"
                )
            time.sleep(0.05)
        return opened.read_text()

    def quit(self, timeout=QUIT_TIMEOUT):
        """Types "quit" and returns the program's exit code."""
        os.write(self.input, b"quit\n")
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(
                f"Gridlo did not end within {timeout:.0f} s of \"quit\"\n{self.output()}"
            )

    def output(self):
        def read(path):
            try:
                return path.read_text(errors="replace")
            except OSError:
                return ""

        return (
            f"--- Gridlo standard output:\n{read(self.stdout_path)}"
            f"--- Gridlo standard error:\n{read(self.stderr_path)}"
        )

    def close(self):
        """Ends the program if it still runs and reaps it; safe to call more than once."""
        if self.process is not None:
            children.end_group(self.process)
            self.process = None
        if self.input is not None:
            os.close(self.input)
            self.input = None
