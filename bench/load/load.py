#!/usr/bin/env python3
"""./dev load: Gridlo side by side with nginx (one worker, the same directory, access log off)
in one run, under the loads of a browser game server, and one table of the figures with
their ratios. A benchmark, not a test: it prints what it measures and judges nothing but the
goals it lists. Beside latency and throughput, every load says what it cost: the CPU time
(user and system) the server's process spent over the load, per request served (nginx: its
master and its worker). Most loads run flat out (wrk); the paced ones ask at an everyday
rate on one keep-alive connection (pace.c, built by this script), in rounds (PACED_ROUNDS).

    load.py GRIDLO [--compare OTHER_GRIDLO] [--seconds N] [--connections N] [--only TEXT]

--compare runs every Gridlo load against a second build as well (for example one of main),
so that a change is measured before and after in the same run. --only runs the loads whose
name holds the text ("memory", "click", "static", "connections", ...).
"""

import argparse
import contextlib
import dataclasses
import http.client
import os
import pathlib
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from connections import Connections  # noqa: E402
import process_stats  # noqa: E402
from servers import CLIENT_CPUS, SERVER_CPUS, Gridlo, Nginx, on_cpus  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
WRK_SCRIPT = HERE / "report.lua"
PACE_SOURCE = HERE / "pace.c"

STATIC_FILE = "page.html"
STATIC_FILE_BYTES = 6400
IMAGE = "kreuz.png"
SESSION_MEMORY_SESSIONS = 1000
IDLE_SECONDS = 5
# The most threads wrk runs; fewer when there are fewer connections.
WRK_THREADS = 4
# A paced load runs this many rounds, the servers in turn, and counts the round of median
# CPU time: at an everyday rate one server's round can fall into a spell when the machine's
# other work makes every wake-up dearer, and a single round would show that, not the server.
PACED_ROUNDS = 3
OPEN_PATIENCE = 100.0
ANSWER_PATIENCE = 60.0


@dataclasses.dataclass
class Load:
    """What a client measured: requests, requests per second and latency percentiles in µs;
    and what the server spent on them: CPU time per request in µs (see measured)."""
    requests: int
    rps: float
    p50: float
    p90: float
    p99: float
    errors: dict
    cpu: float = None
    paced: bool = False
    late: int = 0  # paced requests sent after their time, as the answer before came late


def load_line(output, error_names):
    line = next(l for l in output.splitlines() if l.startswith("LOAD "))
    values = dict(field.split("=") for field in line.split()[1:])
    errors = {name: int(values[name]) for name in error_names if int(values[name])}
    requests = int(values["requests"])
    return Load(requests=requests, rps=requests / (int(values["duration_us"]) / 1e6),
                p50=float(values["p50_us"]), p90=float(values.get("p90_us", "nan")),
                p99=float(values["p99_us"]), errors=errors, paced="late" in values,
                late=int(values.get("late", 0)))


def measured(server, run):
    """The load that run() makes, with the server's CPU time per request over it."""
    clock = process_stats.CpuClock(server.pid)
    before = clock.seconds()
    load = run()
    load.cpu = (clock.seconds() - before) * 1e6 / max(load.requests, 1)
    return load


def run_wrk(server, connections, targets, seconds):
    threads = min(connections, WRK_THREADS)
    command = on_cpus(CLIENT_CPUS, [
        "wrk", "-t", str(threads), "-c", str(connections), "-d", f"{seconds}s", "--timeout", "10s",
        "-s", str(WRK_SCRIPT), f"http://127.0.0.1:{server.port}{targets[0]}", "--", *targets])
    return measured(server, lambda: load_line(
        subprocess.run(command, check=True, capture_output=True, text=True).stdout,
        ("connect", "read", "write", "status", "timeout")))


def build_pace(directory):
    """The paced client, compiled from pace.c into the run's directory."""
    program = directory / "pace"
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-o", str(program), str(PACE_SOURCE)],
                   check=True)
    return program


def run_pace(pace, server, target, rate, seconds):
    command = on_cpus(CLIENT_CPUS, [str(pace), str(server.port), target, str(rate), str(seconds)])
    # Its failures on standard error, which is not taken.
    return measured(server, lambda: load_line(
        subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout,
        ("status",)))


# ---- sessions of the game -----------------------------------------------------------------

SESSION_ID = re.compile(rb'nuxelid="(nuxelid[0-9]+)"')


def fetch(port, target):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", target)
        answer = connection.getresponse()
        return answer.status, answer.read()
    finally:
        connection.close()


def fetch_ok(port, target, marker=b""):
    status, body = fetch(port, target)
    if status != 200 or marker not in body:
        raise RuntimeError(f"GET {target} answered {status} without {marker!r}")
    return body


def new_session(port):
    return SESSION_ID.search(fetch_ok(port, "/")).group(1).decode()


def post_session(port):
    """A session switched to the POST page, whose "/" is the update channel."""
    session = new_session(port)
    fetch_ok(port, f"/playpost?nuxelid={session}", b"(POST)")
    return session


def session_memory(gridlo):
    """RSS growth over new sessions, on one keep-alive connection, per session; and the CPU
    time per session."""
    clock = process_stats.CpuClock(gridlo.pid)
    cpu = clock.seconds()
    before = process_stats.rss_bytes(gridlo.pid)
    connection = http.client.HTTPConnection("127.0.0.1", gridlo.port, timeout=30)
    for _ in range(SESSION_MEMORY_SESSIONS):
        connection.request("GET", "/")
        answer = connection.getresponse()
        answer.read()
        if answer.status != 200:
            raise RuntimeError(f"a new session answered {answer.status}")
    connection.close()
    cpu = (clock.seconds() - cpu) * 1e6 / SESSION_MEMORY_SESSIONS
    return (process_stats.rss_bytes(gridlo.pid) - before) / SESSION_MEMORY_SESSIONS, cpu


# ---- the loads ----------------------------------------------------------------------------

@dataclasses.dataclass
class Row:
    """One load: how to make the targets on a Gridlo (and whether nginx runs it too), the
    connections, and what the ratio compares: "p50" (latency, against nginx's static file at
    one connection when nginx does not run the row) or "rps" (throughput). A row with a rate
    is paced (one connection, the first target); its ratio has no goal of its own. Where
    nginx runs the row, the ratio of the CPU time per request is given too, judged by
    cpu_met when the row has one."""
    name: str
    connections: int
    gridlo_targets: object  # port -> list of targets
    nginx_targets: list = None
    compare: str = "p50"
    goal: str = ""
    met: object = None  # ratio or figure -> bool
    rate: int = 0
    cpu_goal: str = ""
    cpu_met: object = None  # CPU ratio -> bool


ROWS = [
    Row("static 6.4 KB file, paced 200/s", 1, lambda port: [f"/{STATIC_FILE}"],
        [f"/{STATIC_FILE}"], rate=200, cpu_goal="CPU ≤ 1.5×", cpu_met=lambda ratio: ratio <= 1.5),
    Row("static 6.4 KB file, paced 1000/s", 1, lambda port: [f"/{STATIC_FILE}"],
        [f"/{STATIC_FILE}"], rate=1000, cpu_goal="CPU ≤ 1.5×",
        cpu_met=lambda ratio: ratio <= 1.5),
    Row("static 6.4 KB file", 1, lambda port: [f"/{STATIC_FILE}"], [f"/{STATIC_FILE}"],
        "p50", "p50 ≤ 1.5×", lambda ratio: ratio <= 1.5),
    Row("static 6.4 KB file", 8, lambda port: [f"/{STATIC_FILE}"], [f"/{STATIC_FILE}"],
        "rps", "≥ 1.0×", lambda ratio: ratio >= 1.0, cpu_goal="CPU ≤ 2.5×",
        cpu_met=lambda ratio: ratio <= 2.5),
    Row(f"built-in {IMAGE} (nginx: the same bytes as a file)", 1, lambda port: [f"/{IMAGE}"],
        [f"/{IMAGE}"], "p50", "p50 ≤ 1.5×", lambda ratio: ratio <= 1.5),
    Row(f"built-in {IMAGE} (nginx: the same bytes as a file)", 8, lambda port: [f"/{IMAGE}"],
        [f"/{IMAGE}"], "rps", "≥ 1.0×", lambda ratio: ratio >= 1.0),
    Row("static 6.4 KB file", 1000, lambda port: [f"/{STATIC_FILE}"], [f"/{STATIC_FILE}"],
        "rps", "≥ 0.8×", lambda ratio: ratio >= 0.8),
    Row("click GET /f11 on a live GET session", 1,
        lambda port: [f"/f11?nuxelid={new_session(port)}"],
        goal="p50 ≤ 2× nginx static", met=lambda ratio: ratio <= 2.0),
    Row("restart /NeuStarten", 1, lambda port: [f"/NeuStarten?nuxelid={new_session(port)}"],
        goal="p50 ≤ 3× nginx static", met=lambda ratio: ratio <= 3.0),
    Row("scheme switch /playpost, /playget in turn", 1,
        lambda port: (lambda s: [f"/playpost?nuxelid={s}", f"/playget?nuxelid={s}"])(
            new_session(port)),
        goal="p50 ≤ 3× nginx static", met=lambda ratio: ratio <= 3.0),
    Row("update poll (feskoupdate) on a POST session", 1,
        lambda port: [f"/?nuxelid={post_session(port)}&nuxelcommand=feskoupdate&reference=board"],
        goal="p50 ≤ 2× nginx static", met=lambda ratio: ratio <= 2.0),
    Row("new session GET /", 8, lambda port: ["/"], compare="rps",
        goal="≥ 10 000/s", met=lambda rps: rps >= 10000),
]


def microseconds(value):
    return f"{value:.0f} µs"


def per_second(value):
    return f"{value / 1000:.1f} k/s"


def describe(load):
    if load.paced:
        text = (f"p50 {microseconds(load.p50)}, p90 {microseconds(load.p90)}, "
                f"p99 {microseconds(load.p99)}")
        if load.late:
            text += f" ({load.late} late)"
    else:
        text = f"p50 {microseconds(load.p50)}, {per_second(load.rps)}"
    text += f", CPU {microseconds(load.cpu)}"
    if load.errors:
        text += " (errors: " + ", ".join(f"{k} {v}" for k, v in load.errors.items()) + ")"
    return text


class Table:
    def __init__(self, gridlo_names):
        self.names = gridlo_names
        self.lines = []

    def add(self, load, connections, gridlo_cells, nginx_cell, goal):
        self.lines.append((load, str(connections), *gridlo_cells, nginx_cell, goal))

    def print(self):
        head = ["load", "conns"]
        for name in self.names:
            head += [name, f"{name}/nginx"]
        head += ["nginx", "goal"]
        rows = [head] + [list(line) for line in self.lines]
        widths = [max(len(row[i]) for row in rows) for i in range(len(head))]
        for index, row in enumerate(rows):
            print("| " + " | ".join(cell.ljust(width) for cell, width in zip(row, widths)) + " |")
            if index == 0:
                print("|" + "|".join("-" * (width + 2) for width in widths) + "|")


def ratio_cell(ratio, met):
    text = f"{ratio:.2f}×"
    if met is not None:
        text += " ok" if met(ratio) else " MISSED"
    return text


def run_rows(rows, gridlos, nginx, pace, seconds, table):
    for row in rows:
        print(f"== {row.name}, {row.connections} connection(s)", file=sys.stderr, flush=True)

        def run(server, connections, targets):
            if row.rate:
                return run_pace(pace, server, targets[0], row.rate, seconds)
            return run_wrk(server, connections, targets, seconds)

        # A latency of the application is held against nginx's static file at one
        # connection, measured right before it, so that both see the machine alike.
        own_reference = row.nginx_targets is not None
        reference = None
        if not own_reference and row.compare == "p50":
            reference = run_wrk(nginx, 1, [f"/{STATIC_FILE}"], seconds)
        servers = [(nginx, row.nginx_targets)] if own_reference else []
        servers += [(gridlo, row.gridlo_targets(gridlo.port)) for gridlo in gridlos]
        rounds = [[] for _ in servers]
        for _ in range(PACED_ROUNDS if row.rate else 1):
            for (server, targets), done in zip(servers, rounds):
                done.append(run(server, row.connections, targets))
        loads = [sorted(done, key=lambda load: load.cpu)[len(done) // 2] for done in rounds]
        if own_reference:
            reference = loads.pop(0)
        cells = []
        for load in loads:
            if reference is None:
                # A figure of its own (new sessions per second), not a ratio.
                cells += [describe(load), "ok" if row.met(load.rps) else "MISSED"]
                continue
            ratio = load.rps / reference.rps if row.compare == "rps" else load.p50 / reference.p50
            cell = ("p50 " if row.rate else "") + ratio_cell(ratio, row.met)
            if own_reference:
                cell += ", CPU " + ratio_cell(load.cpu / reference.cpu, row.cpu_met)
            cells += [describe(load), cell]
        if reference is None:
            nginx_cell = "-"
        elif own_reference:
            nginx_cell = describe(reference)
        else:
            nginx_cell = "static file: " + describe(reference)
        goal = ", ".join(text for text in (row.goal, row.cpu_goal) if text)
        table.add(row.name, row.connections, cells, nginx_cell, goal)


def connection_cells(gridlo, count):
    """On a fresh Gridlo: its RSS at start, then many connections opened at once and asked
    once each, then how much the process does while they stay open and idle."""
    start_rss = process_stats.rss_bytes(gridlo.pid)
    clock = process_stats.CpuClock(gridlo.pid)
    with Connections(gridlo.port, count) as many:
        cpu = clock.seconds()
        many.open(OPEN_PATIENCE)
        many.ask(f"GET /{STATIC_FILE} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode(),
                 ANSWER_PATIENCE)
        cpu = (clock.seconds() - cpu) * 1e6 / max(many.answered, 1)
        rss = process_stats.rss_bytes(gridlo.pid)
        ticks = process_stats.cpu_ticks(gridlo.pid)
        wakes = process_stats.wake_ups(gridlo.pid)
        time.sleep(IDLE_SECONDS)
        ticks = process_stats.cpu_ticks(gridlo.pid) - ticks
        wakes = process_stats.wake_ups(gridlo.pid) - wakes
    opened = [f"open {many.open_seconds:.2f} s, {many.answered} answered in "
              f"{many.answer_seconds:.2f} s, RSS {rss / 2**20:.1f} MB, "
              f"CPU {microseconds(cpu)} per connection",
              "ok" if many.open_seconds <= 2.0 and many.answered == count and rss <= 64 << 20
              else "MISSED"]
    idle = [f"{ticks} ticks, {wakes} wake-ups in {IDLE_SECONDS} s; RSS at start "
            f"{start_rss / 2**20:.1f} MB", "ok" if ticks == 0 and start_rss <= 8 << 20 else "MISSED"]
    return opened, idle


def prepare_directory(gridlos):
    """The served directory: the game page as a static file cut to 6.4 KB, and the built-in
    image's bytes as a file for nginx (Gridlo answers that name from its built-in files)."""
    first = gridlos[0]
    page = fetch_ok(first.port, "/")
    while len(page) < STATIC_FILE_BYTES:
        page += page
    image = fetch_ok(first.port, f"/{IMAGE}")
    for gridlo in gridlos:
        www = gridlo.directory / "www"
        (www / STATIC_FILE).write_bytes(page[:STATIC_FILE_BYTES])
        (www / IMAGE).write_bytes(image)


def cpu_list(cpus):
    return f"CPU {cpus[0]}" if len(cpus) == 1 else f"CPUs {cpus[0]}-{cpus[-1]}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("gridlo")
    parser.add_argument("--compare", help="a second Gridlo program measured alongside")
    parser.add_argument("--seconds", type=int, default=5, help="duration of each wrk load")
    parser.add_argument("--connections", type=int, default=10000)
    parser.add_argument("--only", default="", help="run only the loads whose name holds this")
    options = parser.parse_args()
    for tool in ("wrk", "nginx"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed")

    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    files = hard - 100

    programs = [("Gridlo", options.gridlo)]
    if options.compare:
        programs.append(("compared", options.compare))

    with tempfile.TemporaryDirectory(prefix="gridlo-load-") as directory:
        root = pathlib.Path(directory)
        root.chmod(0o755)  # nginx's worker runs as another user
        for name, _ in programs:
            (root / name / "www").mkdir(parents=True)
            for made in (root / name, root / name / "www"):
                made.chmod(0o755)
        table = Table([name for name, _ in programs])
        with contextlib.ExitStack() as running:
            gridlos = [running.enter_context(Gridlo(program, root / name))
                       for name, program in programs]
            prepare_directory(gridlos)
            memory_row = f"memory per new session (RSS growth over {SESSION_MEMORY_SESSIONS})"
            if options.only in memory_row:
                memory = []
                for gridlo in gridlos:
                    per_session, cpu = session_memory(gridlo)
                    memory += [f"{per_session / 1024:.0f} KiB, CPU {microseconds(cpu)} "
                               "per session",
                               "ok" if per_session <= 64 * 1024 else "MISSED"]
                table.add(memory_row, 1, memory, "-", "≤ 64 KiB")
            rows = [row for row in ROWS if options.only in row.name]
            if rows:
                pace = build_pace(root)
                with Nginx(gridlos[0].directory / "www", root, files) as nginx:
                    run_rows(rows, gridlos, nginx, pace, options.seconds, table)

        # The sessions of the loads above stay until the program ends; a fresh one shows
        # what the connections themselves cost.
        opened_row = f"{options.connections} keep-alive connections opened at once"
        idle_row = f"idle with {options.connections} connections open"
        if options.only in opened_row or options.only in idle_row:
            opened, idle = [], []
            for name, program in programs:
                print(f"== {options.connections} connections", file=sys.stderr, flush=True)
                with Gridlo(program, root / name) as fresh:
                    cells = connection_cells(fresh, options.connections)
                opened += cells[0]
                idle += cells[1]
            table.add(opened_row, options.connections, opened, "-",
                      "open ≤ 2 s, all answered, RSS ≤ 64 MB")
            table.add(idle_row, options.connections, idle, "-", "0 ticks, RSS at start ≤ 8 MB")

    print(f"{os.cpu_count()} CPUs: wrk on {cpu_list(CLIENT_CPUS)}, the servers on "
          f"{cpu_list(SERVER_CPUS)}; wrk {options.seconds} s per load, at most {WRK_THREADS} "
          f"threads; paced loads on one connection, the round of median CPU time of "
          f"{PACED_ROUNDS}; nginx: 1 worker, access log off; Gridlo: access log to a file; "
          "CPU: the server's user and system time per request")
    table.print()


if __name__ == "__main__":
    main()
