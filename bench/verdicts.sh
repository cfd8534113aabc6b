#!/usr/bin/env bash
# The checker's verdicts and their times: for each exercise named (all when
# none is), its starter, each wrong copy kept for it (lessons/NAME/wrong/),
# each what-if of its program (lessons/NAME/what-if/) and the real program, each
# put in place as the learner's copy and checked with scripts/exercise.sh
# check, once built. Prints one line a copy: the verdict, as expected or
# not, and the seconds from check to verdict.
#   bench/verdicts.sh [NAME...]
#   RUNS=10 bench/verdicts.sh NAME    each copy checked RUNS times
#   ONLY=PATTERN bench/verdicts.sh    only the copies whose label matches
#   LOAD=2 bench/verdicts.sh          with two busy loops running meanwhile
# A starter, a wrong copy and a what-if must fail (status 1), the real
# program must pass (status 0). Exits 1 when any verdict was not so. A
# what-if that changes another of the program's files than the exercise's is
# no copy to check, and is listed as such.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/registry.sh
. "$root/scripts/registry.sh"
runs=${RUNS:-1}
only=${ONLY:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/verdicts-XXXXXX")
loops=()
trap 'rm -rf "$work"; [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null' EXIT
for _ in $(seq "${LOAD:-0}"); do
    (while :; do :; done) &
    loops+=("$!")
done
export EXERCISES_DIR=$work/copies EXERCISE_BUILD=${EXERCISE_BUILD:-$root/build/verdicts}

# The exercises: the programs whose lesson has a starter.
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for name in $(programs); do
        [ ! -f "$(lesson "$name")/exercise.patch" ] || names+=("$name")
    done
fi

exercise() { "$root/scripts/exercise.sh" "$@"; }
source_of() { sed -n 's|^+++ b/||p' "$(lesson "$1")/exercise.patch" | head -n 1; }

# The copies of NAME: "label patch", the patch empty for the real program and
# "starter" for the starter.
copies_of() {
    echo "starter starter"
    for p in "$(lesson "$1")"/wrong/*.patch "$(lesson "$1")"/what-if/*.patch; do
        [ -f "$p" ] || continue
        label=$(basename "$(dirname "$p")")/$(basename "$p" .patch)
        # A change to another of the program's files is no copy a learner
        # could hand in: the check builds the copy of one file only.
        other=$(sed -n 's|^+++ b/||p' "$p" | grep -v -x -F "$(source_of "$1")" | head -n 1 || true)
        if [ -n "$other" ]; then
            echo "$label other:$other"
        else
            echo "$label $p"
        fi
    done
    echo "real -"
}

bad=0
for name in "${names[@]}"; do
    rm -rf "${EXERCISES_DIR:?}/$name"
    copy=$(exercise start "$name" | tail -n 1)
    starter=$work/$name.starter
    cp "$copy" "$starter"
    exercise check "$name" >/dev/null 2>&1 || true  # the build, once
    while read -r label patch; do
        [ -z "$only" ] || [[ $label == *$only* ]] || continue
        case $patch in
            other:*)
                printf '%-14s %-52s not checked: it changes %s, not the copy'"'"'s file\n' "$name" "$label" "${patch#other:}"
                continue ;;
            starter) cp "$starter" "$copy" ;;
            -) cp "$root/$(source_of "$name")" "$copy" ;;
            *)
                rm -rf "$work/src" && mkdir -p "$work/src/$(dirname "$(source_of "$name")")"
                cp "$root/$(source_of "$name")" "$work/src/$(source_of "$name")"
                (cd "$work/src" && git apply "$patch")
                cp "$work/src/$(source_of "$name")" "$copy" ;;
        esac
        want=1
        [ "$patch" != - ] || want=0
        times=() wrong=0
        for _ in $(seq "$runs"); do
            started=$(date +%s.%N)
            status=0
            exercise check "$name" >"$work/out.txt" 2>&1 || status=$?
            times+=("$(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')")
            if [ "$status" -ne "$want" ]; then
                wrong=$((wrong + 1))
                cp "$work/out.txt" "$root/build/verdicts-$name-${label//\//_}.out"
            fi
        done
        verdict=$([ "$want" -eq 0 ] && echo passes || echo fails)
        if [ "$wrong" -eq 0 ]; then
            printf '%-14s %-52s %s %d of %d   s: %s\n' "$name" "$label" "$verdict" "$runs" "$runs" "${times[*]}"
        else
            bad=1
            printf '%-14s %-52s NOT AS EXPECTED in %d of %d (want: %s; last output: build/verdicts-%s-%s.out)   s: %s\n' \
                "$name" "$label" "$wrong" "$runs" "$verdict" "$name" "${label//\//_}" "${times[*]}"
        fi
    done < <(copies_of "$name")
done
exit "$bad"
