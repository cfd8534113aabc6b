#!/usr/bin/python3
"""A record's page (scripts/record.py) as the tests check it, with Debian's
html5lib in its strict mode, which fails on any error of HTML's syntax.

  check_page.py PAGE            the page's faults, a line each (exit status 1
                                when there is one): not valid HTML; anything
                                it would fetch (no attribute but a link
                                within the page may name a place: src, a
                                stylesheet's url(), a link to another page);
                                a link within it to no element; a script other
                                than the player and the runs' data; a run
                                with an empty screen
  check_page.py PAGE TAG.CLASS  the text of each element of that tag and
                                class, in order, each ended by a form feed
  check_page.py PAGE TAG        the same, for each element of that tag (an
                                SVG drawing's too: rect)
"""

import re
import sys

import html5lib


def faults(document):
    found = []
    ids = {e.get("id") for e in document.iter() if e.get("id")}
    players = 0
    for e in document.iter():
        tag = e.tag if isinstance(e.tag, str) else ""
        for key, value in e.attrib.items():
            if key in ("src", "srcset", "action", "formaction", "poster", "data") or key.endswith("href"):
                if key.endswith("href") and value.startswith("#"):
                    if value[1:] not in ids:
                        found.append(f"a link to #{value[1:]}, which no element of the page is")
                else:
                    found.append(f"<{tag} {key}=\"{value}\">: a file from elsewhere")
        if tag in ("link", "iframe", "object", "embed", "img", "base"):
            found.append(f"<{tag}>: a file from elsewhere")
        if tag == "style" and re.search(r"url\(|@import", e.text or ""):
            found.append("a stylesheet that fetches a file")
        if tag == "script":
            if e.get("type") == "application/json":
                continue
            players += 1
    if players != 1:
        found.append(f"{players} scripts, where the page has its player alone")
    runs = [e for e in document.iter("section") if "run" in (e.get("class") or "").split()]
    if not runs:
        found.append("no run on the page")
    for run in runs:
        screens = [e for e in run.iter("pre") if e.get("class") == "screen"]
        if len(screens) != 1 or not "".join(screens[0].itertext()).strip():
            found.append(f"the run {run.get('id')} shows no screen")
    return found


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    parser = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False)
    try:
        with open(argv[1], "rb") as f:
            document = parser.parse(f)
    except html5lib.html5parser.ParseError as e:
        print(f"not valid HTML: {e} (line {parser.errors[-1][0][0] if parser.errors else '?'})")
        return 1
    if len(argv) == 3:
        tag, _, cls = argv[2].partition(".")
        for e in document.iter():
            # An SVG drawing's elements by their names alone (rect).
            if isinstance(e.tag, str) and e.tag.split("}")[-1] == tag and \
                    (not cls or cls in (e.get("class") or "").split()):
                sys.stdout.write("".join(e.itertext()) + "\f")
        return 0
    found = faults(document)
    for fault in found:
        print(fault)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
