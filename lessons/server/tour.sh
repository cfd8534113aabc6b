# shellcheck shell=bash
# shellcheck disable=SC2154  # $bin, $lesson...: set by scripts/tour.sh, which sources this
# server's tour stop: the tour plays the clients of the server's FIFO,
# /tmp/new, and writes only into one of the user's own.
stop() {
    # The clients write only into a FIFO of the user's: in a /tmp that is not
    # sticky another user could put a link there, to a file the user may
    # write, and have the tour write into it.
    if [ -L /tmp/new ] || { [ -e /tmp/new ] && [ ! -p /tmp/new ]; }; then
        say "(skipped: /tmp/new exists and is not a FIFO)"
        return
    fi
    if [ -p /tmp/new ] && ! { [ -O /tmp/new ] && [ -r /tmp/new ] && [ -w /tmp/new ]; }; then
        # Left by another user on a shared machine, say: in a /tmp that is
        # sticky only its owner or root may remove it.
        local owner who why
        owner=$(stat -c %U /tmp/new)
        who=$([ "$owner" = root ] && echo root || echo "$owner or root")
        why="which you may not both read and write, as this stop must"
        [ -O /tmp/new ] || why="and the tour writes only into a FIFO of yours"
        say "(skipped: /tmp/new is a FIFO of $owner's, mode 0$(stat -c %a /tmp/new), $why;" \
            "only $who can remove it (rm /tmp/new), and the next tour then makes a FIFO of yours)"
        return
    fi
    local busy="(skipped: a server is already reading /tmp/new, yours perhaps; end it to take this stop)"
    if "$onscreen" --reader /tmp/new; then
        say "$busy"
        return
    fi
    say "(the tour plays the clients, as you would from a second terminal; Ctrl-C ends the server)"
    # The pauses before the clients: with --trace, poll is seen waiting for
    # them. --sole-reader: a second tour starting its server at the same
    # moment finds this one's reading, and skips the stop (status 3).
    printf '$ server\n'
    local status=0
    # shellcheck disable=SC2046,SC2016  # traced gives whole words; $5000 is the server's
    "$onscreen" $(traced server) --sole-reader /tmp/new "$bin/server" reader:/tmp/new sleep:1 \
        'write:/tmp/new:alice:secret' 'expect:Valid, Balance: $5000' sleep:0.5 \
        'write:/tmp/new:bob' 'expect:Invalid credentials.' \
        'write:/tmp/new:0123456789012345678901234' 'expect:Valid, Balance: $5000' 'expect:Invalid credentials.' \
        key:^C end || status=$?
    if [ "$status" -eq 3 ]; then
        say "$busy"
        return
    fi
    [ "$status" -eq 0 ] || return "$status"
    under_the_hood server
    say "(25 bytes are read as 20 and then 5: one valid, one invalid. The FIFO stays: ls -l /tmp/new)"
}
