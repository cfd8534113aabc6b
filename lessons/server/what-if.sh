# shellcheck shell=bash
# server's what-ifs, run by scripts/what_if.sh (lessons/README.md): clients
# write into the server's FIFO, and /proc, wc and strace judge it.

# The learner's own server may be reading /tmp/new: these use a FIFO of
# their own, "new" in the directory they run in.
conditions() { edit "$2/server.cpp" '"/tmp/new"' 's|"/tmp/new"|"new"|'; }
conditions_said() {
    echo "(both built to use the FIFO \"new\" in the directory they run in, not /tmp/new)" | wrap ' '
}

run_no-write-end() {
    local pid waited=0 cpu lines
    { "$1" & echo $! >pid.txt; wait 2>/dev/null; } 2>&1 | head_and_count 4 &
    local job=$!
    until [ -s pid.txt ] && [ -p new ]; do
        sleep 0.05
        waited=$((waited + 1))
        [ "$waited" -lt 100 ] || break
    done
    pid=$(cat pid.txt)
    # One client, which opens the FIFO (its open waits for the server's),
    # writes and leaves; then a second of the server on its own.
    timeout --foreground 5 sh -c "printf 'alice:secret' > new" || true
    sleep 1
    cpu=$(awk -v ticks="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / ticks }' "/proc/$pid/stat")
    kill -KILL "$pid"
    wait "$job" || true
    lines=$(cat count.txt)
    shown_head
    if [ "$lines" -gt 100 ]; then
        fault_found "wc -l and /proc: $lines lines and $cpu s of CPU in the second after the one client left: a read that returns 0 at once, judged again and again"
    else
        no_fault_found "wc -l and /proc: $lines lines and $cpu s of CPU in the second after the one client left: it waits for the next"
    fi
}

run_no-flush() {
    local gap
    # strace notes the time of each read and write. Two clients, two
    # seconds apart; the second's verdict only ever shows in the real one.
    printf '#!/bin/sh\nexec strace -qq -ttt -s64 -e trace=read,write -o trace.txt "%s"\n' "$1" >run.sh
    chmod +x run.sh
    onscreen 30 ./run.sh reader:new "run:printf 'bob' > new" sleep:2 \
        "run:printf 'alice:secret' > new" sleep:1 key:^C end 2>&1 | indent || true
    # From the read of the first client's bytes to the write of its verdict.
    gap=$(awk '/ read\(3, "bob"/ { read = $1 } / write\(1, .*Invalid credentials/ && read { printf "%.1f", $1 - read; exit }' trace.txt)
    judge_delay "$gap" 1 "strace: the first client's verdict was never written (the run went wrong)" \
        "strace: the first client's verdict was written $gap s after its bytes were read, with the second client's: it waited in the buffer" \
        "strace: the first client's verdict was written $gap s after its bytes were read, before the server waited again"
}
