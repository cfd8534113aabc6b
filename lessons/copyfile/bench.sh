#!/usr/bin/env bash
# Measures copyfile against dd with the same 1024-byte chunks (what this
# design can at best reach) and against cp (what a user would pick instead):
# a 256 MiB source held in the page cache, RUNS runs each (default 5), the
# median wall time and the median peak memory. Prints the ratios.
#   lessons/copyfile/bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
runs=${RUNS:-5}
build=$root/build/plain
command -v /usr/bin/time >/dev/null || { echo "needs GNU time (apt-get install time)" >&2; exit 1; }
cd "$root"
[ -f "$build/CMakeCache.txt" ] || cmake --preset plain -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset plain -j "$(nproc)" --target copyfile >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/copyfile-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 256M /dev/urandom >src
cat src >/dev/null  # into the page cache
printf 'src\ndst\n' >answers

# shellcheck source=bench/median.sh
. "$root/bench/median.sh"

tools=(copyfile dd cp)
command_of() {
    case $1 in
        copyfile) echo "$build/bin/copyfile" ;;
        dd) echo "dd if=src of=dst bs=1024 status=none" ;;
        cp) echo "cp src dst" ;;
    esac
}

# The runs of the three tools alternate, each after a sync, so that
# write-back of an earlier copy and drift of the machine weigh on all alike.
# Wall time is taken around the command at microsecond resolution; GNU time
# gives the peak resident memory.
for _ in $(seq "$runs"); do
    for tool in "${tools[@]}"; do
        rm -f dst
        sync
        start=$EPOCHREALTIME
        # shellcheck disable=SC2046
        /usr/bin/time -f '%M' -o mem -- $(command_of "$tool") <answers >/dev/null
        end=$EPOCHREALTIME
        cmp -s src dst || { echo "$tool: the copy differs" >&2; exit 1; }
        echo "$start $end" | awk '{ printf "%.6f\n", $2 - $1 }' >>"$tool.time"
        cat mem >>"$tool.mem"
    done
done

declare -A seconds peak
for tool in "${tools[@]}"; do
    seconds[$tool]=$(median <"$tool.time")
    peak[$tool]=$(median <"$tool.mem")
    printf '%-9s median %7.3f s   peak memory %6d KiB   (%d runs)\n' \
        "$tool" "${seconds[$tool]}" "${peak[$tool]}" "$runs"
done

awk -v ct="${seconds[copyfile]}" -v cm="${peak[copyfile]}" -v dt="${seconds[dd]}" -v dm="${peak[dd]}" -v pt="${seconds[cp]}" 'BEGIN {
    printf "copyfile/dd time   %.3f   (target: at most 1.05)\n", ct / dt
    printf "copyfile/dd memory %.3f   (target: at most 1.00)\n", cm / dm
    printf "copyfile/cp time   %.3f\n", ct / pt
}'
