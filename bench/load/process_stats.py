"""What /proc says of a running server: its resident memory, and the CPU ticks and
wake-ups (context switches) of all its threads together."""

import os
import pathlib


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
