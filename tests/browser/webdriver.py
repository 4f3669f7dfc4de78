"""A small WebDriver client: headless Chromium driven through chromedriver's HTTP protocol,
with nothing but the Python standard library.

    with Browser(work_dir) as browser:
        browser.open("http://127.0.0.1:8080/")
        browser.find("#cell").click()
        browser.wait_for(lambda: browser.run("return document.title") == "done", "the title")

The browser runs in a profile directory of its own under work_dir. `close` (also on an
exception inside the with block) ends the session, chromedriver and every Chromium
process, and reaps them.
"""

import base64
import json
import os
import pathlib
import re
import shutil
import subprocess
import time
import urllib.error
import urllib.request

import children

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# How a WebDriver answer marks an element reference.
ELEMENT_KEY = "element-6066-11e4-a52e-4f735466cecf"

# Chromium tries to reach Google's hosts at every start (updates, sync, field trials); the
# closed network here refuses those connections, so the background traffic is switched off.
# As root Chromium only runs without its sandbox.
CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-dev-shm-usage",
]

# Generous: the machine may be busy with a parallel build or a sanitizer run.
START_TIMEOUT = 60.0
COMMAND_TIMEOUT = 120.0
WAIT_TIMEOUT = 60.0


class WebDriverError(Exception):
    """A command that chromedriver answered with an error, or could not answer."""

    def __init__(self, error, message):
        super().__init__(f"{error}: {message}")
        self.error = error


def missing_browser():
    """Why no browser test can run here, or None when Chromium and chromedriver are there."""
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            return f"{program} is not installed"
    return None


class Element:
    """A reference to one element of the current page."""

    def __init__(self, browser, reference):
        self.browser = browser
        self.reference = reference

    def click(self):
        self.browser.command("POST", f"/element/{self.reference}/click", {})

    def attribute(self, name):
        return self.browser.command("GET", f"/element/{self.reference}/attribute/{name}")

    def text(self):
        return self.browser.command("GET", f"/element/{self.reference}/text")

    def as_argument(self):
        return {ELEMENT_KEY: self.reference}


class Browser(children.Owner):
    def __init__(self, work_dir, window_size=(1280, 1024)):
        self.work_dir = pathlib.Path(work_dir)
        self.window_size = window_size
        self.driver = None
        self.driver_log = self.work_dir / "chromedriver.log"
        self.profile = self.work_dir / "chromium-profile"
        self.base = None
        self.session = None

    # ---- start and stop ------------------------------------------------------------

    def start(self):
        self.work_dir.mkdir(parents=True, exist_ok=True)
        shutil.rmtree(self.profile, ignore_errors=True)
        self.profile.mkdir()
        with open(self.driver_log, "wb") as log:
            # A session of its own, so that chromedriver and the Chromium it starts form one
            # process group that close() can end as a whole.
            self.driver = children.start(
                [CHROMEDRIVER, "--port=0"],
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
            )
        port = self._wait_for_port()
        self.base = f"http://127.0.0.1:{port}"
        width, height = self.window_size
        options = {
            "binary": CHROMIUM,
            "args": CHROMIUM_FLAGS
            + [f"--user-data-dir={self.profile}", f"--window-size={width},{height}"],
        }
        capabilities = {
            "browserName": "chrome",
            "goog:chromeOptions": options,
            "goog:loggingPrefs": {"browser": "ALL"},
            "timeouts": {"implicit": 0, "pageLoad": 60000, "script": 30000},
        }
        answer = self._request("POST", "/session", {"capabilities": {"alwaysMatch": capabilities}})
        self.session = answer["sessionId"]

    def _wait_for_port(self):
        deadline = time.monotonic() + START_TIMEOUT
        pattern = re.compile(rb"started successfully on port (\d+)")
        while time.monotonic() < deadline:
            found = pattern.search(self.driver_log.read_bytes())
            if found:
                return int(found.group(1))
            if self.driver.poll() is not None:
                break
            time.sleep(0.05)
        raise WebDriverError("chromedriver did not start", self.driver_output())

    def driver_output(self):
        try:
            return self.driver_log.read_text(errors="replace")
        except OSError:
            return ""

    def close(self):
        """Ends the session and every process; safe to call more than once."""
        if self.session is not None:
            try:
                self._request("DELETE", f"/session/{self.session}", timeout=30)
            except (WebDriverError, OSError):
                pass  # the group is killed below in any case
            self.session = None
        if self.driver is not None:
            children.end_group(self.driver)
            self.driver = None
        shutil.rmtree(self.profile, ignore_errors=True)

    # ---- protocol ------------------------------------------------------------------

    def _request(self, method, path, body=None, timeout=COMMAND_TIMEOUT):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(
            self.base + path,
            data=data,
            method=method,
            headers={"Content-Type": "application/json; charset=utf-8"},
        )
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                answer = json.loads(response.read() or b"null")
        except urllib.error.HTTPError as failure:
            answer = json.loads(failure.read() or b"null")
        except (urllib.error.URLError, OSError) as failure:
            raise WebDriverError("no answer from chromedriver", f"{method} {path}: {failure}")
        value = answer.get("value") if isinstance(answer, dict) else None
        if isinstance(value, dict) and "error" in value:
            raise WebDriverError(value["error"], value.get("message", ""))
        return value

    def command(self, method, path, body=None):
        """A command of the current session: path is relative to /session/{id}."""
        return self._request(method, f"/session/{self.session}{path}", body)

    # ---- what a test uses ----------------------------------------------------------

    def open(self, url):
        self.command("POST", "/url", {"url": url})

    def url(self):
        return self.command("GET", "/url")

    def title(self):
        return self.command("GET", "/title")

    def find(self, css):
        """The first element that matches the selector; WebDriverError when there is none."""
        found = self.command("POST", "/element", {"using": "css selector", "value": css})
        return Element(self, found[ELEMENT_KEY])

    def run(self, script, *arguments):
        """Runs a function body in the page and returns what it returns."""
        return self.command("POST", "/execute/sync", {"script": script, "args": list(arguments)})

    def wait_for(self, condition, what, timeout=WAIT_TIMEOUT):
        """Polls condition() until it returns a true value, and returns that value. A
        WebDriverError while polling (the page is being replaced) counts as "not yet"."""
        deadline = time.monotonic() + timeout
        last = None
        while True:
            try:
                value = condition()
                if value:
                    return value
                last = value
            except WebDriverError as failure:
                last = failure
            if time.monotonic() > deadline:
                raise AssertionError(f"waited {timeout:.0f} s for {what}; last seen: {last!r}")
            time.sleep(0.05)

    def screenshot(self, path):
        path = pathlib.Path(path)
        path.write_bytes(base64.b64decode(self.command("GET", "/screenshot")))
        return path

    def log(self):
        """The browser's console and error log since the last call: a list of entries with
        "level", "source" and "message"."""
        return self.command("POST", "/se/log", {"type": "browser"})
