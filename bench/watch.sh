#!/usr/bin/env bash
# What watch adds to a check: the real program put in place as the copy of
# an exercise (the first one by default) and saved as an editor saves it (a
# new file renamed over it), RUNS times, each save checked by
# scripts/exercise.sh check; then as many saves seen by scripts/exercise.sh
# watch; the two in turn, ROUNDS times, so that a change in the machine's
# load meanwhile weighs on both. Each is timed from the save to the check's
# first line (its start: watch's own part, but for the start of the check
# itself) and to its verdict, as they come on the output. Prints the medians
# and what watch adds to each. Both rebuild the copy at each save.
#   bench/watch.sh [NAME]
#   RUNS=5 ROUNDS=3 bench/watch.sh   (3 and 2 by default)
#   LOAD=2 bench/watch.sh            with two busy loops running meanwhile
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/registry.sh
. "$root/scripts/registry.sh"
# shellcheck source=bench/median.sh
. "$root/bench/median.sh"
runs=${RUNS:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/watch-bench-XXXXXX")
loops=() watching=''
cleanup() {
    if [ -n "$watching" ]; then
        kill -TERM "$watching" 2>/dev/null || true
        wait "$watching" 2>/dev/null || true
    fi
    [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq "${LOAD:-0}"); do
    (while :; do :; done) &
    loops+=("$!")
done
export EXERCISES_DIR=$work/copies EXERCISE_BUILD=${EXERCISE_BUILD:-$root/build/verdicts}
exercise() { "$root/scripts/exercise.sh" "$@"; }
name=${1:-$(exercise files | awk 'NR == 1 { print $1 }')}
copy=$(exercise start "$name" | tail -n 1)
real=$root/$(exercise files | awk -v name="$name" '$1 == name { print $3 }')
save() { cp "$real" "$copy.new" && mv "$copy.new" "$copy"; }
seconds() { awk -v from="$1" -v to="$2" 'BEGIN { printf "%.2f\n", to - from }'; }
save
exercise check "$name" >/dev/null 2>&1 || true  # the build, once

# stamp FILE: the times at which the lines of a check's output came, into
# FILE: "begun TIME" for its first line ("Checking your..."), "verdict
# TIME" for its verdict.
stamp() {
    local line
    while IFS= read -r line; do
        case $line in
            "Checking your "*) echo "begun $EPOCHREALTIME" ;;
            "✓"* | "✗"*) echo "verdict $EPOCHREALTIME" ;;
        esac
    done >>"$1"
}
verdicts() { grep -c '^verdict' "$1" || true; }
# until_verdict FILE N: waits for the Nth verdict (at most 10 minutes).
until_verdict() {
    local deadline=$((SECONDS + 600))
    while [ "$(verdicts "$1")" -lt "$2" ]; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "bench: no verdict" >&2; exit 1; }
        sleep 0.2
    done
}
# timed OUT KIND FILE: after a save at $started, the seconds to the last line of
# that kind in FILE, into $work/OUT.
timed() { seconds "$started" "$(awk -v kind="$2" '$1 == kind { time = $2 } END { print time }' "$3")" >>"$work/$1"; }
for _ in $(seq "${ROUNDS:-2}"); do
    for _ in $(seq "$runs"); do
        : >"$work/alone"
        started=$EPOCHREALTIME
        save
        exercise check "$name" 2>&1 | stamp "$work/alone" ||
            { echo "bench: the real program failed its check" >&2; exit 1; }
        timed check.begun begun "$work/alone"
        timed check.verdict verdict "$work/alone"
    done
    : >"$work/watched"
    # (not through the function: a function in the background is a shell
    # of its own, and watch its child, out of reach of the kill below)
    "$root/scripts/exercise.sh" watch "$name" </dev/null > >(stamp "$work/watched") 2>&1 &
    watching=$!
    until_verdict "$work/watched" 1
    for i in $(seq "$runs"); do
        started=$EPOCHREALTIME
        save
        until_verdict "$work/watched" $((i + 1))
        timed watch.begun begun "$work/watched"
        timed watch.verdict verdict "$work/watched"
    done
    kill -TERM "$watching"
    wait "$watching" || true
    watching=''
done

for step in begun verdict; do
    check=$(median <"$work/check.$step") watch=$(median <"$work/watch.$step")
    printf 'from the save to the check'"'"'s %-8s check %s s, watch %s s (medians of %s): watch adds %s s\n' \
        "$([ "$step" = begun ] && echo "start:" || echo "verdict:")" "$check" "$watch" "$(wc -l <"$work/check.$step")" \
        "$(seconds "$check" "$watch")"
    printf '    check: %s\n    watch: %s\n' "$(paste -s -d ' ' "$work/check.$step")" "$(paste -s -d ' ' "$work/watch.$step")"
done
