#!/usr/bin/env python3
"""The dev script as a user and CI call it, with stubs in place of the system (checkout.py).

    python3 dev_test.py --dev PATH/dev [--gridlo PROGRAM] [--bench PROGRAM ...] [unittest args]

--gridlo names the real console program, which the test of "./dev run" starts through the
script; --bench names real benchmark programs for the test of "./dev bench". The classes
that need them skip without them (ctest runs them only where they are built).
"""

import argparse
import http.client
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from checkout import RUN_TIMEOUT, Checkout


class Options:
    dev = None
    gridlo = None
    bench = []


def configure_calls(checkout):
    """The logged cmake calls that configure a build directory."""
    return [call for call in checkout.calls("cmake") if " -S . -B " in call]


class Arguments(unittest.TestCase):
    """What the script refuses before it installs or builds anything, and the settings it
    takes from the environment."""

    def test_a_command_line_that_cannot_be_meant_is_refused_with_a_usage_line(self):
        cases = [
            (["fuzz", "abc"], {}),
            (["fuzz", "0"], {}),
            (["fuzz", "-5"], {}),
            (["fuzz", "1.5"], {}),
            (["fuzz", "10s"], {}),
            (["fuzz", ""], {}),
            (["fuzz", "10", "20"], {}),
            (["test"], {"JOBS": "abc"}),
            (["test"], {"JOBS": "0"}),
            (["fuzz", "10"], {"JOBS": "-1"}),
        ]
        for arguments, environment in cases:
            with self.subTest(arguments=arguments, environment=environment):
                with Checkout(Options.dev) as checkout:
                    result = checkout.dev(*arguments, environment=environment)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertRegex(result.stderr, r"^usage: .*positive whole number")
                    self.assertEqual(checkout.log(), [], "nothing installed or built")

    def test_jobs_sets_the_parallelism_of_the_build_and_of_the_tests(self):
        cpus = subprocess.run(["nproc"], capture_output=True, text=True, check=True).stdout.strip()
        for environment, jobs in [({"JOBS": "3"}, "3"), ({}, cpus)]:
            with self.subTest(environment=environment), Checkout(Options.dev) as checkout:
                result = checkout.dev("test", environment=environment)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f"cmake --build build -j {jobs}", checkout.calls("cmake"))
                (ctest,) = checkout.calls("ctest")
                self.assertIn(f" -j {jobs} ", ctest)

    def test_every_build_follows_the_warning_switch_off_by_default(self):
        commands = [["test"], ["run"], ["asan"], ["tsan"], ["fuzz", "1"], ["bench"], ["load"]]
        for switch, expected in [(None, "OFF"), ("ON", "ON")]:
            for command in commands:
                with self.subTest(command=command, GRIDLO_WERROR=switch):
                    with Checkout(Options.dev) as checkout:
                        Checkout.write_program(
                            checkout.root / "build/frontend/console/Gridlo", "#!/bin/sh\n"
                        )
                        environment = {"GRIDLO_WERROR": switch} if switch else {}
                        checkout.dev(*command, environment=environment)
                        configures = configure_calls(checkout)
                        self.assertNotEqual(configures, [], "the command configures a build")
                        for configure in configures:
                            self.assertIn(f" -DGRIDLO_WERROR={expected} ", f"{configure} ")


class WarningSwitch(unittest.TestCase):
    """A build of one's own with a newer compiler is not broken by a new warning: the
    project's switch that makes warnings errors is off unless asked for."""

    def compile_commands(self, *options):
        with tempfile.TemporaryDirectory() as build:
            subprocess.run(
                ["cmake", "-S", str(pathlib.Path(Options.dev).parent), "-B", build, "-G", "Ninja",
                 "-DGRIDLO_TESTS=OFF", "-DGRIDLO_BENCH=OFF", *options],
                check=True, capture_output=True, timeout=RUN_TIMEOUT,
            )
            return json.loads((pathlib.Path(build) / "compile_commands.json").read_text())

    def test_warnings_are_errors_only_when_switched_on(self):
        for options, werror in [((), False), (("-DGRIDLO_WERROR=ON",), True)]:
            with self.subTest(options=options):
                commands = self.compile_commands(*options)
                self.assertNotEqual(commands, [])
                for command in commands:
                    self.assertEqual("-Werror" in command["command"].split(), werror, command)


class Fuzz(unittest.TestCase):
    """A finding outlives the fuzzing corpus and fails the run, once every target has run."""

    # A stand-in for a libFuzzer target: logs its arguments, and when told to crash writes
    # an input under the artifact prefix it was given and fails as libFuzzer does.
    TARGET = """#!/bin/sh
echo "$(basename "$0") $*" >> "$STUB_STATE/log"
for argument; do
  case $argument in -artifact_prefix=*) prefix=${argument#-artifact_prefix=} ;; esac
done
if [ "$(basename "$0")" = fuzz_crashes ]; then
  echo "==1==ERROR: AddressSanitizer: heap-buffer-overflow"
  printf 'boom' > "${prefix}crash-da39a3ee"
  exit 1
fi
echo "Done 100 runs in 1 second(s)"
"""

    def targets(self, checkout, names):
        for name in names:
            Checkout.write_program(checkout.root / "build-asan/fuzz" / name, self.TARGET)

    def test_a_crash_is_kept_where_the_run_says_and_fails_it(self):
        with Checkout(Options.dev) as checkout:
            self.targets(checkout, ["fuzz_crashes", "fuzz_holds"])
            findings = checkout.directory / "kept"
            # Relative to where the command is typed, not to the checkout.
            result = checkout.dev(
                "fuzz", "7", environment={"GRIDLO_FUZZ_FINDINGS": "kept"}, cwd=checkout.directory
            )
            self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
            crash = findings / "fuzz_crashes" / "crash-da39a3ee"
            self.assertEqual(crash.read_text(), "boom")
            output = (findings / "fuzz_crashes/output.txt").read_text()
            self.assertIn("heap-buffer-overflow", output)
            self.assertIn(str(crash), result.stdout)
            self.assertIn("ERROR: AddressSanitizer: heap-buffer-overflow", result.stdout)
            self.assertFalse((findings / "fuzz_holds").exists(), "a target without findings")
            (holds,) = checkout.calls("fuzz_holds")
            self.assertIn("-max_total_time=7 ", holds)
            self.assertIn(f"-artifact_prefix={findings}/fuzz_holds/ ", holds)

    def test_targets_without_findings_pass_and_leave_nothing(self):
        with Checkout(Options.dev) as checkout:
            self.targets(checkout, ["fuzz_holds", "fuzz_holds_too"])
            result = checkout.dev("fuzz", "1")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertEqual(len(checkout.calls("fuzz_holds")), 1)
            self.assertEqual(len(checkout.calls("fuzz_holds_too")), 1)
            findings = checkout.root / "build-asan/fuzz-findings"
            self.assertEqual(list(findings.rglob("*")), [])

    def test_without_a_folder_named_the_findings_stay_beside_the_build(self):
        with Checkout(Options.dev) as checkout:
            self.targets(checkout, ["fuzz_crashes"])
            result = checkout.dev("fuzz", "1")
            self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
            crash = checkout.root / "build-asan/fuzz-findings/fuzz_crashes/crash-da39a3ee"
            self.assertTrue(crash.is_file(), result.stdout)


class NginxInstall(unittest.TestCase):
    """"./dev load" installs nginx-light without leaving a system web server behind."""

    NGINX = ("nginx-light", "nginx-common")

    def load(self, checkout, environment=None):
        result = checkout.dev("load", "--seconds", "1", environment=environment)
        return result, result.stdout + result.stderr

    def test_the_service_is_kept_from_starting_and_left_disabled(self):
        with Checkout(Options.dev, missing_packages=self.NGINX) as checkout:
            result, output = self.load(checkout)
            self.assertEqual(result.returncode, 0, output)
            self.assertIn("policy-rc.d nginx start: 101", checkout.log(), "during the install")
            self.assertFalse(checkout.policy_rc_d.exists(), "the policy went with the install")
            self.assertIn("systemctl disable --quiet nginx.service", checkout.log())
            self.assertIn("update-rc.d nginx disable", checkout.log())
            self.assertIn("kept from starting", output)
            self.assertIn("left disabled; the load run starts an nginx of its own", output)
            (load,) = checkout.calls("python3")
            self.assertIn("bench/load/load.py build-load/frontend/console/Gridlo --seconds 1", load)

    def test_the_machines_own_policy_stays_as_it_was(self):
        own = "#!/bin/sh\n# the machine's\nexit 101\n"
        with self.subTest("a policy that forbids"):
            with Checkout(Options.dev, missing_packages=self.NGINX) as checkout:
                Checkout.write_program(checkout.policy_rc_d, own)
                result, output = self.load(checkout)
                self.assertEqual(result.returncode, 0, output)
                self.assertIn("policy-rc.d nginx start: 101", checkout.log())
                self.assertEqual(checkout.policy_rc_d.read_text(), own)
                self.assertIn("systemctl disable --quiet nginx.service", checkout.log())
        with self.subTest("a link to nothing, which nothing is written through"):
            with Checkout(Options.dev, missing_packages=self.NGINX) as checkout:
                target = checkout.directory / "elsewhere"
                checkout.policy_rc_d.symlink_to(target)
                result, output = self.load(checkout)
                self.assertEqual(result.returncode, 0, output)
                self.assertTrue(checkout.policy_rc_d.is_symlink())
                self.assertFalse(target.exists())
                self.assertIn("systemctl disable --quiet nginx.service", checkout.log())

    def test_a_failed_install_leaves_no_policy_behind(self):
        with Checkout(Options.dev, missing_packages=self.NGINX) as checkout:
            result, output = self.load(checkout, environment={"STUB_APT_FAILS": "1"})
            self.assertNotEqual(result.returncode, 0, output)
            self.assertFalse(checkout.policy_rc_d.exists())
            self.assertEqual(checkout.calls("python3"), [], "no load run")

    def test_an_nginx_that_is_there_is_left_alone(self):
        cases = [
            # Installed already: nothing to install, no service touched.
            ((), []),
            # Another nginx's service was there before: installed, its service left as it was.
            (("nginx-light",), ["install"]),
        ]
        for missing, installs in cases:
            with self.subTest(missing=missing), Checkout(Options.dev, missing) as checkout:
                result, output = self.load(checkout)
                self.assertEqual(result.returncode, 0, output)
                done = [call.split()[1] for call in checkout.calls("apt-get")]
                self.assertEqual([call for call in done if call == "install"], installs)
                self.assertEqual(checkout.calls("systemctl"), [])
                self.assertEqual(checkout.calls("update-rc.d"), [])
                self.assertFalse(checkout.policy_rc_d.exists())


class RunBuild(unittest.TestCase):
    """"./dev run" builds both programs, so that the windowed one the README names is there."""

    def test_the_console_and_the_windowed_program_are_built(self):
        with Checkout(Options.dev) as checkout:
            Checkout.write_program(checkout.root / "build/frontend/console/Gridlo", "#!/bin/sh\n")
            result = checkout.dev("run", environment={"JOBS": "3"})
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            builds = [call.split() for call in checkout.calls("cmake") if " --build " in call]
            self.assertEqual(len(builds), 1, builds)
            (build,) = builds
            self.assertEqual(build[:4], ["cmake", "--build", "build", "-j"])
            targets = build[build.index("--target") + 1:]
            self.assertEqual(sorted(targets), ["Gridlo", "XGridlo"])


class LoadHelp(unittest.TestCase):
    """"./dev load --help" prints the load run's options and installs, builds and runs
    nothing: only load.py is asked, which prints them and ends."""

    def checkout_with_the_load_run(self, checkout):
        shutil.copytree(pathlib.Path(Options.dev).parent / "bench/load", checkout.root / "bench/load")
        # The real interpreter behind the logging stub, so that load.py prints its help.
        Checkout.write_program(
            checkout.bin / "python3",
            f'#!/bin/sh\necho "python3 $*" >> "$STUB_STATE/log"\nexec "{sys.executable}" "$@"\n',
        )

    def test_the_options_are_printed_and_nothing_is_touched(self):
        cases = [
            ["--help"],
            ["-h"],
            ["--hel"],  # as argparse reads an abbreviation
            ["--only", "static", "--help"],
            ["--seconds", "1", "-h", "--compare", "/nowhere/Gridlo"],
        ]
        for arguments in cases:
            with self.subTest(arguments=arguments), Checkout(
                Options.dev, missing_packages=("wrk", "nginx-light", "nginx-common")
            ) as checkout:
                self.checkout_with_the_load_run(checkout)
                result = checkout.dev("load", *arguments)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertTrue(result.stdout.startswith("usage: load.py "), result.stdout)
                for option in ["--compare", "--seconds", "--connections", "--only"]:
                    self.assertIn(option, result.stdout)
                self.assertNotIn("install", result.stdout + result.stderr)
                self.assertEqual(
                    checkout.log(),
                    ["python3 bench/load/load.py build-load/frontend/console/Gridlo "
                     + " ".join(arguments)],
                    "no package asked for or installed, nothing configured or built",
                )
                self.assertFalse((checkout.root / "build-load").exists())

    def test_a_run_that_asks_for_no_help_still_installs_and_builds(self):
        # After "--", "-h" is no option but an argument.
        for arguments in [["--seconds", "1"], ["--only", "static", "--", "-h"], ["--only", "-"]]:
            with self.subTest(arguments=arguments), Checkout(
                Options.dev, missing_packages=("wrk",)
            ) as checkout:
                checkout.dev("load", *arguments)
                installs = [call for call in checkout.calls("apt-get") if " install " in call]
                self.assertEqual(len(installs), 1, checkout.log())
                self.assertIn(" wrk", installs[0])
                self.assertIn("cmake --build build-load -j", " ".join(checkout.calls("cmake")))


class Bench(unittest.TestCase):
    """A filter runs what it matches and says nothing of the programs it does not select."""

    def setUp(self):
        if not Options.bench:
            self.skipTest("no benchmark programs given (--bench)")

    def checkout_with_benchmarks(self, checkout):
        for program in Options.bench:
            link = checkout.root / "build/bench" / pathlib.Path(program).name
            link.parent.mkdir(parents=True, exist_ok=True)
            link.symlink_to(program)

    def test_programs_the_filter_does_not_select_stay_silent(self):
        with Checkout(Options.dev) as checkout:
            self.checkout_with_benchmarks(checkout)
            result = checkout.dev("bench", "BM_SessionMemory/get")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn("BM_SessionMemory/get", result.stdout)
            self.assertNotIn("Failed to match", result.stdout + result.stderr)

    def test_a_filter_that_matches_nothing_fails(self):
        with Checkout(Options.dev) as checkout:
            self.checkout_with_benchmarks(checkout)
            result = checkout.dev("bench", "BM_NoSuchBenchmark")
            self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
            self.assertIn("no benchmark matches 'BM_NoSuchBenchmark'", result.stderr)
            self.assertNotIn("Failed to match", result.stdout + result.stderr)


# Writes the address Gridlo hands to its browser launcher beside itself; the rename makes
# the file appear complete or not at all.
STUB_LAUNCHER = """#!/bin/sh
printf '%s' "$1" > "$(dirname "$0")/opened.part"
mv "$(dirname "$0")/opened.part" "$(dirname "$0")/opened"
"""
START_TIMEOUT = 60.0


class Run(unittest.TestCase):
    """"./dev run" starts the real Gridlo in build/www, so that the checkout is not served."""

    def setUp(self):
        if not Options.gridlo:
            self.skipTest("no Gridlo program given (--gridlo)")

    def test_the_checkout_is_not_served_but_what_the_user_puts_in_build_www(self):
        with Checkout(Options.dev) as checkout:
            program = checkout.root / "build/frontend/console/Gridlo"
            program.parent.mkdir(parents=True)
            program.symlink_to(Options.gridlo)
            (checkout.root / "README.md").write_text("the checkout's README\n")
            (checkout.root / "build/CMakeCache.txt").write_text("the build's cache\n")
            Checkout.write_program(checkout.bin / "xdg-open", STUB_LAUNCHER)
            with open(checkout.directory / "gridlo.out", "wb") as output:
                gridlo = subprocess.Popen(
                    [str(checkout.root / "dev"), "run"],
                    cwd=checkout.root,
                    env=checkout.environment(),
                    stdin=subprocess.PIPE,
                    stdout=output,
                    stderr=subprocess.STDOUT,
                )
            try:
                port = self.port(checkout, gridlo)
                for path in ["/README.md", "/dev", "/build/CMakeCache.txt"]:
                    with self.subTest(path=path):
                        status, body = self.get(port, path)
                        self.assertEqual(status, 404, body[:200])
                www = checkout.root / "build/www"
                self.assertTrue(www.is_dir())
                self.assertEqual(list(www.iterdir()), [], "made empty")
                (www / "mine.txt").write_text("the user's own\n")
                self.assertEqual(self.get(port, "/mine.txt"), (200, b"the user's own\n"))
                gridlo.stdin.write(b"quit\n")
                gridlo.stdin.close()
                self.assertEqual(gridlo.wait(timeout=START_TIMEOUT), 0)
                self.assertEqual(sorted(p.name for p in www.iterdir()), ["mine.txt"])
            finally:
                if gridlo.poll() is None:
                    gridlo.kill()
                    gridlo.wait()

    def port(self, checkout, gridlo):
        opened = checkout.bin / "opened"
        deadline = time.monotonic() + START_TIMEOUT
        while not opened.exists():
            if gridlo.poll() is not None or time.monotonic() > deadline:
                output = (checkout.directory / "gridlo.out").read_text(errors="replace")
                self.fail(f"no start page reached the browser launcher\n{output}")
            time.sleep(0.05)
        address = opened.read_text()
        self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/$")
        return int(address.rsplit(":", 1)[1].rstrip("/"))

    @staticmethod
    def get(port, path):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=START_TIMEOUT)
        try:
            connection.request("GET", path)
            answer = connection.getresponse()
            return answer.status, answer.read()
        finally:
            connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dev", required=True)
    parser.add_argument("--gridlo")
    parser.add_argument("--bench", action="append", default=[])
    known, rest = parser.parse_known_args()
    Options.dev = known.dev
    Options.gridlo = known.gridlo
    Options.bench = known.bench
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
