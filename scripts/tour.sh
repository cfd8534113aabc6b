#!/usr/bin/env bash
# The tour: builds the programs and runs each on a terminal of its own,
# playing its user, so the screen shows what you would see at the keyboard:
# each answer typed after its prompt, ^C and ^Z where the keys are pressed,
# every line the moment it is written. Its stops are the registry's programs,
# in its order (registry.txt), each played by its lesson's tour.sh
# (lessons/README.md says what a stop may use).
#   scripts/tour.sh [NAME...]   the stops of the programs named (all when none is)
#   scripts/tour.sh --trace [NAME...]
#                               the same, each program run under strace, and
#                               after its screen the system calls it made,
#                               under the lines of its source that made them
#   scripts/tour.sh --what-if [NAME...]
#                               what goes wrong without each lesson: of the
#                               programs named (all when none is), each change
#                               that takes a lesson out (lessons/NAME/what-if/), the
#                               changed program run and the tool that catches
#                               its fault, then the real program the same way
#   scripts/tour.sh --mine NAME [--trace]
#                               the stop of NAME with your copy of the exercise
#                               (scripts/exercise.sh) in place of the real
#                               program, as your last check built it; with
#                               --trace, its calls under your copy's lines
#   scripts/tour.sh --record DIR ...
#                               any of those, and a record of it in DIR (new
#                               or empty): an asciicast of each stop or
#                               what-if (asciinema play DIR/NN-NAME.cast),
#                               and DIR/index.html, a page that shows them all
#                               and plays them again, with the trace views
#                               and drawings (scripts/record.py)
#   scripts/tour.sh --help
# Installs a compiler and CMake first if they are missing, for --trace
# strace, binutils and Python 3, for --what-if strace and git, for --record
# Python 3 (scripts/setup.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/registry.sh
. "$root/scripts/registry.sh"
mapfile -t all_stops < <(programs)
# The tour's own lines are wrapped at the terminal's width, at 80 columns
# when the output is not a terminal: wrap, and $width.
# shellcheck source=scripts/wrap.sh
. "$root/scripts/wrap.sh"
: "${width:?set by scripts/wrap.sh}"
# --record: record_start, record_run, and for the stops record_source,
# record_trace and keep_drawing.
# shellcheck source=scripts/record.sh
. "$root/scripts/record.sh"

trace=
what_if=
mine=
record_dir=
stops=()
words=("$@")
while [ $# -gt 0 ]; do
    arg=$1
    shift
    if [ "$arg" = --record ]; then
        if [ $# -eq 0 ] || [ -z "$1" ]; then
            echo "tour: --record needs the folder to write the record in" >&2
            exit 2
        fi
        record_dir=$1
        shift
        continue
    fi
    if [ "$arg" = --help ] || [ "$arg" = -h ]; then
        sed -n '2,/^set -euo/{/^set -euo/!s/^# \{0,1\}//p}' "$0"
        echo "stops: ${all_stops[*]}" | wrap '       '
        echo "what-ifs:"
        "$root/scripts/what_if.sh" list | sed 's/^/  /' | wrap '                                         '
        exit 0
    fi
    if [ "$arg" = --trace ]; then
        trace=yes
        continue
    fi
    if [ "$arg" = --what-if ]; then
        what_if=yes
        continue
    fi
    if [ "$arg" = --mine ]; then
        mine=yes
        continue
    fi
    if ! is_program "$arg"; then
        echo "tour: no stop named '$arg' (stops: ${all_stops[*]})" >&2
        exit 2
    fi
    stops+=("$arg")
done
# --mine: the learner's program, as the exercise script knows it: its path,
# and the copy it was built from.
if [ -n "$mine" ]; then
    if [ -n "$what_if" ]; then
        echo "tour: --what-if and --mine do not go together: a what-if takes a lesson out of the real program, not out of your copy" >&2
        exit 2
    fi
    if [ ${#stops[@]} -ne 1 ]; then
        echo "tour: --mine takes one exercise: scripts/tour.sh --mine NAME" >&2
        exit 2
    fi
    if ! built=$("$root/scripts/exercise.sh" built "${stops[0]}" 2>&1); then
        echo "tour: ${built#exercise: }" >&2
        exit 2
    fi
    { read -r mine; read -r mine_source; } <<<"$built"
fi
[ ${#stops[@]} -gt 0 ] || stops=("${all_stops[@]}")

# heading NAME: the stop's heading, its tour line in the registry; with
# --mine, whose program it plays.
heading() {
    printf '\n'
    printf '=== %s%s: %s\n' "$1" "${mine:+ (your copy, built from $mine_source)}" "$(entry "$1" tour)" | wrap '    '
}
say() { printf '%s\n' "$*" | wrap ' '; }

[ -z "$record_dir" ] || record_start "$record_dir" scripts/tour.sh "${words[@]}"
"$root/scripts/setup.sh" "$([ -n "$trace" ] && echo trace || echo tour)"
[ -z "$what_if" ] || "$root/scripts/setup.sh" what-if
[ -z "$record_dir" ] || "$root/scripts/setup.sh" record
# -k: the view needs the stack of each call, which strace may be built without.
if [ -n "$trace" ] && ! why=$(strace -qq -k -o /dev/null true 2>&1); then
    echo "tour: strace cannot trace a program here with its stacks, so there is no --trace: $why" >&2
    exit 1
fi
# Closed terminal, Ctrl-C or kill: the shell then runs the EXIT trap, which
# removes the tour's temporary files (a shell killed by the signal would not)
# and, with --record, makes the page of what was recorded.
work=
at_exit() {
    local status=$?
    cd "$root"  # out of the work directory, which goes
    [ -z "$record" ] || python3 "$root/scripts/record.py" page "$record" || true
    rm -rf "$work"
    exit "$status"
}
trap at_exit EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
work=$(mktemp -d)
build=$root/build/plain
say "tour: building the programs in build/plain (a few seconds the first time)"
log=$work/build.log
# shellcheck source=scripts/build_plain.sh
. "$root/scripts/build_plain.sh"
if ! build_plain programs onscreen >"$log" 2>&1; then
    cat "$log"
    echo "tour: the build failed (the output above)" >&2
    exit 1
fi
bin=$build/bin
onscreen=$build/tools/onscreen
# --mine: the stop reaches for the programs in a folder of its own, the
# learner's program under its name, the real ones beside it. A copy of it:
# a check meanwhile replaces or removes the one it keeps.
if [ -n "$mine" ]; then
    mkdir "$work/bin"
    for name in "${all_stops[@]}"; do
        ln -s "$bin/$name" "$work/bin/$name"
    done
    rm "$work/bin/${stops[0]}"
    cp -- "$mine" "$work/bin/${stops[0]}"
    bin=$work/bin
fi

cd "$work"

# show 'COMMAND LINE': prints the command as a user would type it, then runs it.
show() { printf '$ %s\n' "$1"; eval "$1"; }
# With --trace, the options that have onscreen run PROGRAM under strace.
traced() { [ -z "$trace" ] || printf '%s\n' --trace "$1.trace"; }
# pause NEXT: on a terminal, what was shown stays on the screen until Enter;
# with input from elsewhere (a pipe, a file) the tour goes straight on.
pause() {
    [ -t 0 ] && [ -t 1 ] || return 0
    # Keys pressed while the stop ran are no answer to the question: the
    # stop would go by unread.
    while read -r -s -t 0.01 -n 4096 _; do :; done
    printf '\n(Enter for the next %s, Ctrl-C to end) ' "$1"
    read -r _ || true
}
# under_the_hood PROGRAM [TRACE]: with --trace, the system calls PROGRAM made,
# as scripts/trace_view.py shows them, from TRACE.PID, one file for each of
# its threads (TRACE is PROGRAM.trace by default).
under_the_hood() {
    [ -n "$trace" ] || return 0
    printf '\n'
    # With --mine, the lines are the copy's, read from the copy itself.
    # shellcheck disable=SC2046  # record_trace gives whole words, one per line
    COLUMNS=$width python3 "$root/scripts/trace_view.py" $(record_trace) ${mine:+--source "$mine_source"} \
        "$1" "${2:-$1.trace}"
}
# on_terminal PROGRAM STEP...: "$ PROGRAM", then the program on a terminal of
# its own, played by the steps (tools/onscreen.cpp says what they are).
on_terminal() {
    printf '$ %s\n' "$1"
    # shellcheck disable=SC2046  # traced gives whole words, one per line
    "$onscreen" $(traced "$1") "$bin/$1" "${@:2}"
    under_the_hood "$1"
}

# --what-if: the what-ifs of the stops named, in their order.
if [ -n "$what_if" ]; then
    export WHAT_IF_WORK=$work ONSCREEN=$onscreen
    failed=()
    shown=
    for stop in "${stops[@]}"; do
        names=$(what_ifs "$stop")
        if [ -z "$names" ]; then
            printf '\n'
            say "(no what-if for $stop: none of its lessons is taken out in lessons/$stop/what-if/)"
            continue
        fi
        for name in $names; do
            [ -z "$shown" ] || pause what-if
            shown=yes
            if [ -n "$record" ]; then
                title=$("$root/scripts/what_if.sh" list | awk -v name="$name" '$1 == name { sub(/^[^ ]+ +/, ""); print }')
                record_run "$name" what-if "what if: $name: $title" "$root/scripts/what_if.sh" show "$name" ||
                    failed+=("$name")
            else
                "$root/scripts/what_if.sh" show "$name" || failed+=("$name")
            fi
        done
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "tour: these what-ifs failed: ${failed[*]}" >&2
        exit 1
    fi
    exit 0
fi

export PATH="$bin:$PATH"  # the commands read as a user types them
# play_stop NAME: the heading and the stop of NAME. A stop that fails has said
# why and ended its programs; the tour goes on. Its tour.sh is sourced in a
# shell of its own: its functions and variables do not reach the next stop.
play_stop() {
    local lesson file
    heading "$1"
    if [ -n "$mine" ] && [ "$mine_source" -nt "$mine" ]; then
        say "(your copy has changed since it was built: scripts/exercise.sh check $1 builds it anew)"
    fi
    lesson=$(lesson "$1")
    if [ ! -f "$lesson/tour.sh" ]; then
        say "(no stop here: its lesson has no tour.sh, lessons/$1/tour.sh)"
        return 0
    fi
    # The program's sources, for the record's trace views: with --mine, the
    # copy in place of the file it stands for.
    for file in $(entry "$1" sources); do
        if [ -n "$mine" ] && [ "${mine_source##*/}" = "$file" ]; then
            record_source "$mine_source"
        else
            record_source "$root/$(entry "$1" folder)/$file"
        fi
    done
    # shellcheck source=/dev/null  # each lesson's own
    (set -e; . "$lesson/tour.sh"; stop)
}
failed=()
for each in "${stops[@]}"; do
    [ "$each" = "${stops[0]}" ] || pause stop
    set +e
    if [ -n "$record" ]; then
        record_run "$each" stop "$each: $(entry "$each" tour)" play_stop "$each"
    else
        play_stop "$each"
    fi
    status=$?
    set -e
    [ "$status" -eq 0 ] || failed+=("$each")
done

printf '\n=== where next\n'
if [ -n "$mine" ]; then
    say "Run your program yourself, in a terminal: $mine (the real one: build/plain/bin/${stops[0]})."
else
    say "Run the programs yourself, in a terminal: build/plain/bin/NAME (build/plain/bin/${stops[0]}," \
        "say). The README's table says what to try with each; the code is short, read it alongside."
fi
say "The tests: scripts/test.sh."
if [ ${#failed[@]} -gt 0 ]; then
    echo "tour: these stops failed: ${failed[*]}" >&2
    exit 1
fi
