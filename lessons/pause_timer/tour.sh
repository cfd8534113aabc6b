# shellcheck shell=bash
# pause_timer's tour stop: the countdown paused by Ctrl-C, resumed by Ctrl-Z.
stop() {
    on_terminal pause_timer 'expect:Countdown: 8\n' sleep:0.5 key:^C 'expect:Timer paused.\n' \
        sleep:3 key:^Z 'expect:Timer resumed.\n' 'expect:Countdown complete.' end
}
