"""The two servers that ./dev load measures, each started in a directory of its own and
stopped when its block ends: Gridlo as a user starts it, and nginx with one worker serving
the same directory."""

import os
import pathlib
import signal
import socket
import subprocess
import time

# How long a server may take to start or to stop before the run gives up on it.
START_PATIENCE = 30.0
STOP_PATIENCE = 15.0

# The browser launcher Gridlo finds first on PATH: it records the start address, which is
# how the run learns the port the system chose, and opens nothing.
STUB_LAUNCHER = """#!/bin/sh
record="$(dirname "$0")/../browser-address"
printf '%s' "$1" > "$record.part"
mv "$record.part" "$record"
"""


def _halves():
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        return cpus, cpus
    return cpus[:len(cpus) // 2], cpus[len(cpus) // 2:]


# The client runs on one half of the CPUs, the servers on the other. A client and a server
# that share a CPU answer each other without a wake-up across CPUs (10 µs against 66 µs for
# nginx at one connection on the development machine), and the scheduler chooses that only
# now and then; the figures at one connection jumped between the two from run to run.
CLIENT_CPUS, SERVER_CPUS = _halves()


def on_cpus(cpus, command):
    """The command, run only on those CPUs."""
    return ["taskset", "-c", ",".join(map(str, cpus)), *command]


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until_listening(port, patience=START_PATIENCE):
    deadline = time.monotonic() + patience
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


def stop_process(process, how):
    """Asks the process to end (how() sends the request), then kills it if it does not."""
    if process.poll() is not None:
        return
    try:
        how()
        process.wait(timeout=STOP_PATIENCE)
    except (OSError, subprocess.TimeoutExpired):
        process.kill()
        process.wait()


class Gridlo:
    """The console program in <directory>/www, its access log (standard output) in
    <directory>/access.log; "quit" on standard input stops it."""

    def __init__(self, program, directory):
        self.program = os.path.abspath(program)
        self.directory = pathlib.Path(directory)
        self.process = None
        self.port = None

    def __enter__(self):
        bin_dir = self.directory / "bin"
        bin_dir.mkdir(parents=True, exist_ok=True)
        launcher = bin_dir / "xdg-open"
        launcher.write_text(STUB_LAUNCHER)
        launcher.chmod(0o755)
        record = self.directory / "browser-address"
        record.unlink(missing_ok=True)  # from an earlier run in the same directory
        environment = dict(os.environ, PATH=f"{bin_dir}:{os.environ.get('PATH', '')}")
        with open(self.directory / "access.log", "wb") as log, \
                open(self.directory / "errors.log", "wb") as errors:
            self.process = subprocess.Popen(
                on_cpus(SERVER_CPUS, [self.program]), cwd=self.directory / "www", env=environment,
                stdin=subprocess.PIPE, stdout=log, stderr=errors)
        try:
            self.port = self._port_from(record)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _port_from(self, record):
        deadline = time.monotonic() + START_PATIENCE
        while not record.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"{self.program} did not start; see {self.directory}")
            time.sleep(0.02)
        address = record.read_text()  # http://127.0.0.1:<port>/
        return int(address.rsplit(":", 1)[1].split("/", 1)[0])

    def __exit__(self, *exc):
        def quit_line():
            self.process.stdin.write(b"quit\n")
            self.process.stdin.close()
        stop_process(self.process, quit_line)

    @property
    def pid(self):
        return self.process.pid


NGINX_CONF = """\
daemon off;
master_process on;
worker_processes 1;
worker_rlimit_nofile {files};
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{
    worker_connections {files};
}}
http {{
    access_log off;
    # Gridlo never closes a keep-alive connection after a number of requests: nor does
    # nginx here (its default of 1000 would end the paced loads' one connection).
    keepalive_requests 1000000000;
    client_body_temp_path {prefix}/client_body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
"""


class Nginx:
    """nginx with one worker on a free loopback port, serving root; its configuration and
    temporary files in <directory>/nginx. Runs in the foreground of its own master, which
    SIGQUIT stops gracefully."""

    def __init__(self, root, directory, files):
        self.root = pathlib.Path(root)
        self.prefix = pathlib.Path(directory) / "nginx"
        self.files = files
        self.process = None
        self.port = None

    def __enter__(self):
        self.prefix.mkdir(parents=True, exist_ok=True)
        self.port = free_loopback_port()
        conf = self.prefix / "nginx.conf"
        conf.write_text(NGINX_CONF.format(prefix=self.prefix, port=self.port, root=self.root,
                                          files=self.files))
        self.process = subprocess.Popen(
            on_cpus(SERVER_CPUS, ["nginx", "-p", str(self.prefix), "-c", str(conf),
                                  "-e", str(self.prefix / "error.log")]),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_until_listening(self.port)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        stop_process(self.process, lambda: self.process.send_signal(signal.SIGQUIT))

    @property
    def pid(self):
        """The master's; its worker is its child."""
        return self.process.pid
