# shellcheck shell=bash
# sigusr_toggle's tour stop: SIGUSR1 sent twice, as from another terminal,
# pausing the work and resuming it; Ctrl-C ends it.
stop() {
    on_terminal sigusr_toggle 'expect:Working...\n' sleep:1 signal:USR1 'expect:paused by SIGUSR1\n' \
        sleep:3.5 signal:USR1 'expect:Working...\n' sleep:1 key:^C end
}
