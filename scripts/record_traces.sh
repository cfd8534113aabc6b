#!/usr/bin/env bash
# record_traces.sh: makes anew, on the C library of the machine it runs
# on, the traces the trace view's tests read, for each lesson whose traces/
# holds the recipe of its run (lessons/NAME/traces/run.sh). Each recipe is
# sourced in an empty directory of its own, with the C library's version as
# $1 and, in the environment, BIN (the built programs), ONSCREEN (the
# tour's terminal driver), TRACED (scripts/traced.sh, the tour's strace)
# and LESSON (the lesson's folder); it leaves there strace's files
# PREFIX.PID, which scripts/trace_view.py --save merges and maps to the
# source lines as traces/PREFIX.trace, so that neither program nor source
# is needed to read them again.
#   scripts/record_traces.sh    (after the tour has built build/plain)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/registry.sh
. "$root/scripts/registry.sh"
glibc=$(getconf GNU_LIBC_VERSION | awk '{ print $2 }')
export BIN=$root/build/plain/bin ONSCREEN=$root/build/plain/tools/onscreen TRACED=$root/scripts/traced.sh LESSON
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in $(programs); do
    LESSON=$(lesson "$name")
    [ -f "$LESSON/traces/run.sh" ] || continue
    mkdir "$work/$name"
    # (each recipe is shellchecked on its own)
    # shellcheck source=/dev/null
    (cd "$work/$name" && . "$LESSON/traces/run.sh" "$glibc")
    for prefix in $(find "$work/$name" -name '*.[0-9]*' -printf '%f\n' | sed 's/\.[0-9]*$//' | sort -u); do
        out=$LESSON/traces/$prefix.trace
        python3 "$root/scripts/trace_view.py" --save "$out" "$work/$name/$prefix"
        echo "record: $out"
    done
done
