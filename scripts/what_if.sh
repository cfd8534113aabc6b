#!/usr/bin/env bash
# What if: each lesson shown by its absence. A what-if is a small patch kept
# in scripts/what-if/, PROGRAM--WHAT.patch, that takes one lesson out of a
# program. It is applied to a copy of the program's sources and built apart
# (the programs themselves never change), then run under conditions that
# make its fault show on every run, and the tool that catches the fault says
# so in one line; then the real program, built the same way, under the same
# conditions, and the same tool finding nothing.
#   scripts/what_if.sh list                  the what-ifs, one a line
#   scripts/what_if.sh show NAME             the diff, the changed program's
#                                            run and verdict, then the real one's
#   scripts/what_if.sh verdict NAME changed|real
#                                            one run and its verdict alone; exit
#                                            status 0 when the tool found the
#                                            fault, 1 when it found nothing
# Needs g++ (with ThreadSanitizer's runtime, as Debian's has), git (which
# applies the patches), strace, and for atm_sim the tour's terminal driver
# (build/plain/tools/onscreen, or $ONSCREEN). scripts/tour.sh --what-if
# runs them on a terminal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
patches=$root/scripts/what-if

# The sources of each program, and how its what-ifs are built: "thread" with
# ThreadSanitizer, for the what-ifs it is the tool of.
sources_of() {
    case $1 in
        copyfile) echo file_copy/copyfile.cpp ;;
        atm_sim | mutex_counter | sem_counter) echo "threads/$1.cpp" ;;
        sigint_loop | pause_timer | sigusr_toggle) echo "signals/$1.cpp" ;;
        server) echo fifo/server.cpp ;;
        records) echo records/main.cpp records/list_roster.cpp records/find_roster_entry.cpp \
            records/student_store.cpp records/records.h ;;
    esac
}
flavour_of() { case $1 in mutex_counter--* | sem_counter--*) echo thread ;; *) echo plain ;; esac; }

# edit FILE TEXT SCRIPT: sed SCRIPT on FILE, which must hold TEXT.
edit() {
    grep -qF "$2" "$1" || { echo "what_if: $1 no longer holds '$2', which the what-if changes" >&2; exit 2; }
    sed -i "$3" "$1"
}

# The count each thread of a counter makes for the totals: enough for the
# threads to overlap for many of the scheduler's turns, on a busy machine too
# (with the pause the totals build puts between the load and the store).
total_count_of() { echo 3000000; }

# conditions NAME DIR [total]: what the sources in DIR, changed or real, are
# built with for NAME's fault to show on every run ("total": for the
# counters' totals); "conditions NAME" says it.
conditions() {
    case $1 in
        server--*)
            # The learner's own server may be reading /tmp/new: these use a
            # FIFO of their own, "new" in the directory they run in.
            if [ $# -eq 1 ]; then
                echo "(both built to use the FIFO \"new\" in the directory they run in, not /tmp/new)" | wrap ' '
            else
                edit "$2/fifo/server.cpp" '"/tmp/new"' 's|"/tmp/new"|"new"|'
            fi ;;
        mutex_counter--* | sem_counter--*)
            # 250 additions are over too soon for two threads to meet: the
            # total comes out right, and the semaphore's race goes unseen.
            # The totals: at -O2 g++ makes each thread's loop one addition of
            # the whole count, which two threads almost never interrupt.
            local count=100000
            [ "${3:-}" != total ] || count=$(total_count_of "$1")
            if [ $# -eq 1 ]; then
                echo "(both built with each thread's count raised from 250 to $count, so that the threads meet;" \
                    "for the totals, built without ThreadSanitizer and without optimisation (-O0), so that each" \
                    "addition is a load and a store as the source says, and with each thread counting to" \
                    "$(total_count_of "$1"): at -O2 the compiler makes the loop one addition, and the total comes out" \
                    "right by luck; and with a pause of twenty empty turns of a loop between the load and the" \
                    "store, the time a longer computation would take there: on a busy machine the threads may run" \
                    "side by side only now and then, and a switch between them must fall inside that window to" \
                    "lose additions)" | wrap ' '
            else
                edit "$2/threads/${1%%--*}.cpp" 'i < 250;' "s/i < 250;/i < $count;/"
                [ "${3:-}" != total ] ||
                    edit "$2/threads/${1%%--*}.cpp" 'counter = value + 1;' \
                        's/^\( *\)counter = value + 1;/\1for (int pause = 0; pause < 20; ++pause) {\n\1}\n&/'
            fi ;;
    esac
}

names() { for p in "$patches"/*.patch; do basename "$p" .patch; done; }

# What each shows, in a line.
title_of() {
    case $1 in
        copyfile--truncate-first) echo "the destination opened with O_TRUNC before the same-file check" ;;
        copyfile--read-error-as-end) echo "a failed read taken as the end of the data" ;;
        copyfile--write-unfinished) echo "a write's count not checked: a short write not finished" ;;
        mutex_counter--no-lock) echo "the counter's lock taken out" ;;
        sem_counter--starts-at-2) echo "the semaphore started at 2 instead of 1" ;;
        atm_sim--unlock-before-the-turn) echo "the lock given back before the two-second turn" ;;
        sigint_loop--_exit-in-the-handler) echo "the handler ends the program with _exit instead of exit" ;;
        server--no-write-end) echo "no write end held, and no handling of the end of a client's data" ;;
        server--no-flush) echo "no flush of the verdicts before the server waits" ;;
        sigusr_toggle--signal-let-in-any-time) echo "SIGUSR1 let in at any time, and a plain sleep for the wait" ;;
        records--unchecked-scanf) echo "the menu's choice read by scanf(\"%d\"), its result unchecked" ;;
        *) echo "(no title)" ;;
    esac
}

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

# The lines of the what-ifs are wrapped at the terminal's width, at 80
# columns when the output is not a terminal: wrap, and $width.
# shellcheck source=scripts/wrap.sh
. "$root/scripts/wrap.sh"

# build NAME changed|real [total]: the program of NAME built in the work
# directory, with NAME's patch or without; prints its path.
build() {
    local name=$1 kind=$2 variant=${3:-} program=${1%%--*} dir flags=() file
    dir=$work/$kind-$name${variant:+-$variant}
    if [ ! -x "$dir/$program" ]; then
        rm -rf "$dir"
        mkdir -p "$dir/src"
        for file in $(sources_of "$program"); do
            mkdir -p "$dir/src/$(dirname "$file")"
            cp "$root/$file" "$dir/src/$file"
        done
        if [ "$kind" = changed ] && ! (cd "$dir/src" && git apply "$patches/$name.patch") 2>"$dir/apply.log"; then
            echo "what_if: the patch $patches/$name.patch no longer applies to the program:" >&2
            cat "$dir/apply.log" >&2
            exit 2
        fi
        conditions "$name" "$dir/src" "$variant"
        if [ "$variant" = total ]; then
            flags=(-O0)
        elif [ "$(flavour_of "$name")" = thread ]; then
            flags=(-fsanitize=thread)
        fi
        # As the project builds the programs, less CMake.
        local units=()
        for file in $(sources_of "$program"); do
            [[ $file != *.cpp ]] || units+=("$dir/src/$file")
        done
        if ! g++ -std=c++20 -O2 -g -Wall -Wextra -Wpedantic -Werror -fno-exceptions -fno-rtti -pthread "${flags[@]}" \
            -o "$dir/$program" "${units[@]}" 2>"$dir/build.log"; then
            echo "what_if: $name ($kind) does not build:" >&2
            cat "$dir/build.log" >&2
            exit 2
        fi
    fi
    printf '%s\n' "$dir/$program"
}

# Each what-if's run: run_NAME PROGRAM, in a fresh directory, shows what the
# program wrote (indented) and sets verdict (one line, naming its tool) and
# fault (yes or no).
indent() { awk '{ print "    | " $0 }' | wrap '    |   '; }
sample() { seq -f 'line %g of the sample file' 1 400 >sample.txt; }
# A flood, counted: head_and_count N keeps the first N lines of its input in
# first.txt and the number of all in count.txt; shown_head shows those lines.
head_and_count() { awk -v n="$1" 'NR <= n { print > "first.txt" } END { print NR > "count.txt" }'; }
shown_head() { indent <first.txt; echo "    | ..."; }

run_copyfile--truncate-first() {
    sample
    local before after
    before=$(stat -c %s sample.txt)
    printf 'sample.txt\nsample.txt\n' | "$1" 2>&1 | indent || true
    after=$(stat -c %s sample.txt)
    if [ "$after" -ne "$before" ]; then
        fault=yes verdict="stat: sample.txt had $before bytes before, $after after: copied onto itself, it was emptied"
    else
        fault=no verdict="stat: sample.txt had $before bytes before and after: the copy onto itself refused, nothing lost"
    fi
}

run_copyfile--read-error-as-end() {
    sample
    local status=0
    # strace makes the source's third read fail (EIO), as a bad disk would.
    printf 'sample.txt\ncopy.txt\n' |
        strace -qq -o /dev/null -P "$(pwd -P)/sample.txt" -e trace=read -e inject=read:error=EIO:when=3 "$1" >out.txt 2>&1 || status=$?
    indent <out.txt
    if [ "$status" -eq 0 ] && ! cmp -s sample.txt copy.txt; then
        fault=yes verdict="cmp: copy.txt has $(stat -c %s copy.txt) of sample.txt's $(stat -c %s sample.txt) bytes, and the program said it was complete (status 0)"
    else
        fault=no verdict="the failed read reported (status $status): no short copy passed off as complete"
    fi
}

run_copyfile--write-unfinished() {
    sample
    local status=0
    # A file size limit of 5000 bytes: the write that crosses it is short (a
    # real short write), the next fails with EFBIG. SIGXFSZ, which would
    # kill the program at that one, is ignored, as a server might.
    printf 'sample.txt\ncopy.txt\n' | (trap '' XFSZ; exec prlimit --fsize=5000 "$1") >out.txt 2>&1 || status=$?
    indent <out.txt
    if [ "$status" -eq 0 ] && ! cmp -s sample.txt copy.txt; then
        fault=yes verdict="cmp: copy.txt has $(stat -c %s copy.txt) of sample.txt's $(stat -c %s sample.txt) bytes, and the program said it was complete (status 0)"
    else
        fault=no verdict="the unfinished write reported (status $status): no short copy passed off as complete"
    fi
}

# run_tsan PROGRAM TOTALS NAME THREADS: ThreadSanitizer watches every access
# to memory two threads share in PROGRAM; then three runs of TOTALS, the
# build for the totals, which the verdict adds.
run_tsan() {
    local status=0 totals expected short
    setarch "$(uname -m)" -R "$1" >out.txt 2>tsan.txt || status=$?
    indent <out.txt
    if grep -q 'WARNING: ThreadSanitizer: data race' tsan.txt; then
        grep -m1 '^SUMMARY: ThreadSanitizer' tsan.txt | sed "s|$work/[^ ]*/src/||" | indent
        fault=yes verdict="ThreadSanitizer: a data race on counter, even where the total comes out right (status $status)"
    else
        fault=no verdict="ThreadSanitizer: no data race (status $status)"
    fi
    echo "  and built for the totals, three runs:"
    for _ in 1 2 3; do "$2"; done >totals.txt
    indent <totals.txt
    expected=$(($(total_count_of "$3") * $4))
    totals=$(awk '{ printf "%s%s", sep, $3; sep = ", " }' totals.txt)
    short=$(awk -v want="$expected" '$3 != want' totals.txt | wc -l)
    verdict="$verdict; the totals: $short of 3 short ($totals of $expected: $4 threads each counting to $(total_count_of "$3"))"
}
run_mutex_counter--no-lock() { run_tsan "$1" "$2" mutex_counter--no-lock 2; }
run_sem_counter--starts-at-2() { run_tsan "$1" "$2" sem_counter--starts-at-2 3; }

run_atm_sim--unlock-before-the-turn() {
    local onscreen=${ONSCREEN:-$root/build/plain/tools/onscreen} summary
    echo "  (five turns of two seconds each: about ten seconds)"
    "$onscreen" --lines lines.txt "$1" 'expect:Simulation complete.' end >/dev/null
    awk -f "$root/scripts/atm_timeline.awk" lines.txt | indent
    summary=$(awk -f "$root/scripts/atm_timeline.awk" lines.txt | tail -n 1)
    if [[ $summary == *OVERLAPPING* ]]; then
        fault=yes verdict="the time line: turns overlap, two users at the ATM at once"
    else
        fault=no verdict="the time line: never two turns at once"
    fi
}

run_sigint_loop--_exit-in-the-handler() {
    local pid status=0 waited=0
    # Into a file, standard output goes in blocks: the lines wait in its buffer.
    "$1" >out.txt 2>&1 &
    pid=$!
    # SIGINT only once the handler is in place (bit 2 of the caught signals).
    until (($(printf '%d' "0x$(awk '/^SigCgt/ { print $2 }' /proc/$pid/status 2>/dev/null || echo 0)") & 2)); do
        sleep 0.05
        waited=$((waited + 1))
        [ "$waited" -lt 200 ] || break
    done
    sleep 0.5
    kill -INT "$pid"
    wait "$pid" || status=$?
    indent <out.txt
    if ! grep -q 'terminating safely' out.txt || ! grep -q 'program\.\.\.' out.txt; then
        fault=yes verdict="wc -l: $(wc -l <out.txt) lines reached the file: the work line and the farewell, still in the buffer, were lost with _exit (status $status)"
    else
        fault=no verdict="wc -l: $(wc -l <out.txt) lines reached the file: exit wrote out the buffer, the work line ahead of the farewell (status $status)"
    fi
}

run_server--no-write-end() {
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
        fault=yes verdict="wc -l and /proc: $lines lines and $cpu s of CPU in the second after the one client left: a read that returns 0 at once, judged again and again"
    else
        fault=no verdict="wc -l and /proc: $lines lines and $cpu s of CPU in the second after the one client left: it waits for the next"
    fi
}

# judge_delay SECONDS LIMIT NONE LATE IN_TIME: the verdict on a delay
# measured: NONE when none was (the run went wrong), LATE (the fault) when it
# is over LIMIT seconds, IN_TIME otherwise.
judge_delay() {
    if [ -z "$1" ]; then
        fault=no verdict=$3
    elif awk -v d="$1" -v limit="$2" 'BEGIN { exit !(d > limit) }'; then
        fault=yes verdict=$4
    else
        fault=no verdict=$5
    fi
}

run_server--no-flush() {
    local onscreen=${ONSCREEN:-$root/build/plain/tools/onscreen} gap
    # strace notes the time of each read and write. Two clients, two
    # seconds apart; the second's verdict only ever shows in the real one.
    printf '#!/bin/sh\nexec strace -qq -ttt -s64 -e trace=read,write -o trace.txt "%s"\n' "$1" >run.sh
    chmod +x run.sh
    timeout --foreground 30 "$onscreen" ./run.sh reader:new "run:printf 'bob' > new" sleep:2 \
        "run:printf 'alice:secret' > new" sleep:1 key:^C end 2>&1 | indent || true
    # From the read of the first client's bytes to the write of its verdict.
    gap=$(awk '/ read\(3, "bob"/ { read = $1 } / write\(1, .*Invalid credentials/ && read { printf "%.1f", $1 - read; exit }' trace.txt)
    judge_delay "$gap" 1 "strace: the first client's verdict was never written (the run went wrong)" \
        "strace: the first client's verdict was written $gap s after its bytes were read, with the second client's: it waited in the buffer" \
        "strace: the first client's verdict was written $gap s after its bytes were read, before the server waited again"
}

run_sigusr_toggle--signal-let-in-any-time() {
    local onscreen=${ONSCREEN:-$root/build/plain/tools/onscreen} gap
    # strace holds the program two seconds inside its second write (the
    # second "Working..."), and SIGUSR1 comes in the middle of them: the
    # moment a wake-up is lost when the signal is let in at any time. The
    # program is strace's child: its pid, for the signal, is strace's child's.
    printf '#!/bin/sh\necho $$ >strace.pid\nexec strace -qq -o /dev/null -e trace=write -e inject=write:delay_enter=2000000:when=2 "%s"\n' "$1" >run.sh
    chmod +x run.sh
    # shellcheck disable=SC2016  # the steps' commands are run by onscreen's shell
    timeout --foreground 30 "$onscreen" --lines lines.txt ./run.sh 'expect:Working...\n' sleep:4 \
        'run:kill -USR1 $(pgrep -P $(cat strace.pid))' 'expect:paused by SIGUSR1' \
        'run:kill -TERM $(pgrep -P $(cat strace.pid))' end >/dev/null 2>&1 || true
    indent <lines.txt
    # The seconds from SIGUSR1 (four after the first line) to the new
    # state's line: what is left of the hold (1 s) when the signal cuts the
    # wait short; that and a whole sleep (3 s more) when it is lost.
    gap=$(awk 'NR == 1 { sent = $1 + 4 } /paused/ { printf "%.1f", $1 - sent; exit }' lines.txt)
    judge_delay "$gap" 2.5 "the screen's clock: no line for the new state came (the run went wrong)" \
        "the screen's clock: the new state's line came $gap s after SIGUSR1: the handler ran before the sleep began, which then waited its whole 3 s" \
        "the screen's clock: the new state's line came $gap s after SIGUSR1, as the write it was held in ended: the signal, pending, cut the wait short"
}

run_records--unchecked-scanf() {
    local status lines
    # One second at most: cut off after it.
    {
        printf 'abc\n' | timeout --foreground 1 "$1" 2>&1 | head_and_count 9
        status=${PIPESTATUS[1]}
    } || true
    lines=$(cat count.txt)
    shown_head
    if [ "$status" -eq 124 ]; then
        fault=yes verdict="wc -l: $lines lines in one second, and still going: \"abc\" is never read, the menu comes again and again"
    else
        fault=no verdict="wc -l: $lines lines; the program ended by itself (status $status)"
    fi
}

# run NAME changed|real: the run of the program in a fresh directory.
run() {
    local bin dir totals=
    bin=$(build "$1" "$2")
    [ "$(flavour_of "$1")" != thread ] || totals=$(build "$1" "$2" total)
    dir=$work/run-$2-$1-$RANDOM
    mkdir -p "$dir"
    cd "$dir"
    "run_$1" "$bin" "$totals"
    cd "$work"
}

# known NAME: whether NAME is one of the what-ifs list gives (and so no path).
known() {
    local each
    for each in $(names); do [ "$1" != "$each" ] || return 0; done
    echo "what_if: no what-if named '$1' (scripts/what_if.sh list gives them)" >&2
    exit 2
}

case ${1:-} in
    list)
        for name in $(names); do printf '%-38s %s\n' "$name" "$(title_of "$name")"; done ;;
    show)
        name=${2:?what_if: show needs a name}
        known "$name"
        printf '\n=== what if: %s: %s\n' "$name" "$(title_of "$name")" | wrap '    '
        printf '%s\n' "The change (scripts/what-if/$name.patch):"
        sed 's/^/    /' "$patches/$name.patch" | wrap '          '
        conditions "$name"
        printf '%s\n' "The changed program:"
        run "$name" changed
        printf '  => %s\n' "$verdict" | wrap '     '
        printf '%s\n' "The real program, the same way:"
        run "$name" real
        printf '  => %s\n' "$verdict" | wrap '     ' ;;
    verdict)
        name=${2:?what_if: verdict needs a name}
        known "$name"
        case ${3:-} in
            changed | real) ;;
            *) echo "what_if: verdict $name needs changed or real, not '${3:-}'" >&2; exit 2 ;;
        esac
        run "$name" "$3" >/dev/null
        printf '%s\n' "$verdict"
        [ "$fault" = yes ] ;;
    *)
        sed -n '2,17s/^# \{0,1\}//p' "$0"
        exit 2 ;;
esac
