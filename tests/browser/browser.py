"""Headless Chromium for the browser tests, driven through Selenium.

    from browser import Browser, By

    with Browser(work_dir) as browser:
        browser.driver.get("http://127.0.0.1:8080/")
        browser.driver.find_element(By.CSS_SELECTOR, "#cell").click()
        browser.wait_for(lambda: browser.driver.title == "done", "the title")

Selenium's Service starts chromedriver, in a session of its own; `close` (also on an
exception inside the with block) ends the browser session and chromedriver through Selenium,
then ends and reaps every process that Chromium left behind. The browser runs in a profile
directory of its own under work_dir.
"""

import json
import os
import pathlib
import shutil
import sys

import children

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.remote.remote_connection import RemoteConnection
    from selenium.webdriver.support.wait import WebDriverWait
except ImportError:
    # missing_browser() says so, and the test programs skip before they use any of it.
    webdriver = By = None

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

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
COMMAND_TIMEOUT = 120.0
PAGE_LOAD_TIMEOUT = 60.0
SCRIPT_TIMEOUT = 30.0
WAIT_TIMEOUT = 60.0
POLL_STEP = 0.05


def missing_browser():
    """Why no browser test can run here, or None when Chromium, chromedriver and Selenium
    are there."""
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            return f"{program} is not installed"
    if webdriver is None:
        return f"Selenium is not installed for {sys.executable}"
    return None


class Browser(children.Owner):
    def __init__(self, work_dir, window_size=(1280, 1024)):
        self.work_dir = pathlib.Path(work_dir)
        self.window_size = window_size
        self.driver_log = self.work_dir / "chromedriver.log"
        self.profile = self.work_dir / "chromium-profile"
        self.service = None
        self.driver = None
        self.network = []  # the network events logged so far

    def start(self):
        self.work_dir.mkdir(parents=True, exist_ok=True)
        shutil.rmtree(self.profile, ignore_errors=True)
        self.profile.mkdir()
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        width, height = self.window_size
        for flag in CHROMIUM_FLAGS + [
            f"--user-data-dir={self.profile}",
            f"--window-size={width},{height}",
        ]:
            options.add_argument(flag)
        # "performance" holds the network events, with the fields of each request as sent.
        options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
        # chromedriver listens on the loopback; a proxy from the environment is not for it.
        options.ignore_local_proxy_environment_variables()
        # A session of its own, so that chromedriver and the Chromium it starts form one
        # process group that close() can end as a whole.
        self.service = Service(
            executable_path=CHROMEDRIVER,
            log_path=str(self.driver_log),
            popen_kw={"start_new_session": True},
        )
        RemoteConnection.set_timeout(COMMAND_TIMEOUT)
        self.driver = webdriver.Chrome(service=self.service, options=options)
        self.driver.set_page_load_timeout(PAGE_LOAD_TIMEOUT)
        self.driver.set_script_timeout(SCRIPT_TIMEOUT)

    def close(self):
        """Ends the session, chromedriver and every Chromium process, and reaps them; safe
        to call more than once."""
        if self.driver is not None:
            try:
                self.driver.quit()
            except (WebDriverException, OSError):
                pass  # the group is ended below in any case
            self.driver = None
        process = getattr(self.service, "process", None)
        if process is not None:
            children.track(process)
            children.end_group(process)
        self.service = None
        shutil.rmtree(self.profile, ignore_errors=True)

    def collect_network_log(self):
        """Moves the network events the browser has logged since the last call into
        self.network, before its log runs out of room."""
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"].startswith("Network.requestWillBeSent"):
                self.network.append(message)

    def sent_requests(self):
        """Every request the browser has sent over the network so far, in the order it was
        sent: (address, fields), the names of the fields lower-cased."""
        self.collect_network_log()
        addresses = {}
        sent = []
        for message in self.network:
            params = message["params"]
            if message["method"] == "Network.requestWillBeSent":
                addresses[params["requestId"]] = params["request"]["url"]
            elif message["method"] == "Network.requestWillBeSentExtraInfo":
                fields = {name.lower(): value for name, value in params["headers"].items()}
                sent.append((params["requestId"], fields))
        return [(addresses.get(request), fields) for request, fields in sent]

    def wait_for(self, condition, what, timeout=WAIT_TIMEOUT):
        """Polls condition() until it returns a true value, and returns that value. A
        WebDriverException while polling (the page is being replaced) counts as "not yet"."""
        seen = []

        def check(_driver):
            try:
                value = condition()
            except WebDriverException as failure:
                seen[:] = [failure]
                raise
            seen[:] = [value]
            return value

        wait = WebDriverWait(
            self.driver, timeout, poll_frequency=POLL_STEP, ignored_exceptions=(WebDriverException,)
        )
        try:
            return wait.until(check)
        except TimeoutException:
            last = seen[0] if seen else None
            message = f"waited {timeout:.0f} s for {what}; last seen: {last!r}"
            raise AssertionError(message) from None
