"""Every process a browser test starts ends and is reaped, also when the test fails.

Chromium starts helpers that leave its process group (its crash handler calls setsid), so
killing the groups we started is not enough. The test process therefore becomes a child
subreaper: whatever our children leave behind is re-parented to us instead of to init,
and `end_all` can find, end and reap it.
"""

import ctypes
import os
import signal
import subprocess
import time

PR_SET_CHILD_SUBREAPER = 36


class Owner:
    """The owner of started processes as a context manager: the with block calls start(),
    and close() at its end, also when start() fails half-way."""

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()


def become_subreaper():
    """Orphaned descendants become our children from now on (Linux only)."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER) failed")


# Processes started through start() or taken on by track(), each the leader of a process
# group of its own. Only these are waited for through their Popen object; every other child
# is an adopted orphan.
_started = set()


def start(arguments, **options):
    """subprocess.Popen in a session (and so a process group) of its own."""
    process = subprocess.Popen(arguments, start_new_session=True, **options)
    _started.add(process.pid)
    return process


def track(process):
    """Takes on a process that a library started in a session of its own (Selenium's
    chromedriver), so that end_group can end it like one from start()."""
    _started.add(process.pid)


def running():
    """Process ids whose parent is this process, zombies included."""
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="latin-1") as stat:
                # The command name in parentheses may hold blanks; the parent id is the
                # second field after its closing parenthesis.
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        if len(fields) > 1 and int(fields[1]) == me:
            found.append(int(entry))
    return found


def end_orphans():
    """Kills and reaps the adopted orphans: children that start() did not start. Returns
    whether there were any."""
    found = False
    for pid in running():
        if pid in _started:
            continue
        found = True
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
    return found


def _group_exists(group):
    try:
        os.killpg(group, 0)
        return True
    except ProcessLookupError:
        return False


def end_group(process, grace_seconds=10.0, deadline_seconds=30.0):
    """Ends a process from start() with its whole group: SIGTERM first, SIGKILL once the
    grace time is over. Reaps the leader, then every process the group leaves behind,
    which the subreaper adopts as they lose their parents."""
    group = process.pid
    if process.poll() is None:
        try:
            os.killpg(group, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=grace_seconds)
        except subprocess.TimeoutExpired:
            pass
    deadline = time.monotonic() + deadline_seconds
    while True:
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if process.poll() is not None:
            _started.discard(group)
        orphans = end_orphans()
        if process.returncode is not None and not orphans and not _group_exists(group):
            return
        if time.monotonic() > deadline:
            raise RuntimeError(f"process group {group} would not end")
        time.sleep(0.02)


def end_all(deadline_seconds=30.0):
    """Kills and reaps every remaining child. For the end of a test program, once every
    process from start() has been ended."""
    deadline = time.monotonic() + deadline_seconds
    while True:
        pids = running()
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                break
        if time.monotonic() > deadline:
            raise RuntimeError(f"children that would not end: {pids}")
        time.sleep(0.05)
