#!/usr/bin/env python3
"""The record of a run: each stop of the tour, what-if or check as an
asciicast (version 2, the format asciinema plays), and one page that shows
them all, a file that needs nothing else (scripts/tour.sh --record DIR,
scripts/exercise.sh check --record DIR).

  record.py cast FILE TITLE   copies standard input to standard output as it
                              comes, and writes it to FILE as an asciicast:
                              each piece with the moment it came, and the
                              keys the terminal driver marked in it (run
                              with ONSCREEN_MARK_KEYS set) as typed input
  record.py page DIR          DIR/index.html, from the record's runs in DIR

A run of the record is NN-NAME.cast, with NN-NAME.info beside it: lines of
"KEY VALUE", where KEY is kind (stop, what-if or check), title, status (the
run's exit status), source (a file of the program's, for the trace view's
lines), trace (a file of the run's, a trace view as trace_view.py --wide
wrote it) or drawing (a file of the run's, an SVG drawing, then its
caption); the last three may come more than once. The page shows each
run's screen whole, and plays it again in its timing where JavaScript runs.
"""

import codecs
import html
import json
import os
import re
import signal
import sys
import time
import xml.etree.ElementTree as ElementTree

MOST_KEPT = 4 << 20  # characters of a run kept in its record; the screen goes on past them
MOST_READ = 16 << 20  # bytes of a file the page takes in (a source, a trace view, a drawing)


# -- the asciicast -------------------------------------------------------------

KEY_MARK = re.compile(rb"\x1b_key:([0-9a-f]{2})\x1b\\")
# The start of a mark that the next piece may finish.
MARK_BEGUN = re.compile(rb"\x1b(?:_(?:k(?:e(?:y(?::(?:[0-9a-f](?:[0-9a-f](?:\x1b)?)?)?)?)?)?)?)?")


def held_back(data):
    """Where a key's mark that the next piece may finish begins at the end
    of data (len(data) when none does)."""
    for at in range(max(0, len(data) - 9), len(data)):
        if MARK_BEGUN.fullmatch(data, at):
            return at
    return len(data)


def cast(path, title):
    # The run's Ctrl-C, or its terminal's closing, reaches the whole group:
    # the record goes on to the end of what the run writes, its last words
    # included, and is then written.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    start, started = time.monotonic(), time.time()
    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    events, kept, shown, last, pending = [], 0, True, "", b""
    while True:
        try:
            piece = os.read(0, 1 << 16)
        except InterruptedError:
            continue
        at = time.monotonic() - start
        data = pending + piece
        cut = held_back(data) if piece else len(data)
        data, pending = data[:cut], data[cut:]
        # The keys the terminal driver marked, taken out of the screen's
        # bytes, each kept in its place among them.
        parts = KEY_MARK.split(data)
        pieces, keys = parts[0::2], parts[1::2]
        clean = b"".join(pieces)
        if shown and clean:
            try:
                os.write(1, clean)
            except OSError:  # the screen is gone (a pipe closed): the record goes on
                shown = False
        for i, part in enumerate(pieces):
            text = decoder.decode(part, final=not piece and i == len(pieces) - 1)
            if text and kept <= MOST_KEPT:
                # A terminal's line ends: return, then new line.
                text = re.sub(r"(?<!\r)\n", "\r\n", text)
                if text.startswith("\r\n") and last == "\r":
                    text = text[1:]
                last = text[-1]
                kept += len(text)
                if kept > MOST_KEPT:
                    text += f"\r\n(the record ends here: the run wrote more than {MOST_KEPT >> 20} MB)\r\n"
                events.append([at, "o", text])
            if i < len(keys) and kept <= MOST_KEPT:
                events.append([at, "i", chr(int(keys[i], 16))])
        if not piece:
            break
    header = {"version": 2, "width": int(os.environ.get("COLUMNS", "80")),
              "height": int(os.environ.get("LINES", "24")), "timestamp": int(started),
              "duration": round(events[-1][0] if events else 0.0, 6), "title": title,
              "env": {"TERM": os.environ.get("TERM") or "xterm-256color", "SHELL": "/bin/bash"}}
    with open(path + ".new", "w") as f:
        f.write(json.dumps(header) + "\n")
        for at, code, text in events:
            f.write(json.dumps([round(at, 6), code, text]) + "\n")
    os.replace(path + ".new", path)
    return 0


def read_cast(path):
    """The header and the events [[seconds, code, text]] of an asciicast."""
    with open(path) as f:
        header = json.loads(f.readline())
        return header, [json.loads(line) for line in f if line.strip()]


# -- the screen ----------------------------------------------------------------
#
# What a run wrote, as a screen shows it: the page plays it with the same
# rules (PLAYER below), so that the screen played to its end is the screen
# shown whole. Return goes to the line's start, backspace one back, new line
# down; an escape sequence (colours) is dropped, as are the other control
# characters. No screen is cleared: what scrolled away stays, above.

def screen_of(texts):
    lines, row, col = [[]], 0, 0
    for text in texts:
        chars = list(text)
        i = 0
        while i < len(chars):
            c = chars[i]
            i += 1
            if c == "\n":
                row += 1
                if row == len(lines):
                    lines.append([])
                col = 0
            elif c == "\r":
                col = 0
            elif c == "\b":
                col = max(0, col - 1)
            elif c == "\x1b":
                if i < len(chars) and chars[i] == "[":
                    i += 1
                    while i < len(chars) and not "\x40" <= chars[i] <= "\x7e":
                        i += 1
                i += 1
            elif c == "\t" or c >= " " and c != "\x7f":
                line = lines[row]
                while len(line) < col:
                    line.append(" ")
                if col < len(line):
                    line[col] = c
                else:
                    line.append(c)
                col += 1
    return "\n".join("".join(line) for line in lines)


# -- the page ------------------------------------------------------------------

def read_info(path):
    info = {"source": [], "drawing": [], "trace": []}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(" ")
            if key in ("source", "drawing", "trace"):
                info[key].append(value)
            else:
                info[key] = value
    return info


def read_text(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read(MOST_READ)


def anchor(*parts):
    return "-".join(re.sub(r"[^A-Za-z0-9_.]", "_", str(p)) for p in parts)


# A heading of the trace view: the line of the program's source that made
# the calls under it, after the thread that ran it where there are several
# ("  thread 1  bank.cpp:19  printf(...)   [in user]").
HEADING = re.compile(r"(  (?! )(?:\S+(?: \S+)*\s{2,})?)([^\s:]+):(\d+)(  .*)?$")


def trace_html(run, view, sources):
    """The trace view, each heading's line linked to its line in the source
    listing below it."""
    known = {os.path.basename(s) for s in sources}
    out = []
    for line in view.split("\n"):
        m = HEADING.match(line)
        if m and m.group(2) in known:
            target = anchor(run, m.group(2), m.group(3))
            text = m.group(2) + ":" + m.group(3) + (m.group(4) or "")
            body, notes = re.match(r"(.*?)((?:   \[.*\])?)$", text).groups()
            out.append(f'{m.group(1)}<a class="line" href="#{target}">{html.escape(body)}</a>'
                       f'<span class="where">{html.escape(notes)}</span>')
        elif line.lstrip().startswith("# "):
            out.append(f'<span class="note">{html.escape(line)}</span>')
        else:
            out.append(html.escape(line))
    return "\n".join(out)


def source_html(run, path, called):
    name = os.path.basename(path)
    lines = read_text(path).split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    out = []
    for number, text in enumerate(lines, 1):
        cls = "src called" if number in called else "src"
        out.append(f'<span class="{cls}" id="{anchor(run, name, number)}">'
                   f'<span class="no">{number:4}</span>  {html.escape(text)}</span>')
    return "\n".join(out)


SVG = "{http://www.w3.org/2000/svg}"
SVG_PARTS = {"svg", "g", "rect", "line", "text", "title", "desc", "path", "polyline", "circle"}


def drawing_html(path):
    """An SVG drawing of the run's, inline, where it is one: only the parts a
    chart is drawn with, and no link, script or style of its own."""
    text = read_text(path)
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError:
        return None
    for element in root.iter():
        if not element.tag.startswith(SVG) or element.tag[len(SVG):] not in SVG_PARTS:
            return None
        if any(not re.fullmatch(r"[A-Za-z][A-Za-z0-9-]*", key) or key == "style" or key.startswith("on")
               for key in element.attrib):
            return None
    ElementTree.register_namespace("", SVG[1:-1])
    return ElementTree.tostring(root, encoding="unicode")


def run_html(stem, directory):
    info = read_info(os.path.join(directory, stem + ".info"))
    _, events = read_cast(os.path.join(directory, stem + ".cast"))
    run = anchor("run", stem)
    kind = info.get("kind", "stop")
    status = info.get("status", "")
    # A check passes or fails; a stop or a what-if is said to have failed
    # only when it did (a what-if's changed program failing is its lesson).
    verdict = " failed" if status not in ("", "0") else " passed" if kind == "check" and status == "0" else ""
    outputs = [[round(e[0], 3), e[2]] for e in events if e[1] == "o"]
    keys = [[round(e[0], 3), e[2]] for e in events if e[1] == "i"]
    # The end, as the player counts it: at the last event's time as the page
    # gives it, so that playing to the end writes every piece.
    duration = max([e[0] for e in outputs + keys] or [0.0])
    screen = screen_of(text for _, text in outputs)
    data = json.dumps({"out": outputs, "keys": keys, "duration": duration}).replace("<", "\\u003c")
    title = info.get("title", stem)
    out = [f'<section class="run {html.escape(kind)}{verdict}" id="{run}" aria-labelledby="{run}-title">',
           f'<h2 id="{run}-title"><span class="kind">{html.escape(kind)}{html.escape(verdict)}</span> '
           f'{html.escape(title)}</h2>',
           f'<p class="about">{len(outputs)} pieces of output over {duration:.1f} s'
           + (f', {len(keys)} keys typed' if keys else "")
           + f'; the asciicast: <code>{html.escape(stem)}.cast</code> (asciinema play)</p>',
           '<div class="player" hidden>'
           '<button type="button" class="play">Play</button> '
           '<label>Speed <select class="speed">'
           + "".join(f'<option value="{v}"{" selected" if v == "1" else ""}>{v}×</option>'
                     for v in ("0.5", "1", "2", "4", "8"))
           + '</select></label> <output class="clock"></output> <output class="key"></output></div>',
           f'<pre class="screen" tabindex="0">\n{html.escape(screen)}</pre>',
           f'<script type="application/json" class="cast">{data}</script>']
    if kind == "check":
        out.append(f'<h3>The check\'s report ({html.escape(verdict.strip() or "not finished")})</h3>')
        out.append(f'<pre class="report">\n{html.escape(screen)}</pre>')
    for drawing in info["drawing"]:
        file, _, caption = drawing.partition(" ")
        svg = drawing_html(os.path.join(directory, os.path.basename(file)))
        if svg is None:
            out.append(f'<p class="missing">(the drawing {html.escape(file)} is not a plain SVG chart: '
                       'left out)</p>')
            continue
        out.append(f'<figure class="drawing">{svg}<figcaption>{html.escape(caption)}</figcaption></figure>')
    views = [read_text(os.path.join(directory, os.path.basename(t))) for t in info["trace"]]
    if views:
        sources = [source for source in info["source"] if os.path.isfile(source)]
        out.append('<div class="trace">')
        for view in views:
            out.append("<h3>The system calls, under the lines that made them</h3>")
            out.append(f'<pre class="view">\n{trace_html(run, view, sources)}</pre>')
        for source in sources:
            name = os.path.basename(source)
            called = {int(m.group(3)) for view in views for m in map(HEADING.match, view.split("\n"))
                      if m and m.group(2) == name}
            out.append(f"<h3>{html.escape(name)}, the program's source</h3>")
            out.append(f'<pre class="source">\n{source_html(run, source, called)}</pre>')
        out.append("</div>")
    out.append("</section>")
    return "\n".join(out)


STYLE = """
:root { color-scheme: light dark; --fg: #1b1b1b; --bg: #fdfdfb; --muted: #5b5b5b; --term-fg: #e8e8e8;
  --term-bg: #1d1f21; --link: #0645ad; --mark: #fff3b0; --ok: #1a7f37; --bad: #b42318; --line: #c8c8c8; }
@media (prefers-color-scheme: dark) {
  :root { --fg: #e6e6e6; --bg: #121212; --muted: #a8a8a8; --term-bg: #000; --link: #8ab4f8;
    --mark: #4a4000; --ok: #57c26f; --bad: #ff7b72; --line: #444; } }
* { box-sizing: border-box; }
html { -webkit-text-size-adjust: 100%; text-size-adjust: 100%; }
body { margin: 0 auto; padding: 0.75rem; max-width: 72rem; color: var(--fg); background: var(--bg);
  font: 1rem/1.45 system-ui, sans-serif; overflow-wrap: anywhere; }
@media (min-width: 1600px) { body { font-size: 1.25rem; } }
h1 { font-size: 1.4em; } h2 { font-size: 1.2em; margin-top: 2rem; } h3 { font-size: 1.05em; }
a { color: var(--link); }
.kind { font-size: 0.8em; text-transform: uppercase; letter-spacing: 0.05em; color: var(--muted); }
.passed .kind { color: var(--ok); } .failed .kind { color: var(--bad); }
.about, .missing { color: var(--muted); font-size: 0.9em; }
pre { font: 0.85em/1.35 ui-monospace, "DejaVu Sans Mono", monospace; }
pre.screen { color: var(--term-fg); background: var(--term-bg); padding: 0.6rem; border-radius: 6px;
  max-height: 70vh; overflow: auto; white-space: pre; }
pre.report, pre.view, pre.source { white-space: pre-wrap; overflow-wrap: anywhere; padding: 0.6rem;
  border: 1px solid var(--line); border-radius: 6px; }
pre.source { max-height: 60vh; overflow-y: auto; }
.src { display: inline-block; width: 100%; } .src:target { background: var(--mark); } .called .no { font-weight: bold; }
.no { color: var(--muted); user-select: none; }
.note { color: var(--muted); font-style: italic; } .where { color: var(--muted); }
.player[hidden] { display: none; }
.player { display: flex; flex-wrap: wrap; gap: 0.5rem; align-items: center; margin: 0.5rem 0; }
.player button, .player select { font: inherit; padding: 0.3rem 0.8rem; }
.player .key { font-family: ui-monospace, monospace; color: var(--bad); }
figure.drawing { margin: 1rem 0; } figure.drawing svg { width: 100%; height: auto; max-width: 60rem; }
figure.drawing svg { color: var(--fg); }
"""

PLAYER = """
document.documentElement.classList.add("js");
// The screen, as scripts/record.py makes it whole: return to the line's
// start, backspace one back, new line down; escape sequences and other
// control characters dropped.
function Screen() { this.lines = [[]]; this.row = 0; this.col = 0; }
Screen.prototype.write = function (text) {
  var chars = Array.from(text), i = 0;
  while (i < chars.length) {
    var c = chars[i++];
    if (c === "\\n") { this.row++; if (this.row === this.lines.length) this.lines.push([]); this.col = 0; }
    else if (c === "\\r") this.col = 0;
    else if (c === "\\b") this.col = Math.max(0, this.col - 1);
    else if (c === "\\x1b") {
      if (chars[i] === "[") { i++; while (i < chars.length && !(chars[i] >= "\\x40" && chars[i] <= "\\x7e")) i++; }
      i++;
    } else if (c === "\\t" || (c >= " " && c !== "\\x7f")) {
      var line = this.lines[this.row];
      while (line.length < this.col) line.push(" ");
      line[this.col++] = c;
    }
  }
};
Screen.prototype.text = function () { return this.lines.map(function (l) { return l.join(""); }).join("\\n"); };
function keyName(k) {
  var code = k.charCodeAt(0);
  return code < 32 ? "^" + String.fromCharCode(code + 64) : code === 127 ? "^?" : k === " " ? "space" : k;
}
document.querySelectorAll("section.run").forEach(function (run) {
  var cast = JSON.parse(run.querySelector("script.cast").textContent);
  var player = run.querySelector(".player"), button = player.querySelector(".play");
  var speed = player.querySelector(".speed"), clock = player.querySelector(".clock");
  var keyShown = player.querySelector(".key"), pre = run.querySelector("pre.screen");
  var played = 0, next = 0, nextKey = 0, screen = null, timer = null, last = 0;
  function showClock() { clock.textContent = played.toFixed(1) + " s of " + cast.duration.toFixed(1) + " s"; }
  function step() {
    var now = performance.now();
    played = Math.min(cast.duration, played + (now - last) / 1000 * Number(speed.value));
    last = now;
    var wrote = false;
    while (next < cast.out.length && cast.out[next][0] <= played) { screen.write(cast.out[next++][1]); wrote = true; }
    while (nextKey < cast.keys.length && cast.keys[nextKey][0] <= played)
      keyShown.textContent = "key: " + keyName(cast.keys[nextKey++][1]);
    if (wrote) { pre.textContent = screen.text(); pre.scrollTop = pre.scrollHeight; }
    showClock();
    if (next >= cast.out.length && played >= cast.duration) {
      clearInterval(timer); timer = null; button.textContent = "Play again";
    }
  }
  button.addEventListener("click", function () {
    if (timer !== null) { clearInterval(timer); timer = null; button.textContent = "Play"; return; }
    if (screen === null || (next >= cast.out.length && played >= cast.duration)) {
      screen = new Screen(); played = 0; next = 0; nextKey = 0; pre.textContent = ""; keyShown.textContent = "";
    }
    last = performance.now();
    button.textContent = "Pause";
    timer = setInterval(step, 50);
  });
  showClock();
  player.hidden = false;
});
"""


def page(directory):
    stems = sorted(name[:-5] for name in os.listdir(directory)
                   if name.endswith(".cast") and os.path.isfile(os.path.join(directory, name[:-5] + ".info")))
    about = {}
    if os.path.isfile(os.path.join(directory, "record.info")):
        about = read_info(os.path.join(directory, "record.info"))
    command = about.get("command", "")
    when = about.get("started", "")
    runs = [run_html(stem, directory) for stem in stems]
    contents = ""
    for stem in stems:
        title = read_info(os.path.join(directory, stem + ".info")).get("title", stem)
        contents += f'<li><a href="#{anchor("run", stem)}">{html.escape(title)}</a></li>'

    text = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(command or "A record")}</title>
<style>{STYLE}</style>
</head>
<body>
<header>
<h1>{html.escape(command or "A record")}</h1>
<p class="about">Recorded {html.escape(when)}. Each screen below is shown as it ended; with
JavaScript on, Play shows it again as it came, in its own time.</p>
<nav><ol>{contents}</ol></nav>
</header>
<main>
{chr(10).join(runs)}
</main>
<script>{PLAYER}</script>
</body>
</html>
"""
    with open(os.path.join(directory, "index.html.new"), "w") as f:
        f.write(text)
    os.replace(os.path.join(directory, "index.html.new"), os.path.join(directory, "index.html"))
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == "cast":
        return cast(argv[2], argv[3])
    if len(argv) == 3 and argv[1] == "page":
        return page(argv[2])
    sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
