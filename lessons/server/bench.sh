#!/usr/bin/env bash
# Measures server against the floor: a plain C reader that makes the same
# 20-byte reads and printf()s the same verdicts into a buffered stream, and
# nothing else. Each run writes 20 MB into the FIFO (a million reads, a
# million verdicts into a file) and times it from the first byte written to
# the last verdict in the file. RUNS runs of each (default 5), interleaved;
# prints the medians and the ratio.
#   lessons/server/bench.sh
# The server runs in a /tmp of its own (a private mount namespace), so a
# server of yours on /tmp/new is not disturbed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
runs=${RUNS:-5}
bytes=20000000

if [ -z "${BENCH_PRIVATE_TMP:-}" ]; then
    cd "$root"
    [ -f build/plain/CMakeCache.txt ] || cmake --preset plain -DBUILD_TESTING=OFF >/dev/null
    cmake --build --preset plain --target server >/dev/null
    # Without root, a user namespace brings the right to mount a /tmp.
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(--map-root-user)
    exec unshare --mount "${as_root[@]}" env BENCH_PRIVATE_TMP=1 "$0" "$@"
fi

# Outside /tmp, which is about to be replaced.
work=$(mktemp -d "$root/build/bench-server-XXXXXX")
trap 'rm -rf "$work"' EXIT
mount -t tmpfs tmpfs /tmp
cp "$root/build/plain/bin/server" "$work/server"

cat >"$work/floor.c" <<'EOF'
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    char buffer[20];
    int fd = open(argc > 1 ? argv[1] : "/tmp/new", O_RDONLY);
    ssize_t len;
    while ((len = read(fd, buffer, sizeof buffer)) > 0)
        printf(len > 5 ? "\nValid, Balance: $5000" : "\nInvalid credentials.");
    return 0;
}
EOF
cc -O2 -o "$work/floor" "$work/floor.c"

now() { date +%s%N; }
# shellcheck source=bench/median.sh
. "$root/bench/median.sh"

# The bytes a process has read so far, and its state (S: asleep, waiting).
read_bytes() { awk '/^rchar:/ { print $2 }' "/proc/$1/io"; }
state() { sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f1; }

# Seconds from the start of writing until every verdict is in the file: the
# server has read all the data and sleeps, waiting for more, which it does
# only after flushing. (How many verdicts that is depends on how the reads
# fall: a read that finds fewer than 20 bytes in the pipe counts as one.)
time_server() {
    rm -f /tmp/new "$work/out"
    "$work/server" >"$work/out" &
    local pid=$! start before
    while [ ! -p /tmp/new ]; do sleep 0.01; done
    before=$(read_bytes "$pid")
    start=$(now)
    head -c "$bytes" /dev/zero >/tmp/new
    until [ $(($(read_bytes "$pid") - before)) -ge "$bytes" ] && [ "$(state "$pid")" = S ]; do
        sleep 0.002
    done
    echo "$(($(now) - start))" | awk '{ print $1 / 1e9 }'
    kill "$pid"
    wait "$pid" 2>/dev/null || true
}

# The same for the floor reader, which ends at the end of the data.
time_floor() {
    rm -f "$work/fifo" "$work/out"
    mkfifo "$work/fifo"
    "$work/floor" "$work/fifo" >"$work/out" &
    local pid=$! start
    start=$(now)
    head -c "$bytes" /dev/zero >"$work/fifo"
    wait "$pid"
    echo "$(($(now) - start))" | awk '{ print $1 / 1e9 }'
}

server_times=() floor_times=()
for _ in $(seq "$runs"); do
    server_times+=("$(time_server)")
    floor_times+=("$(time_floor)")
done
server=$(printf '%s\n' "${server_times[@]}" | median)
floor=$(printf '%s\n' "${floor_times[@]}" | median)
printf 'a million 20-byte reads and verdicts, median of %d runs\n' "$runs"
printf '  server  %.3f s\n  floor   %.3f s\n' "$server" "$floor"
awk -v s="$server" -v f="$floor" 'BEGIN { printf "  server/floor %.2f\n", s / f }'
