#!/usr/bin/python3
"""The page of a record, played in a real browser.

  /usr/bin/python3 bench/page_in_browser.py PAGE OUT [--expect TEXT]...

Opens PAGE (an index.html made by scripts/tour.sh --record or
scripts/exercise.sh check --record) in headless Chromium, driven through
Selenium by chromedriver, the ones Debian packages (scripts/setup.sh browser;
run by Debian's Python, whose Selenium they are), as a reader would use it.
Each run of the page is played at a faster speed: each TEXT must come on its
screen while it plays, in the order given (a TEXT not in one run is looked for
in the next ones); Pause must hold the screen still and Play go on from there;
the screen played to its end must be the one the page showed before Play. Its
trace view's source lines must lead to the lines of the listing, and its
drawing and report are there. Then the page at a phone's width and a
projector's must not scroll sideways, the dark theme must change the page's
background, and with JavaScript off every screen must be shown whole, with no
player. Screenshots (PNG) of each moment go into OUT, numbered in the order
they were taken. Prints a line for each check and each screenshot, and exits
1 when any check failed (2 on a wrong command line).

Everything is bounded: each wait, each play (by the run's own length), and the
whole (BOUND seconds, 900 by default); the browser is always quit and its
profile, made fresh in a temporary folder, removed.
"""

import argparse
import base64
import contextlib
import os
import pathlib
import re
import shutil
import signal
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

SPEEDS = ["0.5", "1", "2", "4", "8"]
POLL = 0.1  # seconds between two looks at a playing screen


class TooLong(BaseException):
    """The whole took longer than its bound. Not an Exception, nor an
    OSError as TimeoutError is: the HTTP client between Selenium and the
    driver takes those for a failed connection, and tries again."""


class Bench:
    def __init__(self, out):
        self.out = out
        self.failed = 0
        self.checks = 0
        self.shots = 0

    def check(self, ok, what):
        self.checks += 1
        if not ok:
            self.failed += 1
        print(("ok    " if ok else "FAIL  ") + what, flush=True)
        return ok

    def note(self, what):
        print("      " + what, flush=True)

    def path(self, name):
        self.shots += 1
        slug = re.sub(r"[^A-Za-z0-9._-]+", "_", name).strip("_")[:80]
        return os.path.join(self.out, "%02d-%s.png" % (self.shots, slug))

    def shot(self, driver, name, what):
        """A screenshot of the window as it is."""
        path = self.path(name)
        driver.save_screenshot(path)
        print("shot  %s: %s" % (path, what), flush=True)

    def shot_of(self, driver, element, name, what):
        """A screenshot of one element, all of it, however far it reaches
        past the window (at most 8000 px of it)."""
        path = self.path(name)
        box = driver.execute_script(
            "const b = arguments[0].getBoundingClientRect();"
            " return [b.left + scrollX, b.top + scrollY, b.width, b.height]", element)
        shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": box[0], "y": box[1], "width": max(1, box[2]),
                     "height": max(1, min(box[3], 8000)), "scale": 1}})
        with open(path, "wb") as file:
            file.write(base64.b64decode(shot["data"]))
        print("shot  %s: %s" % (path, what), flush=True)


def browser(profile, javascript=True):
    """Headless Chromium, with a profile of its own in PROFILE, quiet: no
    network of its own (updates, sync, first-run pages)."""
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--user-data-dir=" + profile, "--window-size=1280,900"]:
        options.add_argument(arg)
    # As root Chromium will not start unless told to go without its
    # sandbox: a page's process shut in a sandbox but still root is hardly
    # shut in, and Chromium refuses rather than pretend. As any other user
    # the sandbox stays on.
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    if not javascript:
        options.add_experimental_option(
            "prefs", {"profile.managed_default_content_settings.javascript": 2})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    env = dict(os.environ)
    # Chromium writes into HOME (caches, fonts' settings): a user with no
    # HOME it can write, nobody say, gets the profile's folder.
    if not os.access(env.get("HOME", "/nonexistent"), os.W_OK):
        env["HOME"] = profile
    with unbroken():
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=env), options=options)
    driver.set_page_load_timeout(60)
    driver.set_script_timeout(30)
    driver.implicitly_wait(0)
    return driver


@contextlib.contextmanager
def unbroken():
    """What must not be cut short by the bound of the whole (which comes
    after it, if it was due meanwhile): the start of a browser and its
    quitting, so that no browser or driver is ever left behind. Each has
    bounds of its own (the driver's for the browser's start, Selenium's to
    end the driver)."""
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})


def quit_browser(driver):
    with unbroken():
        driver.quit()


def wait_for(what, timeout, step=POLL):
    """WHAT's first true value within TIMEOUT seconds, or its last one."""
    end = time.monotonic() + timeout
    while True:
        value = what()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def clock_of(text):
    """The clock's "3.2 s of 14.0 s" as (3.2, 14.0); None when it is not so."""
    match = re.search(r"([0-9]+(?:\.[0-9]+)?) s of ([0-9]+(?:\.[0-9]+)?) s", text or "")
    return (float(match.group(1)), float(match.group(2))) if match else None


def difference(got, want):
    """Where two texts part, for a reader."""
    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return "they part at character %d of %d (played %d): played %r, shown before %r" % (
        at, len(want), len(got), got[max(0, at - 30):at + 30], want[max(0, at - 30):at + 30])


# What a run's player shows: the screen's text, the clock, the button's
# label, and whether the screen's end is in view: the pre scrolled to its
# end, and its bottom inside the window.
STATE = """
const run = arguments[0], pre = run.querySelector('pre.screen');
const button = run.querySelector('.player button.play'), clock = run.querySelector('.player output.clock');
const box = pre.getBoundingClientRect();
return {text: pre.textContent, clock: clock ? clock.textContent : '',
        button: button ? button.textContent.trim() : '',
        scrolled: pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 2,
        inWindow: box.bottom <= window.innerHeight + 1 && box.top < window.innerHeight};
"""

# Whether an element is in view: inside the window, and inside each box
# around it that scrolls.
IN_VIEW = """
const el = arguments[0], box = el.getBoundingClientRect();
if (box.height === 0 || box.top < -1 || box.bottom > window.innerHeight + 1) return false;
for (let up = el.parentElement; up; up = up.parentElement) {
  const o = getComputedStyle(up).overflowY;
  if (o === 'visible') continue;
  const b = up.getBoundingClientRect();
  if (box.top < b.top - 1 || box.bottom > b.bottom + 1) return false;
}
return true;
"""

# The space between a line of a listing and the next one; null for the last.
GAP = """
const line = arguments[0];
let next = line.nextElementSibling;
while (next && !next.matches('span.src')) next = next.nextElementSibling;
if (!next) return null;
const a = line.getBoundingClientRect(), b = next.getBoundingClientRect();
const height = parseFloat(getComputedStyle(line).lineHeight) || a.height;
return {gap: b.top - a.bottom, line: height};
"""

# The elements that scroll sideways, or stick out of the window, but for the
# terminal (pre.screen) and the drawings, which may.
SIDEWAYS = """
const out = [];
for (const el of document.body.querySelectorAll('*')) {
  if (el.closest('pre.screen, figure.drawing')) continue;
  const o = getComputedStyle(el).overflowX, box = el.getBoundingClientRect();
  const scrolls = o !== 'visible' && o !== 'clip' && el.scrollWidth > el.clientWidth + 1;
  if (scrolls || box.right > window.innerWidth + 1) {
    const id = el.id ? '#' + el.id : '', cls = el.classList.length ? '.' + [...el.classList].join('.') : '';
    out.push(el.tagName.toLowerCase() + id + cls + ' (' + el.scrollWidth + ' wide in ' + el.clientWidth + ')');
  }
}
return out.slice(0, 5);
"""


def speed_for(total):
    """A speed at which the run plays for 3 to 30 s or so: 4 but for
    short or long runs."""
    if total / 4 < 3:
        return next((s for s in ["2", "1"] if total / float(s) >= 3), "0.5")
    return "8" if total / 4 > 30 else "4"


def play(bench, driver, run, label, before, pending):
    """Plays RUN, whose screen showed BEFORE, finding the texts PENDING in
    order (those found are taken off it)."""
    state = lambda: driver.execute_script(STATE, run)  # noqa: E731
    buttons = run.find_elements(By.CSS_SELECTOR, ".player button.play")
    selects = run.find_elements(By.CSS_SELECTOR, ".player select.speed")
    first = state()
    clock = clock_of(first["clock"])
    if not bench.check(len(buttons) == 1 and len(selects) == 1 and clock is not None,
                       "%s: a player (Play, a speed, a clock reading %r)" % (label, first["clock"])):
        return
    speeds = Select(selects[0])
    values = [o.get_attribute("value") for o in speeds.options]
    bench.check(values == SPEEDS and speeds.first_selected_option.get_attribute("value") == "1",
                "%s: speeds %s, %s selected" % (label, " ".join(values),
                                                 speeds.first_selected_option.get_attribute("value")))
    bench.check(first["button"] == "Play", "%s: the button reads %r before it is pressed" % (label, first["button"]))
    total = clock[1]
    speed = speed_for(total)
    speeds.select_by_value(speed)
    driver.execute_script("arguments[0].scrollIntoView({block: 'start'})",
                          run.find_element(By.CSS_SELECTOR, ".player"))
    buttons[0].click()
    bench.note("%s: played at speed %s, %.1f s long" % (label, speed, total))
    deadline = time.monotonic() + total / float(speed) * 2 + 30
    offset, polls, previous, paused, out_of_view = 0, 0, None, False, []
    while True:
        now = state()
        polls += 1
        if polls == 1:
            bench.check(len(now["text"]) < len(before),
                        "%s: Play clears the screen (%d of its %d characters at %s)"
                        % (label, len(now["text"]), len(before), now["clock"]))
        while pending and now["text"].find(pending[0], offset) >= 0:
            offset = now["text"].find(pending[0], offset) + len(pending[0])
            text = pending.pop(0)
            bench.check(True, "%s: %r came at %s" % (label, text, now["clock"]))
            bench.shot(driver, "%s-%s" % (label, text), "%r just on the screen, at %s" % (text, now["clock"]))
        # The screen's end in view, once the player had a look's time to
        # scroll to it: the text the same as at the look before.
        if now["button"] == "Pause" and previous is not None and now["text"] == previous \
                and not (now["scrolled"] and now["inWindow"]):
            out_of_view.append(now["clock"])
        previous = now["text"]
        played = clock_of(now["clock"])
        if now["button"] == "Play again":
            break
        if time.monotonic() > deadline:
            bench.check(False, "%s: still playing after %.0f s (button %r, clock %r)"
                        % (label, total / float(speed) * 2 + 30, now["button"], now["clock"]))
            break
        if not paused and now["button"] == "Pause" and played and played[0] >= total * 0.3:
            paused = True
            deadline += hold(bench, driver, run, buttons[0], label, state)
            previous = None
        time.sleep(POLL)
    if not paused:
        bench.note("%s: over before it could be paused (at speed %s)" % (label, speed))
    bench.check(not out_of_view, "%s: the screen's end in view while it played%s"
                % (label, "" if not out_of_view else " (not at %s)" % ", ".join(out_of_view[:5])))
    end = state()
    played = clock_of(end["clock"])
    bench.check(played is not None and abs(played[0] - total) < 0.05,
                "%s: at the end the clock reads %r" % (label, end["clock"]))
    bench.check(end["text"] == before, "%s: the played screen is the one shown before Play (%d characters)%s"
                % (label, len(before), "" if end["text"] == before else "; " + difference(end["text"], before)))
    bench.check(end["scrolled"], "%s: the screen scrolled to its end at the end" % label)
    bench.shot(driver, label + "-end", "the end of the run, clock %s, button %r" % (end["clock"], end["button"]))


def hold(bench, driver, run, button, label, state):
    """Pause, a second's look that nothing moves, and Play again; the
    seconds it took. Pressed from the keyboard: the screen grows while it
    plays, and the page may move under the pointer between the moment a
    press by the pointer is aimed and the moment it lands."""
    start = time.monotonic()
    button.send_keys(Keys.ENTER)
    held = state()
    bench.check(held["button"] == "Play", "%s: Pause pressed at %s, the button reads %r"
                % (label, held["clock"], held["button"]))
    time.sleep(1)
    still = state()
    bench.check(still["text"] == held["text"] and still["clock"] == held["clock"],
                "%s: paused for a second, the screen stays (%d characters, clock %s then %s)"
                % (label, len(held["text"]), held["clock"], still["clock"]))
    bench.shot(driver, label + "-paused", "paused at %s" % held["clock"])
    button.send_keys(Keys.ENTER)
    at = clock_of(held["clock"])
    moved = wait_for(lambda: (lambda s: s if s["clock"] != still["clock"] or s["text"] != still["text"]
                              or s["button"] == "Play again" else None)(state()), 10)
    goes_on = bool(moved) and moved["text"].startswith(held["text"]) \
        and (clock_of(moved["clock"]) or (0,))[0] >= (at or (0,))[0]
    bench.check(goes_on, "%s: Play again goes on from there (%s)"
                % (label, "nothing moved for 10 s" if not moved else "clock %s then %s, %d characters then %d"
                   % (held["clock"], moved["clock"], len(held["text"]), len(moved["text"]))))
    return time.monotonic() - start


def traces(bench, driver, run, label):
    """The trace view: each source line's link leads to a line of a
    listing; the first and the last, clicked, bring theirs into view."""
    for n, trace in enumerate(run.find_elements(By.CSS_SELECTOR, "div.trace")):
        name = "%s-trace%s" % (label, n + 1 if n else "")
        links = trace.find_elements(By.CSS_SELECTOR, "a.line")
        bad = driver.execute_script("""
            return [...arguments[0].querySelectorAll('a.line')].filter(a => {
              const h = a.getAttribute('href') || '', t = h.startsWith('#') && document.getElementById(decodeURIComponent(h.slice(1)));
              return !(t && t.matches('span.src') && t.closest('pre.source'));
            }).map(a => a.getAttribute('href')).slice(0, 5);""", trace)
        bench.check(links and not bad, "%s: %d source lines, each linked to a line of a listing%s"
                    % (name, len(links), "; not: %s" % ", ".join(map(str, bad)) if bad else ""))
        driver.execute_script("arguments[0].scrollIntoView({block: 'start'})", trace)
        bench.shot_of(driver, trace, name, "the trace view, %d source lines" % len(links))
        for which, link in [("first", links[0]), ("last", links[-1])] if len(links) > 1 else \
                [("first", links[0])] if links else []:
            href = link.get_attribute("href").rsplit("#", 1)[-1]
            driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", link)
            text = link.text.strip()
            link.click()
            targets = driver.find_elements(By.ID, href)
            shown = targets and wait_for(lambda: driver.execute_script(IN_VIEW, targets[0]), 5)
            bench.check(bool(shown), "%s: the %s source line %r, clicked, brings #%s into view%s"
                        % (name, which, text, href, ": %r" % targets[0].text.strip()[:60] if shown else ""))
            if which == "first":
                bench.shot(driver, name + "-source", "the listing after clicking %r" % text)
                if targets:
                    gap = driver.execute_script(GAP, targets[0])
                    bench.check(gap is None or gap["gap"] < gap["line"] / 2,
                                "%s: the listing's lines follow one another%s" % (name, "" if gap is None else
                                " (%.0f px between #%s and the next, a line is %.0f px)" % (gap["gap"], href, gap["line"])))


def drawings(bench, driver, run, label):
    for n, figure in enumerate(run.find_elements(By.CSS_SELECTOR, "figure.drawing")):
        size = driver.execute_script("""
            const svg = arguments[0].querySelector('svg'), cap = arguments[0].querySelector('figcaption');
            const b = svg && svg.getBoundingClientRect();
            return {w: b ? b.width : 0, h: b ? b.height : 0, caption: cap ? cap.textContent.trim() : null};""", figure)
        bench.check(size["w"] > 0 and size["h"] > 0 and size["caption"],
                    "%s: a drawing %dx%d, caption %r" % (label, size["w"], size["h"], size["caption"]))
        driver.execute_script("arguments[0].scrollIntoView({block: 'start'})", figure)
        bench.shot_of(driver, figure, "%s-drawing%d" % (label, n + 1), "the drawing: %s" % size["caption"])
    for report in run.find_elements(By.CSS_SELECTOR, "pre.report"):
        text = report.get_attribute("textContent")
        bench.check(text.strip() != "", "%s: a report of %d lines" % (label, len(text.splitlines())))
        driver.execute_script("arguments[0].scrollIntoView({block: 'start'})", report)
        bench.shot_of(driver, report, label + "-report", "the check's report")


def console(bench, driver, when):
    """The page's errors on the browser's console."""
    try:
        entries = driver.get_log("browser")
    except WebDriverException as error:
        bench.note("%s: the console cannot be read (%s)" % (when, error.msg))
        return
    errors = [e["message"] for e in entries if e.get("level") == "SEVERE"]
    bench.check(not errors, "%s: no error on the console%s" % (when, "".join("\n        " + e for e in errors[:5])))


def widths(bench, driver):
    """A phone's width and a projector's: nothing scrolls sideways."""
    for name, width, height, mobile in [("phone", 412, 915, True), ("projector", 1920, 1080, False)]:
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
        driver.execute_script("window.scrollTo(0, 0)")
        time.sleep(0.3)
        seen = driver.execute_script(
            "return {inner: window.innerWidth, scroll: document.documentElement.scrollWidth}")
        bench.check(seen["inner"] == width, "%s: the page is laid out %d px wide (%d)" % (name, width, seen["inner"]))
        bench.check(seen["scroll"] <= seen["inner"], "%s: the page does not scroll sideways (%d wide in %d)"
                    % (name, seen["scroll"], seen["inner"]))
        sideways = driver.execute_script(SIDEWAYS)
        bench.check(not sideways, "%s: no text scrolls sideways or sticks out%s"
                    % (name, "; these do: " + ", ".join(sideways) if sideways else ""))
        bench.shot(driver, name, "the top of the page, %dx%d" % (width, height))
        trace = driver.find_elements(By.CSS_SELECTOR, "div.trace")
        if trace:
            driver.execute_script("arguments[0].scrollIntoView({block: 'start'})", trace[0])
            bench.shot(driver, name + "-trace", "the first trace view, %dx%d" % (width, height))
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def theme(bench, driver):
    """The dark theme: another background than the light one's."""
    colours = {}
    for scheme in ["light", "dark"]:
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": scheme}]})
        time.sleep(0.3)
        colours[scheme] = driver.execute_script(
            "return [getComputedStyle(document.body).backgroundColor,"
            " getComputedStyle(document.documentElement).backgroundColor]")
    driver.execute_script("window.scrollTo(0, 0)")
    bench.shot(driver, "dark", "the dark theme, body %s" % colours["dark"][0])
    bench.check(colours["light"][0] != colours["dark"][0],
                "dark theme: the body's background %s, %s in the light one (the page's: %s, %s)"
                % (colours["dark"][0], colours["light"][0], colours["dark"][1], colours["light"][1]))
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})


def without_javascript(bench, url, profile, befores):
    driver = browser(profile, javascript=False)
    try:
        driver.get(url)
        bench.check(not driver.execute_script("return document.documentElement.classList.contains('js')"),
                    "JavaScript off: it does not run (no class js)")
        runs = driver.find_elements(By.CSS_SELECTOR, "section.run")
        bench.check(len(runs) == len(befores), "JavaScript off: %d runs (%d with it on)" % (len(runs), len(befores)))
        for run, (label, before) in zip(runs, befores):
            screens = run.find_elements(By.CSS_SELECTOR, "pre.screen")
            text = screens[0].get_attribute("textContent") if screens else ""
            shown = bool(screens) and screens[0].is_displayed()
            bench.check(shown and text.strip() != "" and text == before,
                        "JavaScript off, %s: the screen shown whole (%d characters%s)"
                        % (label, len(text), "" if text == before else "; " + difference(text, before)))
            players = [p for p in run.find_elements(By.CSS_SELECTOR, ".player") if p.is_displayed()]
            bench.check(not players, "JavaScript off, %s: no player shown" % label)
        bench.shot(driver, "no-javascript", "the top of the page with JavaScript off")
        console(bench, driver, "JavaScript off")
    finally:
        quit_browser(driver)


def bench_page(bench, page, expect, profiles):
    url = pathlib.Path(page).resolve().as_uri()
    driver = browser(os.path.join(profiles, "on"))
    befores = []
    try:
        driver.get(url)
        bench.check(driver.execute_script("return document.documentElement.classList.contains('js')"),
                    "the page's JavaScript runs (class js on <html>)")
        runs = driver.find_elements(By.CSS_SELECTOR, "section.run")
        bench.check(len(runs) > 0, "%d runs: %s" % (len(runs), ", ".join(
            "%s (%s)" % (r.get_attribute("id"), r.find_element(By.TAG_NAME, "h2").text
                         if r.find_elements(By.TAG_NAME, "h2") else "no heading") for r in runs)))
        # The screens as the page shows them before any Play: what each
        # must be again once played.
        for n, run in enumerate(runs):
            label = run.get_attribute("id") or "run%d" % (n + 1)
            screens = run.find_elements(By.CSS_SELECTOR, "pre.screen")
            befores.append((label, screens[0].get_attribute("textContent") if screens else ""))
        pending = list(expect)
        for run, (label, before) in zip(runs, befores):
            if not bench.check(before.strip() != "", "%s: a screen of %d lines before Play"
                               % (label, len(before.splitlines()))):
                continue
            player = run.find_elements(By.CSS_SELECTOR, ".player")
            if not bench.check(player and player[0].is_displayed(), "%s: its player shown" % label):
                continue
            play(bench, driver, run, label, before, pending)
            traces(bench, driver, run, label)
            drawings(bench, driver, run, label)
        bench.check(not pending, "every text expected came, in order%s"
                    % ("; never: " + ", ".join(map(repr, pending)) if pending else ""))
        console(bench, driver, "JavaScript on")
        widths(bench, driver)
        theme(bench, driver)
    finally:
        quit_browser(driver)
    without_javascript(bench, url, os.path.join(profiles, "off"), befores)


def main():
    parser = argparse.ArgumentParser(description="The page of a record, played in headless Chromium.")
    parser.add_argument("page", help="the record's index.html")
    parser.add_argument("out", help="the folder for the screenshots (made if missing)")
    parser.add_argument("--expect", action="append", default=[], metavar="TEXT",
                        help="a text that must come on the screens while they play, after the one before")
    args = parser.parse_args()
    if not os.path.isfile(args.page):
        parser.error("no page at %s" % args.page)
    os.makedirs(args.out, exist_ok=True)
    bench = Bench(args.out)

    def too_long(signum, frame):
        raise TooLong("still at it after %s s (BOUND)" % bound)
    bound = int(os.environ.get("BOUND", "900"))
    signal.signal(signal.SIGALRM, too_long)
    signal.alarm(bound)
    profiles = tempfile.mkdtemp(prefix="page-in-browser-")
    try:
        bench_page(bench, args.page, args.expect, profiles)
    except (WebDriverException, TooLong) as error:
        bench.check(False, "the browser: %s" % (getattr(error, "msg", None) or error))
    finally:
        signal.alarm(0)
        shutil.rmtree(profiles, ignore_errors=True)
    print("%d checks, %d failed; %d screenshots in %s" % (bench.checks, bench.failed, bench.shots, args.out))
    return 1 if bench.failed else 0


if __name__ == "__main__":
    sys.exit(main())
