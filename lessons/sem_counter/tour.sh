# shellcheck shell=bash
# sem_counter's tour stop: one run, and its total.
stop() {
    on_terminal sem_counter 'expect:Final value: 750' end
}
