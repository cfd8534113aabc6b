#!/usr/bin/env bash
# What watch adds to a check: the real program put in place as the copy of
# an exercise (the first one by default) and saved as an editor saves it (a
# new file renamed over it), RUNS times, each save checked by
# scripts/exercise.sh check, timed from the save to its end; then as many
# saves seen by scripts/exercise.sh watch, each timed from the save to its
# verdict on watch's output. Prints each time, the median of each and what
# watch adds. Both rebuild the copy at each save.
#   bench/watch.sh [NAME]
#   RUNS=10 bench/watch.sh       (5 by default)
#   LOAD=2 bench/watch.sh        with two busy loops running meanwhile
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/registry.sh
. "$root/scripts/registry.sh"
# shellcheck source=bench/median.sh
. "$root/bench/median.sh"
runs=${RUNS:-5}
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

checks=()
for _ in $(seq "$runs"); do
    started=$EPOCHREALTIME
    save
    exercise check "$name" >/dev/null 2>&1 || { echo "bench: the real program failed its check" >&2; exit 1; }
    checks+=("$(seconds "$started" "$EPOCHREALTIME")")
done

# watch, on a pipe, each verdict line stamped with the time it came.
: >"$work/verdicts"
stamp() {
    local line
    while IFS= read -r line; do
        case $line in "✓"* | "✗"*) echo "$EPOCHREALTIME" >>"$work/verdicts" ;; esac
    done
}
verdicts() { wc -l <"$work/verdicts"; }
# until_verdict N: waits for the Nth verdict (at most 10 minutes).
until_verdict() {
    local deadline=$((SECONDS + 600))
    while [ "$(verdicts)" -lt "$1" ]; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "bench: no verdict from watch" >&2; exit 1; }
        sleep 0.2
    done
}
exercise watch "$name" </dev/null > >(stamp) 2>&1 &
watching=$!
until_verdict 1
watched=()
for i in $(seq "$runs"); do
    started=$EPOCHREALTIME
    save
    until_verdict $((i + 1))
    watched+=("$(seconds "$started" "$(tail -n 1 "$work/verdicts")")")
done

check_median=$(printf '%s\n' "${checks[@]}" | median)
watch_median=$(printf '%s\n' "${watched[@]}" | median)
printf 'check, from the save to its end (s):        %s   median %s\n' "${checks[*]}" "$check_median"
printf 'watch, from the save to its verdict (s):    %s   median %s\n' "${watched[*]}" "$watch_median"
printf 'watch adds (median):                        %s s\n' "$(seconds "$check_median" "$watch_median")"
