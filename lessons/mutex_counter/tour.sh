# shellcheck shell=bash
# mutex_counter's tour stop: one run, and its total.
stop() {
    on_terminal mutex_counter 'expect:Final value: 500' end
}
