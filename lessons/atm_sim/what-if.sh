# shellcheck shell=bash
# atm_sim's what-if, run by scripts/what_if.sh (lessons/README.md): the
# turns on the time line the tour draws (timeline.awk).
run_unlock-before-the-turn() {
    local timeline
    timeline=$(lesson atm_sim)/timeline.awk
    echo "  (five turns of two seconds each: about ten seconds)"
    onscreen 60 --lines lines.txt "$1" 'expect:Simulation complete.' end >/dev/null
    awk -f "$timeline" lines.txt | indent
    # shellcheck disable=SC2154  # $which: set by scripts/what_if.sh, which sources this
    awk -v svg=1 -f "$timeline" lines.txt | keep_drawing "The $which program's turns in time"
    if [[ $(awk -f "$timeline" lines.txt | tail -n 1) == *OVERLAPPING* ]]; then
        fault_found "the time line: turns overlap, two users at the ATM at once"
    else
        no_fault_found "the time line: never two turns at once"
    fi
}
