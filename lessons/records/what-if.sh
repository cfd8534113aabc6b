# shellcheck shell=bash
# records' what-if, run by scripts/what_if.sh (lessons/README.md): the lines
# the menu writes in one second, given a word for a number.
run_unchecked-scanf() {
    local status
    # One second at most: cut off after it.
    {
        printf 'abc\n' | timeout --foreground 1 "$1" 2>&1 | head_and_count 9
        status=${PIPESTATUS[1]}
    } || true
    shown_head
    if [ "$status" -eq 124 ]; then
        fault_found "wc -l: $(cat count.txt) lines in one second, and still going: \"abc\" is never read, the menu comes again and again"
    else
        no_fault_found "wc -l: $(cat count.txt) lines; the program ended by itself (status $status)"
    fi
}
