#!/usr/bin/env bash
# Builds and tests the configurations named, all four when none is:
#   plain    g++
#   clang    clang++
#   address  g++ with AddressSanitizer and UndefinedBehaviorSanitizer
#   thread   g++ with ThreadSanitizer
# Each is a CMake preset (CMakePresets.json), built in build/NAME. Every named
# configuration runs even after one has failed. Build output is shown only
# when the build fails, a test's output only when the test fails (and the
# reason of each skipped test); a table at the end sums up. The exit status
# is 0 only when every build and every test passed. Installs what the tests
# need first (scripts/setup.sh).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
all=(plain clang address thread)

for arg in "$@"; do
    case $arg in
        -h | --help)
            sed -n '2,12s/^# \{0,1\}//p' "$0"
            echo "usage: scripts/test.sh [plain|clang|address|thread]..."
            exit 0 ;;
        plain | clang | address | thread) ;;
        *)
            echo "test: no configuration named '$arg' (configurations: ${all[*]})" >&2
            exit 2 ;;
    esac
done
configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=("${all[@]}")

"$root/scripts/setup.sh" test || exit 1
cd "$root" || exit 1
mkdir -p build
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# From CTest's verbose log: the lines of test number N, without the prefix.
lines_of() { sed -n "s/^$2: //p" "$1"; }

# The reason a skipped test gave: the lines between gtest's "Skipped" mark
# and its "[  SKIPPED ]" line.
reason_of() {
    lines_of "$1" "$2" | awk '/\[  SKIPPED \]/ { exit } on && NF { print } /: Skipped$/ { on = 1 }' |
        paste -sd ' '
}

rows=()
failed_any=0
all_passed=0 all_skipped=0 all_failed=0
for name in "${configurations[@]}"; do
    started=$SECONDS
    build_log=build/$name.build.log
    test_log=build/$name.test.log
    echo "== $name: configuring and building (build/$name)"
    if ! { cmake --preset "$name" && cmake --build --preset "$name"; } >"$build_log" 2>&1; then
        cat "$build_log"
        echo "== $name: the build failed (the output above; also in $build_log)"
        rows+=("$(printf '%-13s %7s %8s %7s %6d s   build failed' "$name" - - - $((SECONDS - started)))")
        failed_any=1
        continue
    fi
    echo "== $name: testing"
    ctest --preset "$name" -V >"$test_log" 2>&1
    ctest_status=$?

    # The result lines: "3/44 Test #19: Suite.Name ....   Passed    0.05 sec".
    results=$(grep -E '^ *[0-9]+/[0-9]+ +Test +#[0-9]+: ' "$test_log")
    passed=$(grep -c ' Passed ' <<<"$results")
    skipped=$(grep -c '\*\*\*Skipped' <<<"$results")
    total=$(grep -c . <<<"$results")
    failed=$((total - passed - skipped))
    while read -r number test; do
        echo "-- skipped $test: $(reason_of "$test_log" "$number")"
    done < <(sed -nE 's/.*Test +#([0-9]+): ([^ ]+) .*\*\*\*Skipped.*/\1 \2/p' <<<"$results")
    while read -r number test; do
        echo "-- FAILED $test, its output in full:"
        lines_of "$test_log" "$number"
    done < <(grep -vE ' Passed |\*\*\*Skipped' <<<"$results" | sed -nE 's/.*Test +#([0-9]+): ([^ ]+) .*/\1 \2/p')
    note=""
    if [ "$total" -eq 0 ]; then
        note="   no test ran (CTest's log: $test_log)"
        failed_any=1
    elif [ "$failed" -gt 0 ] || [ "$ctest_status" -ne 0 ]; then
        note="   FAILED"
        failed_any=1
    fi
    rows+=("$(printf '%-13s %7d %8d %7d %6d s%s' "$name" "$passed" "$skipped" "$failed" \
        $((SECONDS - started)) "$note")")
    all_passed=$((all_passed + passed))
    all_skipped=$((all_skipped + skipped))
    all_failed=$((all_failed + failed))
    echo "== $name: $passed passed, $skipped skipped, $failed failed"
done

echo
printf '%-13s %7s %8s %7s %8s\n' configuration passed skipped failed time
printf '%s\n' "${rows[@]}"
echo "test: $all_passed passed, $all_failed failed, $all_skipped skipped"
if [ "$failed_any" -ne 0 ]; then
    echo "test: something failed (see above)"
    exit 1
fi
echo "test: every configuration passed"
