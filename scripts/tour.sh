#!/usr/bin/env bash
# The tour: builds the nine programs and runs each on a terminal of its own,
# playing its user, so the screen shows what you would see at the keyboard:
# each answer typed after its prompt, ^C and ^Z where the keys are pressed,
# every line the moment it is written.
#   scripts/tour.sh [NAME...]   the stops of the programs named (all when none is)
#   scripts/tour.sh --trace [NAME...]
#                               the same, each program run under strace, and
#                               after its screen the system calls it made,
#                               under the lines of its source that made them
#   scripts/tour.sh --what-if [NAME...]
#                               what goes wrong without each lesson: of the
#                               programs named (all when none is), each change
#                               that takes a lesson out (scripts/what-if/), the
#                               changed program run and the tool that catches
#                               its fault, then the real program the same way
#   scripts/tour.sh --help
# Installs a compiler and CMake first if they are missing, for --trace
# strace, binutils and Python 3, for --what-if strace and git (scripts/setup.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
all_stops=(copyfile atm_sim mutex_counter sem_counter server pause_timer sigint_loop sigusr_toggle records)
# The tour's own lines are wrapped at the terminal's width, at 80 columns
# when the output is not a terminal: wrap, and $width.
# shellcheck source=scripts/wrap.sh
. "$root/scripts/wrap.sh"

trace=
what_if=
stops=()
for arg in "$@"; do
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
    known=
    for stop in "${all_stops[@]}"; do [ "$arg" != "$stop" ] || known=yes; done
    if [ -z "$known" ]; then
        echo "tour: no stop named '$arg' (stops: ${all_stops[*]})" >&2
        exit 2
    fi
    stops+=("$arg")
done
[ ${#stops[@]} -gt 0 ] || stops=("${all_stops[@]}")

heading() { printf '\n'; printf '=== %s: %s\n' "$1" "$2" | wrap '    '; }
say() { printf '%s\n' "$*" | wrap ' '; }

"$root/scripts/setup.sh" "$([ -n "$trace" ] && echo trace || echo tour)"
[ -z "$what_if" ] || "$root/scripts/setup.sh" what-if
# -k: the view needs the stack of each call, which strace may be built without.
if [ -n "$trace" ] && ! why=$(strace -qq -k -o /dev/null true 2>&1); then
    echo "tour: strace cannot trace a program here with its stacks, so there is no --trace: $why" >&2
    exit 1
fi
# Closed terminal, Ctrl-C or kill: the shell then runs the EXIT trap, which
# removes the tour's temporary files (a shell killed by the signal would not).
work=
trap 'rm -rf "$work"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
work=$(mktemp -d)
build=$root/build/plain
say "tour: building the programs in build/plain (a few seconds the first time)"
log=$work/build.log
# A new build tree is set up without the tests, so GoogleTest is not needed
# (scripts/test.sh turns them on in the same tree).
# CMake reads the presets from the directory it runs in: the root.
if ! (
    cd "$root" &&
        { [ -f "$build/CMakeCache.txt" ] || cmake --preset plain -DBUILD_TESTING=OFF; } &&
        cmake --build --preset plain --target programs onscreen -j "$(nproc)"
) >"$log" 2>&1; then
    cat "$log"
    echo "tour: the build failed (the output above)" >&2
    exit 1
fi
bin=$build/bin
onscreen=$build/tools/onscreen

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
    COLUMNS=$width python3 "$root/scripts/trace_view.py" "$1" "${2:-$1.trace}"
}
# on_terminal PROGRAM STEP...: "$ PROGRAM", then the program on a terminal of
# its own, played by the steps (tools/onscreen.cpp says what they are).
on_terminal() {
    printf '$ %s\n' "$1"
    # shellcheck disable=SC2046  # traced gives whole words, one per line
    "$onscreen" $(traced "$1") "$bin/$1" "${@:2}"
    under_the_hood "$1"
}

stop_copyfile() {
    heading copyfile "copying a file through raw file descriptors, 1024 bytes at a time"
    seq -f 'line %g of the sample file' 1 400 >sample.txt
    on_terminal copyfile 'expect:Enter source file path: ' 'type:sample.txt\n' \
        'expect:Enter destination file path: ' 'type:copy of sample.txt\n' \
        'expect:Copying complete!' end
    show "wc -c sample.txt 'copy of sample.txt'"
    show "cmp sample.txt 'copy of sample.txt' && echo 'the copy is identical'"
}

stop_atm_sim() {
    heading atm_sim "five threads take turns at one mutex-guarded ATM (about ten seconds)"
    printf '$ atm_sim\n'
    # shellcheck disable=SC2046
    "$onscreen" $(traced atm_sim) --lines atm_sim.lines "$bin/atm_sim" 'expect:Simulation complete.' end
    say "(each user holds the mutex for its whole two-second turn: its two lines always stand together)"
    say "The turns in time, from when their lines appeared:"
    awk -f "$root/scripts/atm_timeline.awk" atm_sim.lines
    under_the_hood atm_sim
}

stop_mutex_counter() {
    heading mutex_counter "two threads add 250 each to one counter under a mutex: always 500"
    on_terminal mutex_counter 'expect:Final value: 500' end
}

stop_sem_counter() {
    heading sem_counter "three threads add 250 each to one counter under a semaphore of value 1: always 750"
    on_terminal sem_counter 'expect:Final value: 750' end
}

stop_server() {
    heading server "a named pipe at /tmp/new; each read is judged by its length (6 bytes or more: valid)"
    # The clients write only into a FIFO of the user's: in a /tmp that is not
    # sticky another user could put a link there, to a file the user may
    # write, and have the tour write into it.
    if [ -L /tmp/new ] || { [ -e /tmp/new ] && [ ! -p /tmp/new ]; }; then
        say "(skipped: /tmp/new exists and is not a FIFO)"
        return
    fi
    if [ -p /tmp/new ] && ! { [ -O /tmp/new ] && [ -r /tmp/new ] && [ -w /tmp/new ]; }; then
        # Left by another user on a shared machine, say: in a /tmp that is
        # sticky only its owner or root may remove it.
        local owner who why
        owner=$(stat -c %U /tmp/new)
        who=$([ "$owner" = root ] && echo root || echo "$owner or root")
        why="which you may not both read and write, as this stop must"
        [ -O /tmp/new ] || why="and the tour writes only into a FIFO of yours"
        say "(skipped: /tmp/new is a FIFO of $owner's, mode 0$(stat -c %a /tmp/new), $why;" \
            "only $who can remove it (rm /tmp/new), and the next tour then makes a FIFO of yours)"
        return
    fi
    local busy="(skipped: a server is already reading /tmp/new, yours perhaps; end it to take this stop)"
    if "$onscreen" --reader /tmp/new; then
        say "$busy"
        return
    fi
    say "(the tour plays the clients, as you would from a second terminal; Ctrl-C ends the server)"
    # The pauses before the clients: with --trace, poll is seen waiting for
    # them. --sole-reader: a second tour starting its server at the same
    # moment finds this one's reading, and skips the stop (status 3).
    printf '$ server\n'
    local status=0
    # shellcheck disable=SC2046,SC2016  # traced gives whole words; $5000 is the server's
    "$onscreen" $(traced server) --sole-reader /tmp/new "$bin/server" reader:/tmp/new sleep:1 \
        'write:/tmp/new:alice:secret' 'expect:Valid, Balance: $5000' sleep:0.5 \
        'write:/tmp/new:bob' 'expect:Invalid credentials.' \
        'write:/tmp/new:0123456789012345678901234' 'expect:Valid, Balance: $5000' 'expect:Invalid credentials.' \
        key:^C end || status=$?
    if [ "$status" -eq 3 ]; then
        say "$busy"
        return
    fi
    [ "$status" -eq 0 ] || return "$status"
    under_the_hood server
    say "(25 bytes are read as 20 and then 5: one valid, one invalid. The FIFO stays: ls -l /tmp/new)"
}

stop_pause_timer() {
    heading pause_timer "a countdown that Ctrl-C (SIGINT) pauses and Ctrl-Z (SIGTSTP) resumes"
    on_terminal pause_timer 'expect:Countdown: 8\n' sleep:0.5 key:^C 'expect:Timer paused.\n' \
        sleep:3 key:^Z 'expect:Timer resumed.\n' 'expect:Countdown complete.' end
}

stop_sigint_loop() {
    heading sigint_loop "work every two seconds until Ctrl-C (SIGINT), then a farewell and status 0"
    on_terminal sigint_loop 'expect:program...\n' 'expect:program...\n' sleep:0.5 key:^C \
        'expect:terminating safely.\n' end
}

stop_sigusr_toggle() {
    heading sigusr_toggle "a status line every three seconds; each SIGUSR1 handled flips working and paused"
    on_terminal sigusr_toggle 'expect:Working...\n' sleep:1 signal:USR1 'expect:paused by SIGUSR1\n' \
        sleep:3.5 signal:USR1 'expect:Working...\n' sleep:1 key:^C end
}

stop_records() {
    heading records "a menu over a table of students, linked from separate modules"
    say "(add two students, list them, search one found and one missing, exit)"
    local choice='expect:Enter your choice: '
    on_terminal records \
        "$choice" 'type:1\n' 'expect:Enter student ID: ' 'type:42\n' \
        'expect:Enter student name: ' 'type:Ada Lovelace\n' \
        "$choice" 'type:1\n' 'expect:Enter student ID: ' 'type:7\n' \
        'expect:Enter student name: ' 'type:Alan Turing\n' \
        "$choice" 'type:2\n' \
        "$choice" 'type:3\n' 'expect:to search: ' 'type:7\n' \
        "$choice" 'type:3\n' 'expect:to search: ' 'type:99\n' \
        "$choice" 'type:4\n' 'expect:Exited.' end
    local piped="(the same program fed from a pipe: nothing is echoed, and as all the answers are there before"
    piped+=" the first prompt, the prompts run together"
    if [ -z "$trace" ]; then
        say "$piped)"
        show "printf '3\\n42\\n4\\n' | records"
        printf '\n'
        return
    fi
    say "$piped; its output goes into a pipe too, to cat, and the C library then writes it all in one go)"
    # The records of the command line shown is this function: traced too.
    # shellcheck disable=SC2317  # called through show's eval
    # (the options of tools/onscreen.cpp's strace, which says what each does)
    records() { strace -ffqqkTI4 -ttt -s24 -o records.piped.trace "$bin/records"; }
    show "printf '3\\n42\\n4\\n' | records | cat"
    printf '\n'
    under_the_hood records records.piped.trace
}

# --what-if: the what-ifs of the stops named, in their order.
if [ -n "$what_if" ]; then
    export WHAT_IF_WORK=$work ONSCREEN=$onscreen
    failed=()
    shown=
    for stop in "${stops[@]}"; do
        names=$("$root/scripts/what_if.sh" list | awk -v p="$stop--" 'index($1, p) == 1 { print $1 }')
        if [ -z "$names" ]; then
            printf '\n'
            say "(no what-if for $stop: none of its lessons is taken out in scripts/what-if/)"
            continue
        fi
        for name in $names; do
            [ -z "$shown" ] || pause what-if
            shown=yes
            "$root/scripts/what_if.sh" show "$name" || failed+=("$name")
        done
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "tour: these what-ifs failed: ${failed[*]}" >&2
        exit 1
    fi
    exit 0
fi

export PATH="$bin:$PATH"  # the commands read as a user types them
failed=()
for stop in "${stops[@]}"; do
    [ "$stop" = "${stops[0]}" ] || pause stop
    # A stop that fails has said why and ended its programs; the tour goes on.
    set +e
    (set -e; "stop_$stop")
    status=$?
    set -e
    [ "$status" -eq 0 ] || failed+=("$stop")
done

printf '\n=== where next\n'
say "Run the programs yourself, in a terminal: build/plain/bin/NAME (build/plain/bin/pause_timer," \
    "say). The README's table says what to try with each; the code is short, read it alongside."
say "The tests: scripts/test.sh."
if [ ${#failed[@]} -gt 0 ]; then
    echo "tour: these stops failed: ${failed[*]}" >&2
    exit 1
fi
