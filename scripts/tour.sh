#!/usr/bin/env bash
# Builds the programs and runs each of them, non-interactively, with a
# heading that says what it shows. Name programs to run only their stops:
#   scripts/tour.sh copyfile
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/plain
bin=$build/bin

log=$(mktemp)
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "tour: the build failed" >&2
    exit 1
fi
rm -f "$log"

export PATH="$bin:$PATH"  # the commands read as a user types them
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

heading() { printf '\n=== %s: %s\n' "$1" "$2"; }
# show 'COMMAND LINE': prints the command as a user would type it, then runs it.
show() { printf '$ %s\n' "$1"; eval "$1"; }

stop_copyfile() {
    heading copyfile "copying a file through raw file descriptors, 1024 bytes at a time"
    seq -f 'line %g of the sample file' 1 400 >sample.txt
    show "printf 'sample.txt\\ncopy of sample.txt\\n' | copyfile"
    printf '\n'
    show "wc -c sample.txt 'copy of sample.txt'"
    show "cmp sample.txt 'copy of sample.txt' && echo 'the copy is identical'"
}

stop_atm_sim() {
    heading atm_sim "five threads take turns at one mutex-guarded ATM (about ten seconds)"
    show atm_sim
    printf '\n(each user holds the mutex for its whole two-second turn: its two lines always stand together)\n'
}

stop_mutex_counter() {
    heading mutex_counter "two threads add 250 each to one counter under a mutex: always 500"
    show mutex_counter
}

stop_sem_counter() {
    heading sem_counter "three threads add 250 each to one counter under a semaphore of value 1: always 750"
    show sem_counter
}

stop_server() {
    heading server "a named pipe at /tmp/new; each read is judged by its length (6 bytes or more: valid)"
    if [ -e /tmp/new ] && [ ! -p /tmp/new ]; then
        echo "(skipped: /tmp/new exists and is not a FIFO)"
        return
    fi
    server >server.out 2>&1 &
    local pid=$!
    while [ ! -p /tmp/new ]; do sleep 0.1; done
    echo "(server started; the tour now plays the client, as you would from a second terminal)"
    show "printf 'alice:secret' > /tmp/new"
    sleep 0.5
    show "printf 'bob' > /tmp/new"
    sleep 0.5
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "(server ended with kill; what it wrote:)"
    cat server.out
    printf '\n'
}

# The signal stops start a program in the background and send it the signals
# a user would send from the keyboard or another terminal. When the tour's
# output is not a terminal, stdbuf makes the program's output line-buffered so
# that it shows as it happens, between the tour's notes.
line_buffered=()
[ -t 1 ] || line_buffered=(stdbuf -oL)

# press NOTE SIGNAL PID: says what a user would do, then sends the signal.
press() { printf '(%s: kill -%s PID)\n' "$1" "$2"; kill "-$2" "$3"; }

stop_pause_timer() {
    heading pause_timer "a countdown that SIGINT pauses and SIGTSTP resumes (about fifteen seconds)"
    printf '$ pause_timer\n'
    "${line_buffered[@]}" pause_timer &
    local pid=$!
    sleep 2.5
    press "Ctrl-C, or from another terminal" INT "$pid"
    sleep 3
    press "Ctrl-Z, or from another terminal" TSTP "$pid"
    wait "$pid"
}

stop_sigint_loop() {
    heading sigint_loop "work every two seconds until SIGINT, then a farewell and status 0"
    printf '$ sigint_loop\n'
    "${line_buffered[@]}" sigint_loop &
    local pid=$!
    sleep 4.5
    press "Ctrl-C, or from another terminal" INT "$pid"
    local status=0
    wait "$pid" || status=$?
    printf '(exit status %d)\n' "$status"
}

stop_sigusr_toggle() {
    heading sigusr_toggle "a status line every three seconds; each SIGUSR1 flips working and paused"
    printf '$ sigusr_toggle\n'
    "${line_buffered[@]}" sigusr_toggle &
    local pid=$!
    sleep 3.5
    press "from another terminal" USR1 "$pid"
    sleep 3.5
    press "from another terminal" USR1 "$pid"
    sleep 1
    press "ending it" TERM "$pid"
    wait "$pid" 2>/dev/null || true
}

stop_records() {
    heading records "a menu over a table of students, linked from separate modules"
    echo "(a scripted session: add two students, list them, search one found and one missing, exit)"
    show "printf '1\\n42\\nAda Lovelace\\n1\\n7\\nAlan Turing\\n2\\n3\\n7\\n3\\n99\\n4\\n' | records"
}

all_stops=(copyfile atm_sim mutex_counter sem_counter server pause_timer sigint_loop sigusr_toggle records)
stops=("$@")
[ ${#stops[@]} -gt 0 ] || stops=("${all_stops[@]}")
for stop in "${stops[@]}"; do
    if ! declare -F "stop_$stop" >/dev/null; then
        echo "tour: no stop named '$stop' (stops: ${all_stops[*]})" >&2
        exit 2
    fi
done
for stop in "${stops[@]}"; do
    "stop_$stop"
done
