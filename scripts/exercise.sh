#!/usr/bin/env bash
# Exercises: you write the lesson of a program, and its tests say how close
# you are. Each exercise is the real program with the lesson's lines taken
# out and a comment in their place saying what to write: a small patch kept
# in the program's lesson, lessons/PROGRAM/exercise.patch, with its hints in
# exercise.hints there. The registry (registry.txt) gives the rest: the
# exercise's title, the program's tests and the builds they run in.
#   scripts/exercise.sh list            the exercises, and where you stand
#   scripts/exercise.sh start NAME      your copy of the program, to edit; its
#                                       path is the last line (a copy you have
#                                       is never overwritten)
#   scripts/exercise.sh check NAME...   builds your copy in place of the program
#                                       and runs the program's tests against it;
#                                       "all" checks every copy you have; a copy
#                                       that builds is kept built, as your
#                                       program (NAME/bin/NAME beside the copy)
#       --junit FILE                    and writes the results of every test, as
#       --gradescope FILE               JUnit's XML or Gradescope's results.json
#                                       (every test runs then, past a failure)
#       --sandbox                       each test, with the copy it runs, in a
#                                       sandbox (scripts/sandbox.sh); refused
#                                       where none can be made
#       --results DIR                   keeps what the results files are made
#                                       of in DIR (scripts/results.py reads it)
#       --record DIR                    and a record of each check in DIR (new
#                                       or empty): an asciicast of what it said
#                                       (asciinema play DIR/NN-check-NAME.cast),
#                                       and a page of them all, DIR/index.html
#   scripts/exercise.sh hint NAME       the next hint
#   scripts/exercise.sh solution NAME   what your copy lacks of the real program
#   scripts/exercise.sh trace NAME      the exchange of a test your copy fails
#                                       (what the test sent, typed and
#                                       signalled, as it recorded it) run again
#                                       with your copy and with the real
#                                       program under strace: the two trace
#                                       views, the first place they part marked
#                                       in each and said in words
#   scripts/exercise.sh built NAME      the path of your program as the last
#                                       check built it, and on the next line the
#                                       copy it was built from (scripts/tour.sh
#                                       --mine plays it); fails, saying why,
#                                       when there is none
#   scripts/exercise.sh watch NAME      checks your copy at once, and again each
#                                       time it is saved; keys (read from a
#                                       terminal only: without one it runs
#                                       until ended): h the next hint, s the
#                                       solution, w the what-if, t the trace
#                                       beside, v the verdict again, q quit
#   scripts/exercise.sh files           each exercise, the file its copy is, and
#                                       the program's file it stands for, a line
#                                       each (NAME FILE PATH), for scripts
# Your copies are kept in exercises/NAME/ ($EXERCISES_DIR instead, if set:
# never inside the programs' folders or a build); the checks build in
# build/exercise-FLAVOUR, one for each of the registry's flavours
# ($EXERCISE_BUILD/... instead, if set), never in the build the tour and the
# tests use, one check at a time. In a sandbox, the folders named in
# EXERCISE_HIDE (parted by colons: a grader's other students, say) are not
# seen, even where they lie within the project.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/registry.sh
. "$root/scripts/registry.sh"
copies=${EXERCISES_DIR:-$root/exercises}
[[ $copies == /* ]] || copies=$PWD/$copies
builds=${EXERCISE_BUILD:-$root/build}

# The exercises: the programs whose lesson has a starter, in the registry's
# order.
names() {
    local name
    for name in $(programs); do
        [ ! -f "$(lesson "$name")/exercise.patch" ] || echo "$name"
    done
}
starter_of() { printf '%s\n' "$(lesson "$1")/exercise.patch"; }
hints_of() { printf '%s\n' "$(lesson "$1")/exercise.hints"; }
# Whether the word is the name of an exercise, as names gives them: a name
# becomes a folder's and a file's name, where "../x" would reach outside.
is_name() {
    local known
    for known in $(names); do [ "$known" != "$1" ] || return 0; done
    return 1
}
title_of() { entry "$1" exercise; }
# The program's file the exercise changes, as the project lays it out.
source_of() { sed -n 's|^+++ b/||p' "$(starter_of "$1")" | head -n 1; }
copy_of() { echo "$copies/$1/$(basename "$(source_of "$1")")"; }

# The program's tests: the test executable and the filter that picks them.
tests_of() { entry "$1" tests; }
# The configurations a copy is checked in (a thread program's under
# ThreadSanitizer too, which sees a race whatever the total).
flavours_of() { entry "$1" flavours; }

# The hints: the paragraphs of the lesson's exercise.hints. A paragraph
# that starts with a line "for: PATTERN..." fits the failures it names: a
# test's name (Suite.Test, with * and ? as in the shell) or "build", for a
# copy that does not build; that line is not part of the hint.
hint_count() { awk 'NF && !prev_text { n++ } { prev_text = NF > 0 } END { print n + 0 }' "$(hints_of "$1")"; }
hint_text() {
    awk -v want="$2" 'NF && !inside { n++; inside = 1; if ($1 == "for:") next } !NF { inside = 0 }
        inside && n == want' "$(hints_of "$1")"
}
# hint_for NAME FAILURE: the number of the first hint that fits the failure
# (a test's name, or "build"), or nothing when none does.
hint_for() {
    local words pattern
    while read -r -a words; do
        for pattern in "${words[@]:1}"; do
            # shellcheck disable=SC2053  # the pattern is a pattern
            if [[ $2 == $pattern ]]; then
                echo "${words[0]}"
                return
            fi
        done
    done < <(awk 'NF && !inside { n++; inside = 1; if ($1 == "for:") { $1 = ""; print n $0 } }
        !NF { inside = 0 }' "$(hints_of "$1")")
}
hints_shown() { cat "$copies/$1/.hints-shown" 2>/dev/null || echo 0; }

# Each step of a function that an "if", "||" or "&&" calls checks itself:
# bash leaves "set -e" off inside such a call, so a failure there would
# otherwise pass unseen.
# make_dir DIR: the folder DIR, with its parents; the script ends when it
# cannot be made.
make_dir() {
    mkdir -p -- "$1" 2>/dev/null || {
        echo "exercise: cannot make the folder $1 ($(mkdir -p -- "$1" 2>&1 | sed 's/.*: //'))" >&2
        exit 2
    }
}

# The starter, made from the real program: its file, in a directory of its own.
make_starter() {
    local name=$1 into=$2 file
    file=$(source_of "$name")
    make_dir "$into/$(dirname "$file")"
    cp "$root/$file" "$into/$file"
    # Applied exactly as made (no fuzz): a starter that no longer fits the
    # program is told, never bent to fit.
    if ! patch --batch --silent --fuzz=0 --no-backup-if-mismatch -p1 -d "$into" -i "$(starter_of "$name")" \
        >"$into/apply.log" 2>&1; then
        echo "exercise: the starter $(starter_of "$name") no longer applies to the program:" >&2
        cat "$into/apply.log" >&2
        exit 2
    fi
    printf '%s\n' "$into/$file"
}

need_name() {
    [ -n "${1:-}" ] || { echo "exercise: which exercise? scripts/exercise.sh list names them" >&2; exit 2; }
    is_name "$1" || { echo "exercise: no exercise named '$1' (scripts/exercise.sh list)" >&2; exit 2; }
    # A check builds the copy in place of the source of that name that the
    # registry gives: the starter's file must be one, or the check would
    # test the real program.
    local file folder
    file=$(source_of "$1")
    folder=$(entry "$1" folder)
    if [[ $file != "$folder"/* || " $(entry "$1" sources) " != *" ${file#"$folder"/} "* ]]; then
        echo "exercise: the starter $(starter_of "$1") changes $file, not one of the sources of $1 in the registry" >&2
        exit 2
    fi
}

# code_of NAME FILE: the lines of FILE, a copy of the exercise's source or
# the real one, without their spaces and without the comment lines that the
# starter's patch puts in or takes out: the same for a copy that is the
# real program with the starter's EXERCISE comments kept.
code_of() {
    awk 'NR == FNR { if ($0 ~ /^[-+][ \t]*\/\//) { line = substr($0, 2); gsub(/[ \t]/, "", line); comment[line] = 1 } next }
        { gsub(/[ \t\r]/, "") } $0 != "" && !($0 in comment)' "$(starter_of "$1")" "$2"
}

# Whether the path is the folder or lies inside it.
within() { [[ $1 == "$2" || $1 == "$2"/* ]]; }

# The folder of copies lies apart from what the project keeps and builds: a
# copy there would be the program itself (with the clone as the folder, a
# program named as its folder would have "your copy" in its folder), a
# lesson's file or a build's.
need_apart() {
    local at folder name kept=("$root/scripts" "$root/tests" "$root/tools" "$root/lessons" "$root/build" "$builds")
    local places top
    places=("$(realpath -m -- "$copies")")
    top=$(realpath -m -- "$root")
    for name in $(programs); do
        kept+=("$root/$(entry "$name" folder)")
    done
    for name in $(names); do
        places+=("${places[0]}/$name")
    done
    for at in "${places[@]}"; do
        # The clone itself, and anything within each folder it keeps.
        [ "$at" != "$top" ] || not_apart "$top"
        for folder in "${kept[@]}"; do
            folder=$(realpath -m -- "$folder")
            if within "$at" "$folder"; then not_apart "$folder"; fi
        done
    done
}
not_apart() {
    echo "exercise: the folder of copies ($copies) must lie outside the project's programs, scripts and builds ($1); set EXERCISES_DIR to another folder" >&2
    exit 2
}

# A test's name in words: "GoodCopyWritesPromptsAndCompletionOnly" reads
# "good copy writes prompts and completion only".
in_words() { sed -E 's/^[^.]*\.//; s/([a-z0-9])([A-Z])/\1 \2/g; s/([A-Z])([A-Z][a-z])/\1 \2/g' <<<"$1" | tr '[:upper:]' '[:lower:]'; }

# What a check is doing, as it goes: on a terminal one line, written over
# each time; elsewhere (a log, a test) a line each; none with EXERCISE_QUIET
# set (a grader's report, which holds only the verdicts).
progress() {
    if [ -n "${EXERCISE_QUIET:-}" ]; then
        :
    elif [ -t 1 ]; then printf '\r\033[K%s' "$1"; else printf '%s\n' "$1"; fi
}
# Clears the progress line before a verdict.
progress_end() { [ ! -t 1 ] || printf '\r\033[K'; }

# One check at a time in a tree of builds: each configures the tree for its
# own exercise, and a second one at once would build and test the first
# one's copy. The lock is held until the check ends; the programs it starts
# do not inherit it (9>&- on each), so that none left behind holds it.
lock_builds() {
    local lock=$builds/exercise-check.lock holder
    make_dir "$builds"
    exec 9>>"$lock"
    if ! flock -n 9; then
        holder=$(cat "$lock" 2>/dev/null) || true
        progress "waiting for another check (PID ${holder:-unknown}) to end..."
        flock 9
    fi
    echo $$ >"$lock"
}

# A check's tree is a tree of its own: never a build of the real programs
# (the tour's and the tests', whose cache names no exercise), even through a
# link, which a check would configure and build with the copy in place of
# the program.
need_own_tree() {
    local build preset
    build=$(realpath -m -- "$1")
    while read -r preset; do
        [ "$build" != "$(realpath -m -- "$root/build/$preset")" ] || refuse_tree "$1"
    done < <(sed -n 's/.*"name": *"\([^"]*\)".*/\1/p' "$root/CMakePresets.json" | sort -u)
    if [ -f "$build/CMakeCache.txt" ] && ! grep -q '^EXERCISE:STRING=.' "$build/CMakeCache.txt"; then
        refuse_tree "$1"
    fi
}
refuse_tree() {
    echo "exercise: $1 is a build of the real programs, not a check's own; set EXERCISE_BUILD to another folder" >&2
    exit 2
}

# What the compiler said of the copy, from a build's log: the errors and
# warnings in the copy's file with the lines after them, the copy's folder
# left out of its name (matched as a string, not a pattern); any error or
# warning, when none is in the copy.
compiler_words() {
    local words
    words=$(PREFIX=$2 awk 'index($0, ENVIRON["PREFIX"]) == 1 { $0 = substr($0, length(ENVIRON["PREFIX"]) + 1) } 1' "$1")
    { grep -E -A3 '^[^/:]+:[0-9]+:[0-9]+: (error|warning)' <<<"$words" || grep -E -B2 -A2 'error|warning' <<<"$words"; } |
        grep -v -E '^(g?make|--$)' | head -n 20 | sed 's/^/    /'
}

# build_in NAME FLAVOUR: builds the copy in that configuration, with the
# program's tests; says what the compiler said when it does not build.
build_in() {
    local name=$1 flavour=$2 build=$builds/exercise-$2 binary filter folder
    read -r binary filter <<<"$(tests_of "$name")"
    need_own_tree "$build"
    # The copy's folder is built through a link in the tree, named after its
    # path: CMake and make go wrong on some characters in a path ("[", ";"),
    # which a folder of copies may hold; another folder is another link.
    folder=$build/copies/$(printf '%s' "$copies/$name" | md5sum | cut -c 1-16)
    make_dir "$build/copies"
    ln -sfn "$copies/$name" "$folder" || { echo "exercise: cannot make the link $folder" >&2; exit 2; }
    # Configured anew only for another exercise or folder of copies: the
    # build itself configures again when the project's CMake files change.
    if grep -qxF "EXERCISE:STRING=$name" "$build/CMakeCache.txt" 2>/dev/null &&
        grep -qxF "EXERCISE_DIR:PATH=$folder" "$build/CMakeCache.txt"; then
        :
    else
        progress "configuring the $flavour build..."
        if ! cmake -S "$root" --preset "$flavour" -B "$build" -DBUILD_TESTING=ON -DEXERCISE="$name" \
            -DEXERCISE_DIR="$folder" >"$build/configure.log" 2>&1 9>&-; then
            progress_end
            cat "$build/configure.log" >&2
            echo "exercise: the $flavour build could not be configured (above)" >&2
            exit 2
        fi
    fi
    progress "building ($flavour build)..."
    if ! cmake --build "$build" --target "$binary" -j "$(nproc)" >"$build/build.log" 2>&1 9>&-; then
        progress_end
        failure=build
        echo "✗ Your copy does not build ($flavour build). What the compiler said:"
        compiler_words "$build/build.log" "$folder/"
        echo "  (every warning counts as an error, as in the project's own build; all of it: $build/build.log)"
        [ -z "$every" ] || record_build "$name" "$flavour" "$build/build.log" "$folder/"
        return 1
    fi
}

# gtest_results FILE: what gtest's XML report FILE (--gtest_output=xml)
# says of each test it holds, a line each: "Suite.Test RESULT SECONDS
# REASON", the result passed, failed, skipped, or listed (a list of tests,
# none run), the time it took, and the reason a skipped test gave, in a line
# of its own words (gtest's file:line left out). Nothing when there is no
# report: the test process did not end as gtest ends. The report is XML, not JSON: gtest's JSON
# (1.12, Debian 12's) leaves a skipped test's reason out.
gtest_results() {
    [ -s "$1" ] || return 0
    python3 -c '
import sys, xml.etree.ElementTree as tree
try:
    suites = list(tree.parse(sys.argv[1]).getroot().iter("testsuite"))
except tree.ParseError:
    suites = []  # cut short: the test did not end as gtest ends
for suite in suites:
    for case in suite.iter("testcase"):
        skipped = case.find("skipped")
        if case.find("failure") is not None:
            result = "failed"
        elif case.get("result") == "skipped":
            result = "skipped"
        elif case.get("result") == "completed":
            result = "passed"
        else:
            result = "listed"
        words = "" if skipped is None else skipped.get("message", "").split("\n", 1)[1:]
        reason = " ".join(line.strip() for line in "".join(words).split("\n") if line.strip())
        reason = "".join(c if c.isprintable() else " " for c in reason)
        print(suite.get("name") + "." + case.get("name"), result, case.get("time", "0"), reason)
' "$1"
}

# The names of the tests a gtest executable holds that match a filter, in
# their order: "Suite.Test", one a line.
list_tests() {
    local list=$3/list.xml
    "$1" --gtest_filter="$2" --gtest_list_tests --gtest_output="xml:$list" >/dev/null || return 0
    gtest_results "$list" | cut -d ' ' -f 1
}

# run_tests NAME FLAVOUR...: the program's tests in each configuration, each
# test a process of its own and all at once: most of them wait on the
# program's clock, not on the CPU. The first to fail is the verdict: what
# failed and the report of the run that failed; the others are ended then,
# unless results files are asked for ($every): then every test runs to its
# end, for its own entry in them. When none fails, says how many passed, and
# which could not run here and why. Each test's log holds its output (the
# report of a failure among it); its result, time and a skipped test's
# reason come from gtest's XML report.
run_tests() {
    local name=$1 binary filter flavour build test log i pid status failed=-1 result seconds reason
    shift
    read -r binary filter <<<"$(tests_of "$name")"
    local pids=() tests=() flavours=() logs=() results=() reasons=() times=() started=()
    for flavour in "$@"; do
        build=$builds/exercise-$flavour
        # No result of an earlier check may stand for one of this check's.
        rm -rf "$build/runs" || { echo "exercise: cannot remove the earlier runs in $build/runs" >&2; exit 2; }
        make_dir "$build/runs"
        while read -r test; do
            log=$build/runs/${test//\//_}/log
            make_dir "${log%/log}"
            start_test "$name" "$flavour" "$build/tests/$binary" "$test" "$log" &
            pids+=("$!") tests+=("$test") flavours+=("$flavour") logs+=("$log") started+=("$EPOCHREALTIME")
        done < <(list_tests "$build/tests/$binary" "$filter" "$build/runs")
    done
    if [ ${#pids[@]} -eq 0 ]; then
        echo "exercise: no test of $name was found ($filter in $binary)" >&2
        exit 2
    fi
    local left=${#pids[@]} total=${#pids[@]} passed=0 not_run=0
    while [ "$left" -gt 0 ]; do
        status=0
        wait -n -p pid || status=$?
        left=$((left - 1))
        for i in "${!pids[@]}"; do
            [ "${pids[$i]}" = "$pid" ] || continue
            unset "pids[$i]"
            read -r _ result seconds reason < <(gtest_results "${logs[$i]%log}result.xml") || result=
            # A test that did not end as gtest ends took the time it ran.
            [ -n "$result" ] || seconds=$(elapsed "${started[$i]}")
            results[i]=$result reasons[i]=$reason times[i]=$seconds
            # A pass, or a skip, is gtest's word for it and a status of 0.
            if [ "$status" -eq 0 ] && [ "$result" = passed ]; then
                passed=$((passed + 1))
            elif [ "$status" -eq 0 ] && [ "$result" = skipped ]; then
                not_run=$((not_run + 1))
            else
                [ "$result" = failed ] || results[i]=error
                [ "$failed" -ge 0 ] || failed=$i
            fi
        done
        [ "$failed" -lt 0 ] || [ -n "$every" ] || break
        # A skipped test is out of the count: it may yet have run in
        # another build, which the verdict tells.
        progress "$passed of $((total - not_run)) tests passed$([ "$not_run" -eq 0 ] || echo ", $not_run skipped")"
    done
    progress_end
    if [ "$failed" -ge 0 ]; then
        # The rest are ended, with every program they started.
        [ ${#pids[@]} -eq 0 ] || kill -TERM "${pids[@]}" 2>/dev/null || true
        wait || true
    fi
    # A test that some configuration leaves out (one that cannot run under a
    # sanitizer, say) has run when another configuration ran it.
    local ran=" "
    for i in "${!tests[@]}"; do
        [ "${results[$i]:-skipped}" = skipped ] || ran+="${tests[$i]} "
    done
    [ -z "$every" ] || record_tests
    if [ "$failed" -ge 0 ]; then
        test=${tests[$failed]} log=${logs[$failed]} flavour=${flavours[$failed]}
        failure=$test
        if [ "${results[$failed]}" = failed ]; then
            echo "✗ The test \"$(in_words "$test")\" failed ($flavour build; $test)."
        else
            echo "✗ The test \"$(in_words "$test")\" did not finish ($flavour build; $test):"
            last_of "$log" | sed 's/^/    /'
        fi
        report_of "$log" | sed 's/^/  /'
        echo "  (the whole run: $log)"
        [ -z "$every" ] || [ "$passed" -eq 0 ] || echo "  ($passed of $total tests passed)"
        return 1
    fi
    local summary=() skipped=()
    for flavour in "$@"; do
        local passed=0
        for i in "${!tests[@]}"; do
            [ "${flavours[$i]}" = "$flavour" ] || continue
            if [ "${results[$i]:-}" != skipped ]; then
                passed=$((passed + 1))
            elif [[ $ran != *" ${tests[$i]} "* ]]; then
                skipped+=("${tests[$i]} ($flavour build): ${reasons[$i]}")
            fi
        done
        summary+=("$passed in the $flavour build")
    done
    local joined
    joined=$(IFS=,; echo "${summary[*]}")
    joined=${joined//,/, and }
    if [ ${#skipped[@]} -gt 0 ]; then
        echo "✗ Not every test of $name could run here, so this is not a pass. Passed: $joined; could not run:"
        printf '    %s\n' "${skipped[@]}"
        return 1
    fi
    echo "✓ Every test of $name passes: $joined."
}

# start_test NAME FLAVOUR BINARY TEST LOG: one test, its output in LOG and
# gtest's report beside it (result.xml). With --sandbox, in a sandbox that
# reads the project and the copy's folder, and writes nothing but its own
# /tmp, LOG and its /keep, where gtest writes its report: the sandbox copies
# it out once gtest has ended and every process left of the test's program
# is killed.
start_test() {
    local command=("$3" --gtest_filter="$4" --gtest_color=no)
    if [ -z "$sandbox" ]; then
        exec "${command[@]}" --gtest_output="xml:${5%log}result.xml" >"$5" 2>&1 9>&-
    fi
    local bounds=() hidden folder
    # ThreadSanitizer reserves more address space than any bound on it.
    [ "$2" != plain ] || bounds+=(--memory)
    IFS=: read -r -a hidden <<<"${EXERCISE_HIDE:-}"
    for folder in "${hidden[@]}"; do
        [ -z "$folder" ] || bounds+=(--hide "$folder")
    done
    exec "$root/scripts/sandbox.sh" "${bounds[@]}" --read "$builds" --read "$copies/$1" \
        --keep result.xml "${5%log}result.xml" -- "${command[@]}" --gtest_output=xml:/keep/result.xml \
        >"$5" 2>&1 9>&-
}

# last_of LOG: the last lines of a test's log, each cut to a line's width:
# a test that did not finish may have been writing anything.
last_of() { tail -n 15 "$1" | cut -c 1-300; }

# elapsed START: the seconds since START ($EPOCHREALTIME then).
elapsed() { awk -v from="$1" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.3f", to - from }'; }

# report_of LOG: the report of the failure in a test's log, as the harness
# wrote it.
report_of() { awk '/^\[ report \]$/ { inside = 1; next } /^\[ end of report \]$/ { exit } inside' "$1"; }

# record_tests: run_tests' entry for each test in the results files: its
# exercise, build, name, result, time and points, and the words under it in
# a file of their own: the failure's report, what a test that did not
# finish wrote last, or why a skipped one did not run. A test that one
# build leaves out but another ran is worth nothing in the one that left it
# out; one that no build ran is worth its points, and gets none.
record_tests() {
    local i words points
    for i in "${!tests[@]}"; do
        words=$results_dir/$(($(wc -l <"$results_dir/manifest") + 1)).txt
        points=$(points_of "$name" "${tests[$i]}")
        case ${results[$i]} in
            failed) report_of "${logs[$i]}" >"$words" ;;
            error) { echo "The test did not finish; what it wrote last:"; last_of "${logs[$i]}"; } >"$words" ;;
            skipped)
                if [[ $ran == *" ${tests[$i]} "* ]]; then
                    points=0
                    echo "Left out of the ${flavours[$i]} build (${reasons[$i]}); it ran in another build." >"$words"
                else
                    echo "Could not run here, so it is not counted as passed: ${reasons[$i]}" >"$words"
                fi ;;
            passed) : >"$words" ;;
            *) continue ;;
        esac
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "${flavours[$i]}" "${tests[$i]}" "${results[$i]}" \
            "${times[$i]}" "$points" "$words" >>"$results_dir/manifest"
    done
}

# record_build NAME FLAVOUR LOG PREFIX: the entry in the results files of a
# copy that does not build: one failure, worth every point of its tests,
# with what the compiler said.
record_build() {
    local words=$results_dir/$(($(wc -l <"$results_dir/manifest") + 1)).txt
    { echo "The copy does not build ($2 build). What the compiler said:"; compiler_words "$3" "$4"; } >"$words"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" build error 0 "$(points_of "$1" build)" "$words" \
        >>"$results_dir/manifest"
}

# points_of NAME TEST: what the test is worth, from the registry's "points
# PATTERN N" lines for the program (the first whose pattern fits); 1 when
# none does.
points_of() {
    local pattern value
    while read -r pattern value; do
        # shellcheck disable=SC2053  # the pattern is a pattern
        if [[ $2 == $pattern ]]; then
            echo "$value"
            return
        fi
    done < <(entry "$1" points)
    echo 1
}

# check NAME: builds the copy and runs its tests; the verdict, and what to
# do next.
check() {
    local name=$1 failed=0 flavour
    failure=
    echo "Checking your $name ($(copy_of "$name")) against the program's tests..."
    rm -f -- "$(built_of "$name")" || { echo "exercise: cannot remove the program of the last check, $(built_of "$name")" >&2; exit 2; }
    for flavour in $(flavours_of "$name"); do
        build_in "$name" "$flavour" || { failed=1; break; }
        [ "$flavour" != plain ] || keep_built "$name"
    done
    # shellcheck disable=SC2046  # one word a configuration
    [ "$failed" -ne 0 ] || run_tests "$name" $(flavours_of "$name") || failed=1
    if [ "$failed" -ne 0 ]; then
        echo failed >"$copies/$name/.last-check"
        failure_hint "$name" "$failure"
        echo "(scripts/exercise.sh hint $name gives the next hint; solution $name, the answer)"
        where_built "$name"
        return 1
    fi
    echo passed >"$copies/$name/.last-check"
    if [ -n "$(what_ifs "$name")" ]; then
        echo "Now see what goes wrong without it: scripts/tour.sh --what-if $name"
    else
        echo "Now watch it at work: scripts/tour.sh $name"
    fi
    where_built "$name"
}

# The learner's program, as a check built it from the copy (the plain
# build's): kept in a folder of its own beside the copy, since the tree's
# bin/NAME is the real program once another exercise is checked there. A
# check removes the one of the check before, so that a copy that no longer
# builds has none standing for it.
built_of() { printf '%s\n' "$copies/$1/bin/$1"; }
# keep_built NAME: the plain build's program, put in its place whole: a new
# file renamed over the old one, which a tour may be running.
keep_built() {
    local kept
    kept=$(built_of "$1")
    make_dir "${kept%/*}"
    if ! { cp -- "$builds/exercise-plain/bin/$1" "$kept.new" && mv -f -- "$kept.new" "$kept"; }; then
        echo "exercise: cannot keep your built program at $kept" >&2
        exit 2
    fi
}
# where_built NAME: the last line of a check of a copy that built, saying
# where its program is (not in a grader's report: the place is the grader's).
where_built() {
    local kept
    kept=$(built_of "$1")
    [ -n "${EXERCISE_QUIET:-}" ] || [ ! -f "$kept" ] ||
        echo "Your program, built: $kept (watch it at work: scripts/tour.sh --mine $1)"
}

# A hint under a failed check: the one that fits the failure, where one
# does; for a copy that does not build, else a word on the compiler's words;
# else the hint in line (the last one shown, or the first).
failure_hint() {
    local name=$1 failure=$2 n shown
    n=$(hint_for "$name" "$failure")
    if [ -z "$n" ] && [ "$failure" = build ]; then
        echo "Hint: read the compiler's first error first: it names the file, the line and the column"
        echo "      where it stopped, and what it expected there; the errors after it often"
        echo "      follow from it. Every warning counts as an error here."
        return
    fi
    if [ -z "$n" ]; then
        shown=$(hints_shown "$name")
        n=$((shown > 0 ? shown : 1))
    fi
    echo "Hint: $(hint_text "$name" "$n" | sed '2,$s/^/      /')"
}

# record_failures NAME DIR: the program's tests run again with the copy
# (the plain build, built), all at once, each recording the exchange of its
# first failure in DIR/N (tests/report.h says what it holds); prints the
# failed ones, "N Suite.Test" a line, in the tests' order.
record_failures() {
    local name=$1 binary filter build=$builds/exercise-plain test i=0 pids=() names=()
    read -r binary filter <<<"$(tests_of "$name")"
    while read -r test; do
        i=$((i + 1))
        make_dir "$2/$i"
        HARNESS_EXCHANGE=$2/$i timeout -k 5 300 "$build/tests/$binary" --gtest_filter="$test" --gtest_color=no \
            >"$2/$i/log" 2>&1 9>&- &
        pids+=("$!") names+=("$i $test")
    done < <(list_tests "$build/tests/$binary" "$filter" "$2")
    for i in "${!pids[@]}"; do
        wait "${pids[$i]}" || echo "${names[$i]}"
    done
}

# replayable DIR NAME: whether DIR holds an exchange with the program NAME
# itself that can be run again here: not one that runs it under strace of
# its own, nor one that gave it a /tmp of its own (a FIFO there: run again,
# it would be the real /tmp's, which a learner's own program may be reading).
replayable() {
    python3 -c 'import json, os, sys
exchange = json.load(open(sys.argv[1] + "/exchange.json"))
sys.exit(os.path.basename(exchange["program"]) != sys.argv[2] or exchange["private_tmp"])' "$1" "$2" 2>/dev/null
}

# build_real NAME: the real program, built as the tour builds it
# (build/plain, without the tests when the tree is new); its path.
build_real() {
    local log
    log=$(mktemp)
    # shellcheck source=scripts/build_plain.sh
    . "$root/scripts/build_plain.sh"
    if ! build_plain "$1" >"$log" 2>&1 9>&-; then
        cat "$log" >&2
        rm -f "$log"
        echo "exercise: the real $1 did not build (above)" >&2
        exit 2
    fi
    rm -f "$log"
    echo "$root/build/plain/bin/$1"
}

# trace NAME: the trace beside, of the first test in order that the copy
# fails and whose exchange can be run again.
trace_beside() {
    : "${width:?set by scripts/wrap.sh, which the trace verb sources}"
    local name=$1 real failed number test mine
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    progress "building the real $name..."
    real=$(build_real "$name")
    build_in "$name" plain || exit 1
    progress "running the tests again, to record a failing one's exchange..."
    failed=$(record_failures "$name" "$work")
    progress_end
    if [ -z "$failed" ]; then
        echo "Every test of $name passes with your copy here: there is no failing exchange to trace."
        echo "Watch your copy at work instead: scripts/tour.sh --mine --trace $name"
        return 0
    fi
    while read -r number test; do
        if replayable "$work/$number" "$name"; then
            mine=$builds/exercise-plain/bin/$name
            progress "running the exchange again, under strace..."
            python3 "$root/scripts/replay.py" "$work/$number" "$mine" "$work/mine" >"$work/mine.notes" 9>&-
            python3 "$root/scripts/replay.py" "$work/$number" "$real" "$work/real" >"$work/real.notes" 9>&-
            progress_end
            printf '%s\n' "The exchange of the test \"$(in_words "$test")\" ($test), which your copy fails," \
                "run again under strace: with your copy ($(copy_of "$name")), then with the real program" \
                "($(source_of "$name")). Each call is under the line of the source that made it." | fmt -w "$width"
            sed 's/^/Your copy: /' "$work/mine.notes"
            sed 's/^/The real program: /' "$work/real.notes"
            echo
            COLUMNS=$width python3 "$root/scripts/trace_view.py" --beside "$name" "$work/mine" "$work/real"
            return 0
        fi
    done <<<"$failed"
    echo "exercise: each test your copy fails runs $name under a tool of its own (strace), or with a /tmp of its own (a FIFO there), and such an exchange is not run again here; the check's report says what the test did" >&2
    return 1
}

case ${1:-} in
    list | start | check | hint | solution | trace | watch) need_apart ;;
esac
case ${1:-} in
    list)
        # Where you stand: not started, started (not checked yet), or how
        # the last check went; the titles wrapped to the terminal's width
        # (80 columns elsewhere), under their own column: $width. Then how
        # many have passed, and the next: the first in the list not passed.
        # shellcheck source=scripts/wrap.sh
        . "$root/scripts/wrap.sh"
        : "${width:?set by scripts/wrap.sh}"
        passed=0 total=0 next='' next_step=''
        for name in $(names); do
            state="not started"
            if [ -f "$(copy_of "$name")" ]; then
                state=started
                [ ! -f "$copies/$name/.last-check" ] || state=$(cat "$copies/$name/.last-check")
            fi
            total=$((total + 1))
            if [ "$state" = passed ]; then
                passed=$((passed + 1))
            elif [ -z "$next" ]; then
                next=$name
                next_step=$([ "$state" = "not started" ] && echo start || echo check)
            fi
            title_of "$name" | fold -s -w $((width > 48 ? width - 28 : 20)) | sed 's/ *$//' |
                awk -v name="$name" -v state="$state" \
                    'NR == 1 { printf "%-14s %-12s %s\n", name, state, $0; next } { printf "%28s %s\n", "", $0 }'
        done
        echo "(your copies: $copies/NAME/)"
        if [ -z "$next" ]; then
            echo "Passed: $total of $total, every exercise."
        else
            echo "Passed: $passed of $total. Next: $next; $next_step it: scripts/exercise.sh $next_step $next" | wrap '  '
        fi ;;
    start)
        need_name "${2:-}"
        name=$2
        copy=$(copy_of "$name")
        if [ -f "$copy" ]; then
            echo "You have a copy of this exercise already; it is kept as it is."
            # Only a copy that start made is offered for removal.
            if [ -f "$copies/$name/.started" ]; then
                echo "To start again from the beginning: rm $(printf '%q' "$copy") && scripts/exercise.sh start $name"
            else
                echo "To start again from the beginning, move it out of the way, then: scripts/exercise.sh start $name"
            fi
            printf '%s\n' "$copy"
            exit 0
        fi
        "$root/scripts/setup.sh" starter
        work=$(mktemp -d)
        trap 'rm -rf "$work"' EXIT
        starter=$(make_starter "$name" "$work")
        make_dir "$copies/$name"
        cp "$starter" "$copy"
        # A new copy has no check and no hint yet.
        rm -f "$copies/$name/.last-check" "$copies/$name/.hints-shown"
        : >"$copies/$name/.started"
        echo "Your copy of $name: $(title_of "$name") is left for you to write."
        echo "Look for the comments marked EXERCISE in it, write the code, then"
        echo "  scripts/exercise.sh check $name     runs the program's tests against it"
        echo "  scripts/exercise.sh hint $name      gives a hint, the next one each time"
        printf '%s\n' "$copy" ;;
    check)
        shift
        checked=() junit='' gradescope='' sandbox='' every='' results_dir='' record_dir=''
        words=("$@")
        while [ $# -gt 0 ]; do
            case $1 in
                --record)
                    [ -n "${2:-}" ] || { echo "exercise: $1 needs the folder to write the record in" >&2; exit 2; }
                    record_dir=$2
                    shift ;;
                --results)
                    [ -n "${2:-}" ] || { echo "exercise: $1 needs a folder" >&2; exit 2; }
                    make_dir "$2"
                    results_dir=$(realpath -- "$2")
                    every=1
                    shift ;;
                --junit | --gradescope)
                    [ -n "${2:-}" ] || { echo "exercise: $1 needs the file to write" >&2; exit 2; }
                    printf -v "${1#--}" '%s' "$(realpath -m -- "$2")"
                    every=1
                    shift ;;
                --sandbox) sandbox=1 ;;
                all)
                    for name in $(names); do
                        [ ! -f "$(copy_of "$name")" ] || checked+=("$name")
                    done
                    [ ${#checked[@]} -gt 0 ] || { echo "exercise: no copy of any exercise in $copies yet" >&2; exit 2; } ;;
                *)
                    need_name "$1"
                    [ -f "$(copy_of "$1")" ] || { echo "exercise: no copy of $1 yet: scripts/exercise.sh start $1" >&2; exit 2; }
                    checked+=("$1") ;;
            esac
            shift
        done
        [ ${#checked[@]} -gt 0 ] || need_name ""
        # shellcheck source=scripts/record.sh
        . "$root/scripts/record.sh"
        [ -z "$record_dir" ] || record_start "$record_dir" scripts/exercise.sh check "${words[@]}"
        "$root/scripts/setup.sh" exercise
        [ -z "$record_dir" ] || "$root/scripts/setup.sh" record
        if [ -n "$sandbox" ]; then
            "$root/scripts/setup.sh" grade
            # Never a check said to be sandboxed that is not.
            reason=$("$root/scripts/sandbox.sh" --check 2>&1) ||
                { echo "exercise: no sandbox can be made here, so no copy is checked: $reason" >&2; exit 2; }
        fi
        if [ -z "$results_dir" ]; then
            results_dir=$(mktemp -d)
            trap 'rm -rf "$results_dir"' EXIT
        fi
        touch "$results_dir/manifest"
        lock_builds
        status=0 start=$EPOCHREALTIME
        for name in "${checked[@]}"; do
            if [ -n "$record" ]; then
                # A check that could not be made (2) ends them all, as it
                # does unrecorded.
                record_run "check-$name" check "check $name: $(title_of "$name")" check "$name" || {
                    code=$?
                    [ "$code" -lt 2 ] || exit "$code"
                    status=1
                }
            else
                check "$name" || status=1
            fi
        done
        if [ -n "$junit$gradescope" ]; then
            for file in "$junit" "$gradescope"; do
                [ -z "$file" ] || make_dir "$(dirname "$file")"
            done
            python3 "$root/scripts/results.py" ${junit:+--junit "$junit"} ${gradescope:+--gradescope "$gradescope"} \
                --seconds "$(elapsed "$start")" "$results_dir/manifest" ||
                { echo "exercise: the results could not be written" >&2; exit 2; }
        fi
        exit "$status" ;;
    trace)
        need_name "${2:-}"
        name=$2
        [ -f "$(copy_of "$name")" ] || { echo "exercise: no copy of $name yet: scripts/exercise.sh start $name" >&2; exit 2; }
        "$root/scripts/setup.sh" exercise
        "$root/scripts/setup.sh" trace
        # -k: the view needs the stack of each call.
        if ! why=$(strace -qq -k -o /dev/null true 2>&1); then
            echo "exercise: strace cannot trace a program here with its stacks, so there is no trace: $why" >&2
            exit 1
        fi
        # shellcheck source=scripts/wrap.sh
        . "$root/scripts/wrap.sh"
        : "${width:?set by scripts/wrap.sh}"
        lock_builds
        trace_beside "$name" ;;
    built)
        need_name "${2:-}"
        kept=$(built_of "$2")
        if [ ! -f "$kept" ]; then
            if [ -f "$(copy_of "$2")" ]; then
                echo "exercise: no program built from your copy of $2 yet (a check builds it): scripts/exercise.sh check $2" >&2
            else
                echo "exercise: no copy of $2 yet: scripts/exercise.sh start $2, then scripts/exercise.sh check $2" >&2
            fi
            exit 1
        fi
        printf '%s\n%s\n' "$kept" "$(copy_of "$2")" ;;
    files)
        for name in $(names); do
            echo "$name $(basename "$(source_of "$name")") $(source_of "$name")"
        done ;;
    hint)
        need_name "${2:-}"
        name=$2
        shown=$(hints_shown "$name")
        count=$(hint_count "$name")
        if [ "$shown" -ge "$count" ]; then
            echo "That was the last hint ($count of $count); hint 1 again. The answer: scripts/exercise.sh solution $name"
            shown=0
        fi
        shown=$((shown + 1))
        echo "Hint $shown of $count for $name:"
        hint_text "$name" "$shown" | sed 's/^/  /'
        make_dir "$copies/$name"
        echo "$shown" >"$copies/$name/.hints-shown" ;;
    solution)
        need_name "${2:-}"
        name=$2
        copy=$(copy_of "$name")
        label="your copy"
        if [ ! -f "$copy" ]; then
            "$root/scripts/setup.sh" starter
            work=$(mktemp -d)
            trap 'rm -rf "$work"' EXIT
            copy=$(make_starter "$name" "$work")
            label="the starter (you have no copy yet)"
        fi
        real=$root/$(source_of "$name")
        echo "From $label to the real program ($(source_of "$name")):"
        if cmp -s "$copy" "$real"; then
            echo "(none: $label is the real program, line for line)"
        elif cmp -s <(code_of "$name" "$copy") <(code_of "$name" "$real"); then
            # The EXERCISE comments a learner leaves in are no difference.
            echo "(none but comments and spaces: $label is the real program; the starter's EXERCISE comments"
            echo " may go, and the real program's own comments are in $(source_of "$name"))"
        else
            diff -u --label "$label" --label "$(source_of "$name")" "$copy" "$real" || true
        fi ;;
    watch)
        need_name "${2:-}"
        # shellcheck source=scripts/exercise_watch.sh
        . "$root/scripts/exercise_watch.sh"
        watch_copy "$2" ;;
    *)
        awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
        exit 2 ;;
esac
