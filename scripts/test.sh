#!/usr/bin/env bash
# Builds and tests the configurations named, all four when none is:
#   plain    g++
#   clang    clang++
#   address  g++ with AddressSanitizer and UndefinedBehaviorSanitizer
#   thread   g++ with ThreadSanitizer
# Each is a CMake preset (CMakePresets.json), built in build/NAME. Every named
# configuration runs even after one has failed. Meanwhile a line tells how far
# the build and the tests have got, and what a long one is doing. Build output
# is shown only when the build fails, a test's output only when the test fails
# (and the reason of each skipped test); a table at the end sums up. The exit
# status is 0 only when every build and every test passed. Installs what the
# tests need first (scripts/setup.sh). The plain configuration also lints the
# scripts (scripts/lint.sh, as its tests Lint.Shell and Lint.Python). Each
# configuration's results are left in JUnit's XML form in build/NAME/junit.xml
# (CTest's), for a CI system to read; the counts and names here come from it.
# With --junit DIR, each is also written as DIR/NAME.xml, whole and fit for
# XML 1.0 (a build that failed is a file with that error), as CI systems
# read them.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
all=(plain clang address thread)

configurations=() junit_dir=''
while [ $# -gt 0 ]; do
    case $1 in
        -h | --help)
            sed -n '2,19s/^# \{0,1\}//p' "$0"
            echo "usage: scripts/test.sh [--junit DIR] [plain|clang|address|thread]..."
            exit 0 ;;
        --junit)
            [ -n "${2:-}" ] || { echo "test: --junit needs the folder to write in" >&2; exit 2; }
            if ! junit_dir=$(mkdir -p -- "$2" && cd -- "$2" && pwd); then
                echo "test: cannot make the folder $2" >&2
                exit 2
            fi
            shift ;;
        plain | clang | address | thread) configurations+=("$1") ;;
        *)
            echo "test: no configuration named '$1' (configurations: ${all[*]})" >&2
            exit 2 ;;
    esac
    shift
done
[ ${#configurations[@]} -gt 0 ] || configurations=("${all[@]}")

"$root/scripts/setup.sh" test || exit 1
cd "$root" || exit 1
mkdir -p build || { echo "test: cannot make the directory build/ in $root" >&2; exit 1; }
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# results JUNIT: from CTest's JUnit file, a first line with the numbers of
# tests passed, failed and skipped, then a line for each skipped test with
# the reason it gave (the lines between gtest's "Skipped" mark and its
# "[  SKIPPED ]" line), then each failed test with its output. A test is
# skipped when it said so (CTest's SKIP_ conditions); one that did not run
# for another reason (its executable missing) failed.
results() {
    python3 - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as ElementTree

try:
    cases = list(ElementTree.parse(sys.argv[1]).iter('testcase'))
except (OSError, ElementTree.ParseError):
    cases = []
passed, failed, skipped = 0, [], []
for case in cases:
    # The test's name, without the note on a parameter that gtest adds to a
    # parameterised test's ("Suite.Name/0  # GetParam() = ...").
    name = case.get('name', '').split(' ')[0]
    output = case.findtext('system-out') or ''
    skip = case.find('skipped')
    if case.get('status') == 'run':
        passed += 1
    elif skip is not None and skip.get('message', '').startswith('SKIP_'):
        reason, on = [], False
        for line in output.splitlines():
            if '[  SKIPPED ]' in line:
                break
            if on and line.strip():
                reason.append(line)
            on = on or line.endswith(': Skipped')
        skipped.append('-- skipped %s: %s\n' % (name, ' '.join(reason)))
    else:
        failed.append('-- FAILED %s, its output in full:\n%s' % (name, output))
        if output and not output.endswith('\n'):
            failed[-1] += '\n'
print(passed, len(failed), len(skipped))
sys.stdout.write(''.join(skipped + failed))
EOF
}

# Seconds in words: "45 s", "3 min".
duration() { if [ "$1" -lt 60 ]; then echo "$1 s"; else echo "$(($1 / 60)) min"; fi; }

# On a terminal the progress is one line, rewritten in place (cut to the
# terminal's width, so that it stays one line); elsewhere (a log, CI) it is
# written as lines.
# shellcheck source=scripts/wrap.sh
source "$root/scripts/wrap.sh"  # the terminal's width, $width
: "${width:?set by scripts/wrap.sh}"
on_terminal=""
[ -t 1 ] && on_terminal=$((width - 1))

# follow NAME STAGE: how far a stage (build or test) has got, from the lines
# of its output that tell (on standard input): the build's "[ 40%] Building
# CXX object ..." and CTest's "Start 12: Suite.Name" and "3/305 Test #12:
# Suite.Name ...   Passed". Shown on a terminal at each line and every few
# seconds; elsewhere at each tenth of the way (at most one line in 5 s, so a
# stage that is over in seconds shows none), and after 30 s without a line.
# A test running for 30 s or more is named, the one running longest.
follow() {
    local name=$1 stage=$2 line partial="" text number oldest
    local started=$SECONDS shown=$SECONDS tenth=0 now=0 percent=0 doing=""
    local passed=0 failed=0 skipped=0 finished=0 total=0
    local -A since=() test_name=()
    while :; do
        if IFS= read -r -t 2 line; then
            line=$partial$line
            partial=""
            if [[ $line =~ ^\[\ *([0-9]+)%\]\ (.*) ]]; then
                percent=${BASH_REMATCH[1]}
                doing=${BASH_REMATCH[2]/CMakeFiles\/*.dir\//}
                doing=${doing%.o}
                now=$((percent / 10))
            elif [[ $line =~ ^\ *Start\ +([0-9]+):\ +([^ ]+) ]]; then
                since[${BASH_REMATCH[1]}]=$SECONDS
                test_name[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
            elif [[ $line =~ ^\ *[0-9]+/([0-9]+)\ +Test\ +#([0-9]+):\  ]]; then
                total=${BASH_REMATCH[1]}
                unset "since[${BASH_REMATCH[2]}]"
                case $line in
                    *" Passed "*) passed=$((passed + 1)) ;;
                    *"***Skipped"*) skipped=$((skipped + 1)) ;;
                    *) failed=$((failed + 1)) ;;
                esac
                finished=$((finished + 1))
                now=$((finished * 10 / total))
            fi
        elif [ $? -gt 128 ]; then
            partial+=$line  # no whole line within the wait: kept for the next
        else
            break
        fi
        if [ -n "$on_terminal" ] || [ $((SECONDS - shown)) -ge 30 ] ||
            { [ "$now" -gt "$tenth" ] && [ "$now" -lt 10 ] && [ $((SECONDS - shown)) -ge 5 ]; }; then
            # What is done, the time so far, then what is doing: the part
            # that a narrow terminal cuts.
            if [ "$stage" = build ]; then
                text="building, $percent%"
            elif [ "$total" -eq 0 ]; then
                text="testing, no test finished yet"
            else
                text="$passed of $total tests passed"
                [ "$failed" -eq 0 ] || text+=", $failed failed"
                [ "$skipped" -eq 0 ] || text+=", $skipped skipped"
            fi
            text="== $name: $text ($(duration $((SECONDS - started))))"
            [ -z "$doing" ] || text+=": $doing"
            oldest=""
            for number in "${!since[@]}"; do
                [ -n "$oldest" ] && [ "${since[$number]}" -ge "${since[$oldest]}" ] || oldest=$number
            done
            if [ -n "$oldest" ] && [ $((SECONDS - since[$oldest])) -ge 30 ]; then
                text+="; ${test_name[$oldest]} running for $(duration $((SECONDS - since[$oldest])))"
            fi
            if [ -n "$on_terminal" ]; then
                printf '\r%s\033[K' "${text:0:on_terminal}"
            else
                echo "$text"
            fi
            tenth=$now
            shown=$SECONDS
        fi
    done
    [ -z "$on_terminal" ] || printf '\r\033[K'
}

rows=()
failed_any=0
all_passed=0 all_skipped=0 all_failed=0
for name in "${configurations[@]}"; do
    started=$SECONDS
    build_log=build/$name.build.log
    test_log=build/$name.test.log
    # The logs, made first: where one cannot be written, nothing would be
    # kept of the build or the tests.
    if ! error=$({ : >"$build_log" && : >"$test_log"; } 2>&1); then
        echo "== $name: cannot write its log, ${error#*: line [0-9]*: }" >&2
        rows+=("$(printf '%-13s %7s %7s %8s %6d s   log not written' "$name" - - - $((SECONDS - started)))")
        failed_any=1
        continue
    fi
    echo "== $name: configuring and building (build/$name)"
    { cmake --preset "$name" && cmake --build --preset "$name"; } 2>&1 | tee "$build_log" |
        grep --line-buffered -E '^\[ *[0-9]+%\] ' | follow "$name" build
    if [ "${PIPESTATUS[0]}" -ne 0 ]; then
        cat "$build_log"
        echo "== $name: the build failed (the output above; also in $build_log)"
        rows+=("$(printf '%-13s %7s %7s %8s %6d s   build failed' "$name" - - - $((SECONDS - started)))")
        failed_any=1
        [ -z "$junit_dir" ] || python3 "$root/scripts/results.py" --ctest "$name" "$build_log" "$junit_dir/$name.xml" ||
            echo "== $name: its JUnit file could not be written in $junit_dir"
        continue
    fi
    echo "== $name: testing"
    junit=$root/build/$name/junit.xml
    rm -f "$junit"  # an earlier run's, which would be read if this one wrote none
    ctest --preset "$name" -V --output-junit "$junit" 2>&1 | tee "$test_log" |
        grep --line-buffered -E '^ *(Start +[0-9]+: |[0-9]+/[0-9]+ +Test +#[0-9]+: )' | follow "$name" test
    ctest_status=${PIPESTATUS[0]}
    [ -z "$junit_dir" ] || python3 "$root/scripts/results.py" --ctest "$name" "$junit" "$junit_dir/$name.xml" ||
        { echo "== $name: its JUnit file could not be written in $junit_dir"; failed_any=1; }

    { read -r passed failed skipped || passed=0 failed=0 skipped=0; cat; } < <(results "$junit")
    total=$((passed + failed + skipped))
    note=""
    if [ "$total" -eq 0 ]; then
        note="   no test ran (CTest's log: $test_log)"
        failed_any=1
    elif [ "$failed" -gt 0 ] || [ "$ctest_status" -ne 0 ]; then
        note="   FAILED"
        failed_any=1
    fi
    rows+=("$(printf '%-13s %7d %7d %8d %6d s%s' "$name" "$passed" "$failed" "$skipped" \
        $((SECONDS - started)) "$note")")
    all_passed=$((all_passed + passed))
    all_skipped=$((all_skipped + skipped))
    all_failed=$((all_failed + failed))
    echo "== $name: $passed passed, $failed failed, $skipped skipped"
done

echo
printf '%-13s %7s %7s %8s %8s\n' configuration passed failed skipped time
printf '%s\n' "${rows[@]}"
echo "test: $all_passed passed, $all_failed failed, $all_skipped skipped"
if [ "$failed_any" -ne 0 ]; then
    echo "test: something failed (see above)"
    exit 1
fi
echo "test: every configuration passed"
