#!/usr/bin/env bash
# What if: each lesson shown by its absence. A what-if is a small patch that
# takes one lesson out of a program: the line "what-if WHAT TEXT" of the
# program's entry in the registry (registry.txt) names it PROGRAM--WHAT and
# says in TEXT what it shows, and lessons/PROGRAM/what-if/WHAT.patch is the
# change. The patch is applied to a copy of the program's sources, which is
# built apart (the programs themselves never change) by the project's own
# CMake, standing in for the program as an exercise's copy does; it is run
# under conditions that make its fault show on every run, and the tool that
# catches the fault says so in one line; then the real program, built the
# same way, under the same conditions, and the same tool finding nothing.
# How a lesson's what-ifs are built and run, and how each is judged, is the
# lesson's own: lessons/PROGRAM/what-if.sh (lessons/README.md).
#   scripts/what_if.sh list                  the what-ifs, one a line
#   scripts/what_if.sh show NAME             the diff, the changed program's
#                                            run and verdict, then the real one's
#   scripts/what_if.sh verdict NAME changed|real
#                                            one run and its verdict alone; exit
#                                            status 0 when the tool found the
#                                            fault, 1 when it found nothing
#   scripts/what_if.sh --help                these lines
# Needs g++ (with ThreadSanitizer's runtime, as Debian's has), CMake, git
# (which applies the patches), strace, and for the what-ifs played on a
# terminal the tour's terminal driver (build/plain/tools/onscreen, or
# $ONSCREEN). The builds are made in $WHAT_IF_WORK when it is set, and kept
# there for the next run; else in a temporary directory, removed at the end.
# scripts/tour.sh --what-if runs them on a terminal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/registry.sh
. "$root/scripts/registry.sh"
: "${registry:?set by scripts/registry.sh}"

# The lines of the what-ifs are wrapped at the terminal's width, at 80
# columns when the output is not a terminal: wrap, and $width.
# shellcheck source=scripts/wrap.sh
. "$root/scripts/wrap.sh"

usage() { sed -n '2,/^set -euo/{/^set -euo/!s/^# \{0,1\}//p}' "$0"; }

# The what-ifs' texts, "PROGRAM--WHAT TEXT", one a line.
titles() {
    awk '$1 == "program" { program = $2; next }
         $1 == "what-if" { name = program "--" $2; sub(/^[ \t]*[^ \t]+[ \t]+[^ \t]+[ \t]*/, ""); print name, $0 }' \
        "$registry"
}

# known NAME: whether NAME is one of the what-ifs list gives (and so no path).
known() {
    what_ifs "" | grep -qxF -- "$1" && return 0
    echo "what_if: no what-if named '$1' (scripts/what_if.sh list gives them)" >&2
    exit 2
}

case ${1:-} in
    list)
        titles | while read -r name title; do printf '%-38s %s\n' "$name" "$title"; done
        exit 0 ;;
    show | verdict)
        name=${2:?what_if: $1 needs a name}
        known "$name" ;;
    --help | -h)
        usage
        exit 0 ;;
    *)
        usage >&2
        exit 2 ;;
esac
if [ "$1" = verdict ]; then
    case ${3:-} in
        changed | real) ;;
        *) echo "what_if: verdict $name needs changed or real, not '${3:-}'" >&2; exit 2 ;;
    esac
fi
program=${name%%--*}
what=${name#*--}
patch=lessons/$program/what-if/$what.patch

# Closed terminal, Ctrl-C or kill: the shell then runs the EXIT trap, which
# removes the builds (a shell killed by the signal would not).
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
work=${WHAT_IF_WORK:-}
if [ -z "$work" ]; then
    trap 'rm -rf "$work"' EXIT
    work=$(mktemp -d)
fi

# What the lessons' what-if.sh use: the verdict of a run, and the tools.
# keep_drawing, for the tour's --record.
# shellcheck source=scripts/record.sh
. "$root/scripts/record.sh"

# fault_found TEXT, no_fault_found TEXT: the verdict of a run, one line
# naming the tool that judged it.
fault_found() { fault=yes verdict=$1; }
no_fault_found() { fault=no verdict=$1; }

# edit FILE TEXT SCRIPT: sed SCRIPT on FILE, which must hold TEXT.
edit() {
    grep -qF "$2" "$1" || { echo "what_if: $1 no longer holds '$2', which the what-if changes" >&2; exit 2; }
    sed -i "$3" "$1"
}

# What a program wrote, shown indented.
indent() { awk '{ print "    | " $0 }' | wrap '    |   '; }
# A flood, counted: head_and_count N keeps the first N lines of its input in
# first.txt and the number of all in count.txt; shown_head shows those lines.
head_and_count() { awk -v n="$1" 'NR <= n { print > "first.txt" } END { print NR > "count.txt" }'; }
shown_head() { indent <first.txt; echo "    | ..."; }

# onscreen SECONDS ARG...: the tour's terminal driver (tools/onscreen.cpp)
# plays a program's user, for SECONDS at the most.
onscreen() { timeout --foreground "$1" "${ONSCREEN:-$root/build/plain/tools/onscreen}" "${@:2}"; }

# judge_delay SECONDS LIMIT NONE LATE IN_TIME: the verdict on a delay
# measured: NONE when none was (the run went wrong), LATE (the fault) when it
# is over LIMIT seconds, IN_TIME otherwise.
judge_delay() {
    if [ -z "$1" ]; then
        no_fault_found "$3"
    elif awk -v d="$1" -v limit="$2" 'BEGIN { exit !(d > limit) }'; then
        fault_found "$4"
    else
        no_fault_found "$5"
    fi
}

# A counter that threads add to, each "for (int i = 0; i < COUNT; ++i)", as
# "counter = value + 1;" after a load of the value: a race on it shows only
# when the threads meet. Its count is raised as the registry's "raised COUNT
# TO" says for its tests; for the totals, to counter_total, in a build
# without optimisation ("unoptimised"), with a pause before the store.
counter_total=3000000
counter_conditions_said() {
    local raised
    read -ra raised <<<"$(entry "$program" raised)"
    echo "(both built with each thread's count raised from ${raised[0]} to ${raised[1]}, so that the threads meet;" \
        "for the totals, built without ThreadSanitizer and without optimisation (-O0), so that each" \
        "addition is a load and a store as the source says, and with each thread counting to" \
        "$counter_total: at -O2 the compiler makes the loop one addition, and the total comes out" \
        "right by luck; and with a pause of twenty empty turns of a loop between the load and the" \
        "store, the time a longer computation would take there: on a busy machine the threads may run" \
        "side by side only now and then, and a switch between them must fall inside that window to" \
        "lose additions)" | wrap ' '
}
# counter_conditions FILE BUILD: FILE's count raised for BUILD.
counter_conditions() {
    local raised
    read -ra raised <<<"$(entry "$program" raised)"
    [ "$2" != unoptimised ] || raised[1]=$counter_total
    edit "$1" "i < ${raised[0]};" "s/i < ${raised[0]};/i < ${raised[1]};/"
    [ "$2" != unoptimised ] ||
        edit "$1" 'counter = value + 1;' 's/^\( *\)counter = value + 1;/\1for (int pause = 0; pause < 20; ++pause) {\n\1}\n&/'
}
# counter_race PROGRAM TOTALS THREADS: ThreadSanitizer watches every access
# to memory two threads share in PROGRAM (a ThreadSanitizer build); then
# three runs of TOTALS (the unoptimised build), whose totals the verdict adds.
counter_race() {
    local status=0 totals expected short found
    setarch "$(uname -m)" -R "$1" >out.txt 2>tsan.txt || status=$?
    indent <out.txt
    if grep -q 'WARNING: ThreadSanitizer: data race' tsan.txt; then
        grep -m1 '^SUMMARY: ThreadSanitizer' tsan.txt | sed "s|$work/[^ ]*/src/||" | indent
        found="ThreadSanitizer: a data race on counter, even where the total comes out right (status $status)"
    else
        found="ThreadSanitizer: no data race (status $status)"
    fi
    echo "  and built for the totals, three runs:"
    for _ in 1 2 3; do "$2"; done >totals.txt
    indent <totals.txt
    expected=$((counter_total * $3))
    totals=$(awk '{ printf "%s%s", sep, $3; sep = ", " }' totals.txt)
    short=$(awk -v want="$expected" '$3 != want' totals.txt | wc -l)
    found="$found; the totals: $short of 3 short ($totals of $expected: $3 threads each counting to $counter_total)"
    if [[ $found == "ThreadSanitizer: a data race"* ]]; then fault_found "$found"; else no_fault_found "$found"; fi
}

# The lesson's what-ifs: run_WHAT, and builds, conditions and
# conditions_said where it has them.
builds() { echo plain; }
conditions() { :; }
conditions_said() { :; }
lesson_file=$(lesson "$program")/what-if.sh
if [ -f "$lesson_file" ]; then
    # shellcheck source=/dev/null
    . "$lesson_file"
fi
declare -F "run_$what" >/dev/null || {
    echo "what_if: $lesson_file has no run_$what, the run of $name" >&2
    exit 2
}

# configure TREE BUILD SOURCES: the build tree TREE made ready to build the
# program from the copy in SOURCES, in place of the program's own sources,
# as BUILD: "plain" as the project builds it, "thread" with ThreadSanitizer,
# "unoptimised" as plain but at -O0. The project's configuration is the slow
# part: a tree is made once for each BUILD and taken again for each copy,
# which then only names its own sources (each copy in a directory of its
# own, so that no object of another is taken for its, whatever the files'
# times say).
configure() {
    local options=(--preset plain)
    case $2 in
        thread) options=(--preset thread) ;;
        unoptimised) options+=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O0") ;;
    esac
    if ! grep -qxF "EXERCISE:STRING=$program" "$1/CMakeCache.txt" 2>/dev/null ||
        ! grep -qxF "EXERCISE_DIR:PATH=$3" "$1/CMakeCache.txt"; then
        cmake -S "$root" "${options[@]}" -B "$1" -DBUILD_TESTING=OFF -DEXERCISE="$program" -DEXERCISE_DIR="$3" \
            >"$1.log" 2>&1 || {
            echo "what_if: the $2 build of $name could not be configured:" >&2
            cat "$1.log" >&2
            exit 2
        }
    fi
}

# build changed|real BUILD DIR: the program in DIR, built as BUILD from a
# copy of its sources there, with the patch or without, and the lesson's
# conditions for BUILD; prints its path.
build() {
    local kind=$1 folder file tree=$work/cmake-$2
    folder=$(entry "$program" folder)
    if [ ! -x "$3/$program" ]; then
        rm -rf "$3"
        mkdir -p "$3/src/$folder"
        for file in $(entry "$program" sources); do cp "$root/$folder/$file" "$3/src/$folder/"; done
        if [ "$kind" = changed ] && ! (cd "$3/src" && git apply "$root/$patch") 2>"$3/apply.log"; then
            echo "what_if: the patch $patch no longer applies to the program:" >&2
            cat "$3/apply.log" >&2
            exit 2
        fi
        conditions "$what" "$3/src/$folder" "$2"
        configure "$tree" "$2" "$3/src/$folder"
        if ! cmake --build "$tree" --target "$program" -j "$(nproc)" >"$3/build.log" 2>&1; then
            echo "what_if: $name ($kind) does not build:" >&2
            cat "$3/build.log" >&2
            exit 2
        fi
        cp "$tree/bin/$program" "$3/$program"
    fi
    printf '%s\n' "$3/$program"
}

# run changed|real: the program built as each of the lesson's builds, the
# first in $work/changed-NAME or real-NAME, and its run in a fresh directory.
run() {
    local each programs=() dir
    for each in $(builds); do
        dir=$work/$1-$name
        [ ${#programs[@]} -eq 0 ] || dir+=-$each
        programs+=("$(build "$1" "$each" "$dir")")
    done
    dir=$work/run-$1-$name-$RANDOM
    mkdir -p "$dir"
    cd "$dir"
    # shellcheck disable=SC2034  # for run_WHAT: whose run it is, changed or real
    which=$1
    "run_$what" "${programs[@]}"
    cd "$work"
}

if [ "$1" = verdict ]; then
    run "$3" >/dev/null
    printf '%s\n' "$verdict"
    [ "$fault" = yes ] && exit 0
    exit 1
fi
printf '\n=== what if: %s: %s\n' "$name" "$(titles | awk -v name="$name" '$1 == name { sub(/^[^ ]+ /, ""); print }')" |
    wrap '    '
printf '%s\n' "The change ($patch):"
sed 's/^/    /' "$root/$patch" | wrap '          '
conditions_said "$what"
printf '%s\n' "The changed program:"
run changed
printf '  => %s\n' "$verdict" | wrap '     '
printf '%s\n' "The real program, the same way:"
run real
printf '  => %s\n' "$verdict" | wrap '     '
