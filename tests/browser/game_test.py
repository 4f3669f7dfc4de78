#!/usr/bin/env python3
"""Tic-tac-toe in a real browser: the Gridlo console program serves the game, headless
Chromium opens the start address the program hands to its browser launcher, and the test
plays by clicking cells in each scheme in turn (GET, POST, Widget), switching with the
page's own scheme links. One session runs through all of it; "quit" ends the program.
Every request the pages make must go out as their own (Sec-Fetch-Site "same-origin"), the
start page as an address a launcher hands over ("none").

Screenshots of each scheme land in the build tree (--out) for a person to look at."""

import pathlib
import unittest

import testmain
from browser import Browser, By
from gridlo_program import GridloProgram

CELLS = ["11", "12", "13", "21", "22", "23", "31", "32", "33"]
EMPTY, CROSS, RING = "leer.png", "kreuz.png", "kreis.png"
RESTART = "Restart Game"

# Each game: the cells the user clicks, each with the cell the program answers (None when
# X has just won and the program does not answer), and the result text.
GAMES = {
    "X wins": ([("11", "23"), ("13", "12"), ("22", "31"), ("33", None)], "X wins, Restart Game"),
    "O wins": ([("11", "23"), ("12", "13"), ("21", "33")], "O wins, Restart Game"),
    "draw": (
        [("11", "23"), ("13", "12"), ("22", "31"), ("32", "21")],
        "nobody wins, Restart Game",
    ),
}


class Scheme:
    def __init__(self, name, switch_link, reloads, games):
        self.name = name
        self.switch_link = switch_link  # the link on the previous scheme's page
        self.reloads = reloads  # whether a click loads a new page
        self.games = games  # the first one is on the screenshot
        self.title = f"Online-Game ({name}) - Framework NuxelFrame"


SCHEMES = [
    Scheme("GET", None, True, ["X wins", "O wins", "draw"]),
    Scheme("POST", "#playpost", True, ["O wins", "draw", "X wins"]),
    Scheme("Widget", "#playwidget", False, ["draw", "X wins", "O wins"]),
]

# Kept in the page's window: gone after a page load, there as long as the page stays.
MARK_PAGE = "window.gridloTestMark = arguments[0];"
READ_MARK = "return window.gridloTestMark === undefined ? null : window.gridloTestMark;"

# Records every background answer the page receives, so that the test sees what the
# Widget scheme's clicks bring back.
RECORD_ANSWERS = """
window.gridloAnswers = [];
var send = XMLHttpRequest.prototype.send;
XMLHttpRequest.prototype.send = function () {
  this.addEventListener("load", function () { window.gridloAnswers.push(this.responseText); });
  return send.apply(this, arguments);
};
"""

# What the page shows, read in one round trip.
READ_PAGE = """
var board = {}, armed = [];
for (var image of document.querySelectorAll("img[id^='i']")) {
  board[image.id.substring(1)] = image.getAttribute("src");
  if (image.getAttribute("onclick")) armed.push(image.id.substring(1));
}
var restart = document.getElementById("restart");
return {
  mark: window.gridloTestMark === undefined ? null : window.gridloTestMark,
  loaded: document.readyState === "complete",
  board: board,
  armed: armed,
  text: restart ? restart.innerText.trim() : null,
  path: location.pathname,
  query: location.search,
  answers: window.gridloAnswers ? window.gridloAnswers.length : 0
};
"""

# Whether every cell image has loaded as a 50 x 50 picture.
IMAGES_LOADED = """
var images = Array.from(document.querySelectorAll("img[id^='i']"));
return images.length === 9 && images.every(function (image) {
  return image.complete && image.naturalWidth === 50 && image.naturalHeight === 50;
});
"""


def board_after(moves):
    board = {cell: EMPTY for cell in CELLS}
    for cross, ring in moves:
        board[cross] = CROSS
        if ring is not None:
            board[ring] = RING
    return board


class GameInBrowser(unittest.TestCase):
    def setUp(self):
        out = pathlib.Path(testmain.Options.out)
        self.out = out
        self.gridlo = GridloProgram(testmain.Options.gridlo, out / "gridlo")
        self.addCleanup(self.gridlo.close)
        self.gridlo.start()
        self.browser = Browser(out / "browser")
        self.addCleanup(self.browser.close)
        self.browser.start()
        self.driver = self.browser.driver
        self.page_number = 0

    # ---- steps -------------------------------------------------------------------------

    def click(self, css, loads_page):
        """Clicks the element. When the click loads a page, waits until the next page has
        loaded and returns what it shows."""
        if not loads_page:
            self.driver.find_element(By.CSS_SELECTOR, css).click()
            return None
        self.page_number += 1
        self.driver.execute_script(MARK_PAGE, self.page_number)
        self.driver.find_element(By.CSS_SELECTOR, css).click()
        return self.browser.wait_for(
            lambda: self.page_if(lambda page: page["mark"] is None and page["loaded"]),
            f"the page that the click on {css} loads",
        )

    def page_if(self, condition):
        """What the page shows when it meets the condition, else None."""
        page = self.driver.execute_script(READ_PAGE)
        return page if condition(page) else None

    def expect(self, page, board, text, scheme, what):
        """The page shows the board and the text: at once after a page load, and as soon as
        the background answer has arrived in the Widget scheme. Returns what it shows."""
        if scheme.reloads:
            page = page or self.driver.execute_script(READ_PAGE)
            self.assertEqual(page["board"], board, what)
            self.assertEqual(page["text"], text, what)
            return page
        page = self.browser.wait_for(
            lambda: self.page_if(lambda page: page["board"] == board and page["text"] == text),
            what,
        )
        self.assertEqual(page["mark"], scheme.name, "the page was reloaded")
        # A played cell no longer reports clicks; restart arms every cell again.
        free = [cell for cell in CELLS if board[cell] == EMPTY]
        self.assertEqual(page["armed"], free, f"{what}: the cells that take a click")
        return page

    def check_page(self, scheme):
        self.assertEqual(self.driver.title, scheme.title)
        self.assertEqual(
            self.driver.execute_script("return getComputedStyle(document.body).backgroundColor;"),
            "rgb(240, 240, 240)",
            "the style sheet is applied",
        )
        self.browser.wait_for(lambda: self.driver.execute_script(IMAGES_LOADED), "the cell images")

    def check_log(self, scheme):
        errors = [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]
        self.assertEqual(errors, [], f"errors in the browser log in the {scheme.name} scheme")
        self.browser.collect_network_log()

    def check_sites(self, address):
        """The start page went out as a launcher opens it, an address handed to the browser
        (Sec-Fetch-Site "none"), and every other request as the pages' own ("same-origin"):
        the program serves another site's requests only as top-level navigations."""
        sent = [
            (url, fields)
            for url, fields in self.browser.sent_requests()
            if url and url.startswith(address)
        ]
        self.assertTrue(sent, "no request of the game in the browser's network log")
        url, fields = sent[0]
        self.assertEqual(url, address)
        marks = tuple(fields.get(f"sec-fetch-{name}") for name in ("site", "mode", "dest"))
        self.assertEqual(marks, ("none", "navigate", "document"), "the start page")
        others = [(url, fields.get("sec-fetch-site")) for url, fields in sent[1:]]
        self.assertEqual(
            [(url, site) for url, site in others if site != "same-origin"],
            [],
            "requests the browser did not mark as the pages' own",
        )

    def play(self, scheme, game):
        moves, result = GAMES[game]
        answers_before = self.driver.execute_script(READ_PAGE)["answers"]
        for number, (cross, ring) in enumerate(moves, 1):
            page = self.click(f"#i{cross}", scheme.reloads)
            last = number == len(moves)
            page = self.expect(
                page,
                board_after(moves[:number]),
                result if last else RESTART,
                scheme,
                f"{scheme.name} scheme, game '{game}', after the click on {cross}",
            )
            if scheme.reloads:
                self.check_request(scheme, page, f"f{cross}")
        if not scheme.reloads:
            self.check_answers(moves, answers_before)
        self.browser.wait_for(lambda: self.driver.execute_script(IMAGES_LOADED), "the cell images")
        self.click_after_the_end(scheme, game, board_after(moves), result)

    def click_after_the_end(self, scheme, game, board, result):
        """Once the game is over, a click on a free cell changes nothing."""
        free = next(cell for cell in CELLS if board[cell] == EMPTY)
        answers = self.driver.execute_script(READ_PAGE)["answers"]
        page = self.click(f"#i{free}", scheme.reloads)
        what = f"{scheme.name} scheme, game '{game}', a click on {free} after the end"
        if not scheme.reloads:
            self.browser.wait_for(
                lambda: self.page_if(lambda page: page["answers"] > answers), f"the answer to {what}"
            )
            last = self.driver.execute_script(
                "return window.gridloAnswers[window.gridloAnswers.length - 1];"
            )
            self.assertEqual(last, "// NuxelWidget handler\n", what)
        self.expect(page, board, result, scheme, what)

    def check_request(self, scheme, page, path):
        """GET carries the session in the address; POST sends it in the form's body."""
        self.assertEqual(page["path"], f"/{path}")
        query = f"?nuxelid={self.session}" if scheme.name == "GET" else ""
        self.assertEqual(page["query"], query)

    def check_answers(self, moves, before):
        """In the Widget scheme every click came back as JavaScript that sets the images."""
        self.browser.wait_for(
            lambda: self.page_if(lambda page: page["answers"] >= before + len(moves)),
            "one background answer per click",
        )
        answers = self.driver.execute_script("return window.gridloAnswers;")[before:]
        self.assertEqual(len(answers), len(moves), "one background answer per click")
        for answer, (cross, ring) in zip(answers, moves):
            self.assertTrue(answer.startswith("// NuxelWidget handler\n"), answer)
            self.assertIn(f'document.getElementById("i{cross}").setAttribute("src","{CROSS}");', answer)
            if ring is not None:
                self.assertIn(
                    f'document.getElementById("i{ring}").setAttribute("src","{RING}");', answer
                )

    def restart(self, scheme):
        page = self.click("#NeuStarten", scheme.reloads)
        self.expect(page, board_after([]), RESTART, scheme, f"{scheme.name} scheme after Restart Game")

    # ---- the test ----------------------------------------------------------------------

    def test_play_every_scheme_then_quit(self):
        address = self.gridlo.start_address()
        self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/$")
        self.driver.get(address)
        self.session = self.driver.execute_script("return nuxelid;")
        self.assertRegex(self.session, r"^nuxelid\d{18}$")

        for scheme in SCHEMES:
            if scheme.switch_link:
                self.click(scheme.switch_link, loads_page=True)
            self.check_page(scheme)
            session = self.driver.execute_script("return nuxelid;")
            self.assertEqual(session, self.session, "one session")
            if not scheme.reloads:
                self.driver.execute_script(MARK_PAGE, scheme.name)
                self.driver.execute_script(RECORD_ANSWERS)
            self.expect(
                None, board_after([]), RESTART, scheme, f"a new game in the {scheme.name} scheme"
            )
            for number, game in enumerate(scheme.games):
                self.play(scheme, game)
                if number == 0:
                    shot = self.out / f"{scheme.name}.png"
                    self.assertTrue(self.driver.save_screenshot(str(shot)), shot)
                self.restart(scheme)
            self.check_log(scheme)

        # Back from the Widget scheme: a new GET page with a new game.
        self.click("#playget", loads_page=True)
        self.check_page(SCHEMES[0])
        self.expect(None, board_after([]), RESTART, SCHEMES[0], "a new game after the switch back")
        self.check_log(SCHEMES[0])

        self.check_sites(address)

        # The browser still holds its connections when "quit" comes.
        self.assertEqual(self.gridlo.quit(), 0, self.gridlo.output())


if __name__ == "__main__":
    testmain.main()
