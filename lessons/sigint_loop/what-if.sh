# shellcheck shell=bash
# sigint_loop's what-if, run by scripts/what_if.sh (lessons/README.md): the
# lines that reach a file when SIGINT ends the program.
run__exit-in-the-handler() {
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
        fault_found "wc -l: $(wc -l <out.txt) lines reached the file: the work line and the farewell, still in the buffer, were lost with _exit (status $status)"
    else
        no_fault_found "wc -l: $(wc -l <out.txt) lines reached the file: exit wrote out the buffer, the work line ahead of the farewell (status $status)"
    fi
}
