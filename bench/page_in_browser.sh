#!/usr/bin/env bash
# Two pages of the tour's record, played in a real browser: a stop with its
# trace view, and the what-ifs of a program, each recorded (scripts/tour.sh
# --record) into OUT/stop and OUT/what-if, what the tour printed kept beside
# it (OUT/stop.log, OUT/what-if.log); then each page played by
# bench/page_in_browser.py in headless Chromium, its screenshots put into
# OUT/stop-shots and OUT/what-if-shots. OUT must be new or empty. Each TEXT
# must come on the stop's screens while they play, in the order given.
# Installs Chromium, its driver and Selenium first if they are missing
# (scripts/setup.sh browser). Exits 1 when a record could not be made or a
# page failed a check.
#   bench/page_in_browser.sh OUT STOP WHAT_IF_PROGRAM [TEXT...]
#   BOUND=600 bench/page_in_browser.sh ...   each page's bench bounded to 600 s
#                                            (900 by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 3 ]; then
    sed -n '2,/^set -euo/{/^set -euo/!s/^# \{0,1\}//p}' "$0" >&2
    exit 2
fi
out=$1 stop=$2 what_if=$3
shift 3
expects=()
for text in "$@"; do
    expects+=(--expect "$text")
done
# OUT new or empty, as a record's folder must be: no screenshot of
# another run among these.
if [ -e "$out" ] && [ -n "$(ls -A "$out")" ]; then
    echo "page_in_browser: $out is not empty: name a new folder or an empty one" >&2
    exit 2
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

"$root/scripts/setup.sh" browser
# record NAME ARG...: the tour with ARGs recorded into OUT/NAME, what it
# printed kept in OUT/NAME.log, and shown when it failed.
record() {
    local name=$1
    shift
    echo "== recording: scripts/tour.sh --record $out/$name $*"
    if ! "$root/scripts/tour.sh" --record "$out/$name" "$@" </dev/null >"$out/$name.log" 2>&1; then
        cat "$out/$name.log" >&2
        echo "page_in_browser: the record failed: scripts/tour.sh --record $out/$name $*" >&2
        exit 1
    fi
}
record stop --trace "$stop"
record what-if --what-if "$what_if"

# Each page played, the second even when the first failed.
status=0
echo "== the stop's page: $out/stop/index.html"
/usr/bin/python3 "$root/bench/page_in_browser.py" "$out/stop/index.html" "$out/stop-shots" \
    ${expects[@]+"${expects[@]}"} || status=1
echo "== the what-if's page: $out/what-if/index.html"
/usr/bin/python3 "$root/bench/page_in_browser.py" "$out/what-if/index.html" "$out/what-if-shots" || status=1
echo "The screenshots: $out/stop-shots/ and $out/what-if-shots/"
exit "$status"
