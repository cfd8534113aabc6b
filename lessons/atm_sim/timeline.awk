# Draws atm_sim's turns from the timed lines of its screen (as onscreen
# --lines writes them: seconds since the start, then the line): one row per
# user, time along the row, each turn drawn where it fell, one column a fifth
# of a second. A closing line says what to see: how many turns, how long,
# whether two ever overlapped, and in which order the users came.
#   awk -f lessons/atm_sim/timeline.awk LINES
#   awk -v svg=1 -f lessons/atm_sim/timeline.awk LINES
#                   the same turns drawn in SVG, for a page (a record of
#                   the tour): a bar for each turn, a turn that overlaps
#                   another in red, seconds along the bottom
BEGIN { scale = 5 }  # columns per second
$2 == "User" && $5 == "accessing" { start[$3] = $1 }
$2 == "User" && $5 == "finished" { finish[$3] = $1; order = order " " $3; ++turns }
# overlaps(U): whether user U's turn overlapped another's.
function overlaps(u,    v) {
    for (v in finish)
        if (v != u && start[v] < finish[u] - 0.05 && start[u] < finish[v] - 0.05)
            return 1
    return 0
}
# Only numbers of the lines reach the drawing, never their text.
function draw(    seconds, left, right, row, x, u, s) {
    seconds = 0
    for (u in finish)
        if (finish[u] + 0 > seconds)
            seconds = finish[u] + 0
    seconds = int(seconds / 2 + 1) * 2
    left = 80; right = 620; row = 30
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 640 %d\" role=\"img\" font-size=\"16\" font-family=\"sans-serif\">\n", 6 * row + 30
    printf "<title>The five turns at the ATM in time: %d turns, %s</title>\n", turns,
        overlap_found() ? "some overlapping" : "never two at once"
    for (u = 1; u <= 5; ++u) {
        printf "<text x=\"0\" y=\"%d\" fill=\"currentColor\">User %d</text>\n", u * row + 5, u
        if (!(u in finish))
            continue
        printf "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"18\" rx=\"3\" fill=\"%s\"><title>User %d: %.2f s to %.2f s</title></rect>\n",
            left + start[u] * (right - left) / seconds, u * row - 9, (finish[u] - start[u]) * (right - left) / seconds,
            overlaps(u) ? "#d93b3b" : "#3f7fd9", u, start[u], finish[u]
    }
    for (s = 0; s <= seconds; s += 2) {
        x = left + s * (right - left) / seconds
        printf "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"currentColor\" stroke-opacity=\"0.3\"/>\n", x, row - 15, x, 5 * row + 12
        printf "<text x=\"%.1f\" y=\"%d\" fill=\"currentColor\" text-anchor=\"middle\">%d s</text>\n", x, 6 * row + 10, s
    }
    print "</svg>"
}
function overlap_found(    u) {
    for (u in finish)
        if (overlaps(u))
            return 1
    return 0
}
END {
    if (svg) {
        draw()
        exit
    }
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
