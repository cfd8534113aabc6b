# Draws atm_sim's turns from the timed lines of its screen (as onscreen
# --lines writes them: seconds since the start, then the line): one row per
# user, time along the row, each turn drawn where it fell, one column a fifth
# of a second. A closing line says what to see: how many turns, how long,
# whether two ever overlapped, and in which order the users came.
#   awk -f lessons/atm_sim/timeline.awk LINES
BEGIN { scale = 5 }  # columns per second
$2 == "User" && $5 == "accessing" { start[$3] = $1 }
$2 == "User" && $5 == "finished" { finish[$3] = $1; order = order " " $3; ++turns }
END {
    width = 0
    for (u in finish)
        if (finish[u] * scale > width)
            width = int(finish[u] * scale + 0.5)
    ruler = sprintf("%-8s", "seconds")
    for (c = 0; c <= width; c += 2 * scale)
        ruler = ruler sprintf("%-" 2 * scale "s", "|" c / scale)
    print ruler
    shortest = longest = -1
    for (u = 1; u <= 5; ++u) {
        if (!(u in finish)) {
            printf "User %d  (no turn)\n", u
            continue
        }
        from = int(start[u] * scale + 0.5)
        to = int(finish[u] * scale + 0.5)
        row = sprintf("%-8s", "User " u)
        for (c = 0; c < to; ++c)
            row = row (c >= from ? "=" : " ")
        print row
        took = finish[u] - start[u]
        if (shortest < 0 || took < shortest) shortest = took
        if (took > longest) longest = took
    }
    overlap = ""
    for (u in finish)
        for (v in finish)
            if (u < v && start[v] < finish[u] - 0.05 && start[u] < finish[v] - 0.05)
                overlap = overlap " " u "&" v
    printf "%d turns of %.1f to %.1f s, %s, in the order%s\n", turns, shortest, longest,
        overlap == "" ? "never two at once" : "OVERLAPPING:" overlap, order
}
