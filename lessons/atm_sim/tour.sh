# shellcheck shell=bash
# shellcheck disable=SC2154  # $bin, $lesson...: set by scripts/tour.sh, which sources this
# atm_sim's tour stop: the five turns on the screen, then drawn in time
# (timeline.awk) from when their lines appeared.
stop() {
    printf '$ atm_sim\n'
    # shellcheck disable=SC2046  # traced gives whole words, one per line
    "$onscreen" $(traced atm_sim) --lines atm_sim.lines "$bin/atm_sim" 'expect:Simulation complete.' end
    say "(each user holds the mutex for its whole two-second turn: its two lines always stand together)"
    say "The turns in time, from when their lines appeared:"
    awk -f "$lesson/timeline.awk" atm_sim.lines
    awk -v svg=1 -f "$lesson/timeline.awk" atm_sim.lines | keep_drawing "The turns in time, from when their lines appeared"
    under_the_hood atm_sim
}
