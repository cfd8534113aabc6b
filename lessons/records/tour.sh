# shellcheck shell=bash
# shellcheck disable=SC2154  # $bin, $lesson...: set by scripts/tour.sh, which sources this
# records' tour stop: the menu played on a terminal, then the same program
# fed from a pipe (with --trace, its output into a pipe too, traced).
stop() {
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
    # The records of the command line shown is this function: traced too, as
    # the tour traces every program (scripts/traced.sh).
    # shellcheck disable=SC2317  # called through show's eval
    records() { "$root/scripts/traced.sh" records.piped.trace "$bin/records"; }
    show "printf '3\\n42\\n4\\n' | records | cat"
    printf '\n'
    under_the_hood records records.piped.trace
}
