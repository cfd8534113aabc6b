# shellcheck shell=bash
# sigint_loop's tour stop: two rounds of work, then Ctrl-C and the farewell.
stop() {
    on_terminal sigint_loop 'expect:program...\n' 'expect:program...\n' sleep:0.5 key:^C \
        'expect:terminating safely.\n' end
}
