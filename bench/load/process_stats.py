"""What /proc says of a running server: its resident memory, the CPU ticks and wake-ups
(context switches) of all its threads together, and the CPU time of a process and its
children."""

import ctypes
import os
import pathlib
import time


def rss_bytes(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"no VmRSS for process {pid}")


def _tasks(pid):
    return pathlib.Path(f"/proc/{pid}/task").iterdir()


def cpu_ticks(pid):
    """User and system time of every thread, in clock ticks (sysconf CLK_TCK)."""
    total = 0
    for task in _tasks(pid):
        try:
            stat = (task / "stat").read_text()
        except FileNotFoundError:  # the thread ended meanwhile
            continue
        # The fields after the command name, which may itself hold blanks and parentheses:
        # state is field 3, utime 14 and stime 15.
        fields = stat[stat.rindex(")") + 2:].split()
        total += int(fields[11]) + int(fields[12])
    return total


def wake_ups(pid):
    """Voluntary and involuntary context switches of every thread."""
    total = 0
    for task in _tasks(pid):
        try:
            status = (task / "status").read_text()
        except FileNotFoundError:
            continue
        for line in status.splitlines():
            if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                total += int(line.split()[1])
    return total


CLOCK_TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")

_libc = ctypes.CDLL(None, use_errno=True)


def _cpu_clock(pid):
    clock = ctypes.c_int()
    result = _libc.clock_getcpuclockid(pid, ctypes.byref(clock))
    if result != 0:
        raise OSError(result, os.strerror(result), f"process {pid}")
    return clock.value


def children(pid):
    """The processes whose parent is pid (nginx's workers)."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
            found.append(int(entry.name))
    return found


class CpuClock:
    """The user and system time that a process and its children (as they are when it is
    made) have used, in seconds: what utime and stime of /proc/PID/stat count, read from the
    process's CPU-time clock, which counts nanoseconds instead of 10 ms ticks, so that a few
    seconds of a paced load are measured to the microsecond per request."""

    def __init__(self, pid):
        self.clocks = [_cpu_clock(p) for p in [pid, *children(pid)]]

    def seconds(self):
        return sum(time.clock_gettime(clock) for clock in self.clocks)
