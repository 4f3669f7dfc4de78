"""A scratch checkout for running the dev script with stubs in place of the system.

    with Checkout(dev_script) as checkout:
        result = checkout.dev("test", environment={"JOBS": "4"})
        checkout.calls("cmake")   # ["cmake -S . -B build ...", "cmake --build build -j 4"]

The dev script changes into the directory it lies in, so a copy of it in a directory of its
own builds, installs and runs nothing of the real checkout. Stub programs first on PATH
stand in for the package tools (dpkg-query, apt-get), the service tools (systemctl,
update-rc.d), the build tools (cmake, ctest) and python3; each writes one line per call to
a log, with its arguments, and does nothing else unless a test asks for more. Every package
counts as installed but those the test names as missing; apt-get install makes a package
installed, and nginx-light brings nginx-common with it, as Debian's does.
"""

import os
import pathlib
import shutil
import subprocess
import tempfile

# Patience for a stubbed run: only a fault makes a run take so long.
RUN_TIMEOUT = 120.0

# Each stub's name and what it does after it has written its call to the log.
STUBS = {
    "cmake": "",
    "ctest": "",
    "python3": "",
    "update-rc.d": "",
    # Inactive: nothing started the service.
    "systemctl": '[ "$1" = is-active ] && exit 3\n',
    # The last argument is the package. Its status, as dpkg-query prints it.
    "dpkg-query": """for package; do :; done
if grep -qx -- "$package" "$STUB_STATE/missing"; then
  echo "dpkg-query: no packages found matching $package" >&2
  exit 1
fi
printf 'install ok installed'
""",
    # An install first asks the policy whether the new nginx service may start, as the
    # package's scripts do, and logs the answer.
    "apt-get": """[ "$1" = install ] || exit 0
if [ -x "$GRIDLO_POLICY_RC_D" ]; then
  "$GRIDLO_POLICY_RC_D" nginx start
  echo "policy-rc.d nginx start: $?" >> "$STUB_STATE/log"
else
  echo "policy-rc.d nginx start: no policy" >> "$STUB_STATE/log"
fi
[ -n "$STUB_APT_FAILS" ] && exit 100
for package; do
  case $package in
    -*) ;;
    nginx-light) sed -i -e '/^nginx-light$/d' -e '/^nginx-common$/d' "$STUB_STATE/missing" ;;
    *) sed -i "/^$package\\$/d" "$STUB_STATE/missing" ;;
  esac
done
""",
}


class Checkout:
    def __init__(self, dev_script, missing_packages=()):
        self.dev_script = pathlib.Path(dev_script)
        self.missing_packages = missing_packages
        self.directory = None

    def __enter__(self):
        self.directory = pathlib.Path(tempfile.mkdtemp(prefix="gridlo-dev-test."))
        self.root = self.directory / "checkout"
        self.root.mkdir()
        shutil.copy2(self.dev_script, self.root / "dev")
        self.bin = self.directory / "bin"
        self.bin.mkdir()
        self.state = self.directory / "state"
        self.state.mkdir()
        (self.state / "log").write_text("")
        (self.state / "missing").write_text("".join(f"{p}\n" for p in self.missing_packages))
        self.policy_rc_d = self.directory / "policy-rc.d"
        for name, body in STUBS.items():
            self.write_program(
                self.bin / name, f'#!/bin/sh\necho "{name} $*" >> "$STUB_STATE/log"\n{body}'
            )
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.directory, ignore_errors=True)

    @staticmethod
    def write_program(path, text):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        path.chmod(0o755)

    def environment(self, extra=None):
        environment = dict(os.environ)
        for name in ("JOBS", "GRIDLO_WERROR", "GRIDLO_FUZZ_FINDINGS", "CI"):
            environment.pop(name, None)
        environment["PATH"] = f"{self.bin}:{environment.get('PATH', '/usr/bin:/bin')}"
        environment["STUB_STATE"] = str(self.state)
        environment["GRIDLO_POLICY_RC_D"] = str(self.policy_rc_d)
        environment.update(extra or {})
        return environment

    def dev(self, *arguments, environment=None, cwd=None):
        """Runs the copy of the dev script to its end; output and errors as text."""
        return subprocess.run(
            [str(self.root / "dev"), *arguments],
            cwd=cwd or self.root,
            env=self.environment(environment),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=RUN_TIMEOUT,
        )

    def log(self):
        return (self.state / "log").read_text().splitlines()

    def calls(self, program):
        """The logged calls of one stub, each as "program arguments"."""
        return [line for line in self.log() if line.split(" ", 1)[0] == program]
