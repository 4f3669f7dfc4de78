#!/usr/bin/env python3
"""Tests of the WebDriver client and its process handling against a small page served from
this process. They pin what the game test relies on: a click that loads a new page is told
apart from one that changes the page in place, computed styles are read, and the browser
log does report script errors and failed loads (a log reader that saw nothing would let
every "no errors" check pass)."""

import http.server
import os
import pathlib
import threading
import unittest

import children
import testmain
import webdriver

PAGE = b"""<!DOCTYPE html>
<html><head><title>start</title><link rel="stylesheet" href="style.css">
<script>
function inPlace() {
  var request = new XMLHttpRequest();
  request.onload = function () { eval(this.responseText); };
  request.open("post", "/script", true);
  request.send();
}
</script></head>
<body>
<img id="reload" src="data:image/gif;base64,R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==" width="50" height="50"
     onclick="window.location.href = '/next'">
<button id="inplace" onclick="inPlace()">in place</button>
<p id="text">before</p>
</body></html>
"""

NEXT = b"""<!DOCTYPE html><html><head><title>next</title></head><body>next</body></html>"""

BROKEN = b"""<!DOCTYPE html><html><head><title>broken</title></head><body>
<img src="/missing.png"><script>notDefinedAnywhere();</script></body></html>"""

FILES = {
    "/": ("text/html", PAGE),
    "/next": ("text/html", NEXT),
    "/broken": ("text/html", BROKEN),
    "/style.css": ("text/css", b"body { background-color: #F0F0F0; }"),
}


class Handler(http.server.BaseHTTPRequestHandler):
    def answer(self, status, kind, body):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/favicon.ico":
            self.answer(200, "image/x-icon", b"")
        elif self.path in FILES:
            self.answer(200, *FILES[self.path])
        else:
            self.answer(404, "text/plain", b"not here")

    def do_POST(self):
        self.answer(200, "text/javascript", b'document.getElementById("text").innerHTML="after";')

    def log_message(self, *args):
        pass


class WebDriverClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        cls.server_thread = threading.Thread(target=cls.server.serve_forever)
        cls.server_thread.start()
        cls.address = f"http://127.0.0.1:{cls.server.server_address[1]}"
        cls.browser = webdriver.Browser(pathlib.Path(testmain.Options.out) / "webdriver")
        try:
            cls.browser.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.server.shutdown()
        cls.server_thread.join()
        cls.server.server_close()

    def setUp(self):
        self.browser.open(self.address + "/")
        self.browser.log()  # start each test with an empty log

    def test_a_click_that_loads_a_page_drops_the_window_marker(self):
        self.browser.run("window.marker = 'kept';")
        self.browser.find("#reload").click()
        self.browser.wait_for(lambda: self.browser.title() == "next", "the next page")
        self.assertIsNone(self.browser.run("return window.marker;"))

    def test_an_answer_run_as_script_changes_the_page_in_place(self):
        self.browser.run("window.marker = 'kept';")
        self.browser.find("#inplace").click()
        self.browser.wait_for(
            lambda: self.browser.find("#text").text() == "after", "the text the script sets"
        )
        self.assertEqual(self.browser.run("return window.marker;"), "kept")

    def test_computed_style_and_screenshot(self):
        colour = self.browser.run("return getComputedStyle(document.body).backgroundColor;")
        self.assertEqual(colour, "rgb(240, 240, 240)")
        shot = self.browser.screenshot(pathlib.Path(testmain.Options.out) / "webdriver.png")
        self.assertEqual(shot.read_bytes()[:8], b"\x89PNG\r\n\x1a\n")

    def test_the_log_reports_script_errors_and_failed_loads(self):
        self.browser.open(self.address + "/broken")
        entries = self.browser.wait_for(
            lambda: [e for e in self.browser.log() if e["level"] == "SEVERE"] or None,
            "errors in the browser log",
        )
        messages = "\n".join(entry["message"] for entry in entries)
        self.assertIn("notDefinedAnywhere", messages)
        # The failed image load may be logged a moment later than the script error.
        if "missing.png" not in messages:
            more = self.browser.wait_for(
                lambda: [e for e in self.browser.log() if "missing.png" in e["message"]],
                "the failed load in the browser log",
            )
            self.assertTrue(more)

    def test_wait_for_names_what_it_waited_for(self):
        with self.assertRaisesRegex(AssertionError, "something that never comes"):
            self.browser.wait_for(lambda: False, "something that never comes", timeout=0.2)

    def test_a_missing_element_is_a_webdriver_error(self):
        with self.assertRaises(webdriver.WebDriverError) as raised:
            self.browser.find("#nowhere")
        self.assertEqual(raised.exception.error, "no such element")


class ProcessHandling(unittest.TestCase):
    def test_close_ends_and_reaps_chromedriver_and_chromium(self):
        before = set(children.running())
        browser = webdriver.Browser(pathlib.Path(testmain.Options.out) / "webdriver-close")
        with browser:
            group = browser.driver.pid
            self.assertIn(group, children.running())
        self.assertEqual(set(children.running()), before)
        with self.assertRaises(ProcessLookupError):
            os.killpg(group, 0)


if __name__ == "__main__":
    testmain.main()
