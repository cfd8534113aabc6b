# shellcheck shell=bash
# sigusr_toggle's what-if, run by scripts/what_if.sh (lessons/README.md):
# the screen's clock, from SIGUSR1 to the line of the new state.
run_signal-let-in-any-time() {
    local gap
    # strace holds the program two seconds inside its second write (the
    # second "Working..."), and SIGUSR1 comes in the middle of them: the
    # moment a wake-up is lost when the signal is let in at any time. The
    # program is strace's child: its pid, for the signal, is strace's child's.
    printf '#!/bin/sh\necho $$ >strace.pid\nexec strace -qq -o /dev/null -e trace=write -e inject=write:delay_enter=2000000:when=2 "%s"\n' "$1" >run.sh
    chmod +x run.sh
    # shellcheck disable=SC2016  # the steps' commands are run by onscreen's shell
    onscreen 30 --lines lines.txt ./run.sh 'expect:Working...\n' sleep:4 \
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
