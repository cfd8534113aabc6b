# shellcheck shell=bash
# scripts/exercise.sh watch NAME: the learner's copy checked at once, and
# again at each save, with keys for the hint, the solution, the what-if and
# the trace beside. Sourced by scripts/exercise.sh (its $root, $copies and
# functions: copy_of, what_ifs...); watch_copy NAME runs it.
#
# What it starts to check the copy, or to show the what-if or the trace
# beside, runs in a session of its own (setsid: no key of the terminal
# reaches it, and all it starts stays in it, but for a program a test puts
# on a terminal of its own, which the test's harness ends), ended by
# SIGTERM to its process group (the harness then ends the programs it runs)
# and, once the group has gone or 2 s later, SIGKILL to whatever is left in
# the session. The helpers (inotifywait, the key reader, the readers of
# those jobs' output) write their news as lines into one FIFO, which the
# loop reads: inotifywait's "file EVENTS NAME", "key K", and of the jobs
# "progress GEN LINE", "ended GEN" and "shown GEN".
: "${root:?}" "${copies:?}"

# Lines made safe for a terminal: every control byte shown as "?" (a tab as
# spaces), the C1 controls written in UTF-8 too, which a terminal may act
# on. What the copy printed comes quoted in a check's report, but a
# compiler quotes the copy's lines, and a diff shows them. Byte by byte,
# whatever the locale.
safe_lines() {
    local LC_ALL=C line
    while IFS= read -r line || [ -n "$line" ]; do
        line=${line//$'\t'/    }
        line=${line//[[:cntrl:]]/?}
        printf '%s\n' "${line//$'\xc2'[$'\x80'-$'\x9f']/?}"
    done
}

# in_session SID: the processes of the session SID that have not ended, a
# PID a line, from /proc.
in_session() {
    local stat line fields
    for stat in /proc/[0-9]*/stat; do
        read -r line 2>/dev/null <"$stat" || continue
        read -r -a fields <<<"${line##*) }"
        [ "${fields[3]:-}" != "$1" ] || [ "${fields[0]}" = Z ] || { stat=${stat#/proc/}; echo "${stat%/stat}"; }
    done
}

# apart COMMAND...: COMMAND in a session of its own, both its streams into
# a pipe whose reading end is left open for the caller's reader, as the
# descriptor $apart_out; its PID (its session's and group's) in $apart_pid.
# The pipe is a FIFO that the loop opens at both ends itself, so that no
# process waits in an open for the other end (one ended meanwhile would
# leave the other waiting for good).
apart() {
    local fifo=$work/pipe rdwr into
    mkfifo "$fifo"
    # shellcheck disable=SC2094  # the one FIFO, at both ends
    exec {rdwr}<>"$fifo" {into}>"$fifo" {apart_out}<"$fifo" {rdwr}>&-
    rm -f "$fifo"
    setsid "$@" </dev/null >&"$into" 2>&1 3>&- {into}>&- {apart_out}<&- &
    apart_pid=$!
    exec {into}>&-
}

# end_apart PID...: each job apart ended, with all it started. The PID
# itself is signalled too: until its setsid has run it is no group yet.
end_apart() {
    local pid left deadline=$((SECONDS + 2))
    [ $# -gt 0 ] || return 0
    for pid; do kill -TERM -- "-$pid" "$pid" 2>/dev/null || true; done
    while :; do
        left=()
        for pid; do mapfile -t -O "${#left[@]}" left < <(in_session "$pid"); done
        if [ ${#left[@]} -eq 0 ] || [ "$SECONDS" -ge "$deadline" ]; then break; fi
        sleep 0.05
    done
    [ ${#left[@]} -eq 0 ] || kill -KILL "${left[@]}" 2>/dev/null || true
    for pid; do wait "$pid" 2>/dev/null || true; done
}

# relay GEN: a check's output, line by line, into $work/check.GEN, each line
# before the verdict told to the loop as it comes; then that it has ended.
relay() {
    local line verdict=
    while IFS= read -r line || [ -n "$line" ]; do
        printf '%s\n' "$line" >>"$work/check.$1"
        case $line in "✗"* | "✓"*) verdict=1 ;; esac
        [ -n "$verdict" ] || printf 'progress %s %s\n' "$1" "${line:0:200}"
    done
    printf 'ended %s\n' "$1"
}

# A screen of its own: on a terminal, cleared (and the width read again:
# the terminal may have been resized) under the heading; elsewhere, plain
# text, after a blank line (a check begins with its own heading).
new_screen() {
    if [ -z "$tty_out" ]; then
        printf '\n'
        return
    fi
    printf '\033[H\033[2J'
    # shellcheck source=scripts/wrap.sh
    . "$root/scripts/wrap.sh"
    : "${width:?set by scripts/wrap.sh}"
    printf '%s\n' "Watching your $name ($copy): checked at each save." | safe_lines | wrap '    '
}

# The check's screen: while it runs, the line it is on (written over on a
# terminal); once it has ended, its verdict and the keys.
show_check() {
    view=check
    new_screen
    if [ -n "$check_pid" ]; then
        [ -z "$progress" ] || show_progress
        return
    fi
    [ "$gen" -gt 0 ] || return 0
    # From the verdict on; all of it when there is none (a check that
    # could not run says why).
    awk '{ line[NR] = $0 } !from && (index($0, "✗") == 1 || index($0, "✓") == 1) { from = NR }
        END { for (i = from ? from : 1; i <= NR; i++) print line[i] }' "$work/check.$gen" | safe_lines | wrap '      '
    printf '\n%s\n' "$key_line"
}
show_progress() {
    if [ -n "$tty_out" ]; then
        printf '\r\033[K%s' "$(safe_lines <<<"$progress" | cut -c "1-$((width - 1))")"
    else
        safe_lines <<<"$progress"
    fi
}

# start_check: the copy checked anew, a check still running ended first.
start_check() {
    end_apart ${check_pid:+"$check_pid"}
    end_view
    gen=$((gen + 1)) progress=
    : >"$work/check.$gen"
    apart "$BASH" "$0" check "$name"
    check_pid=$apart_pid
    relay "$gen" <&"$apart_out" {apart_out}<&- >&3 &
    exec {apart_out}<&-
    show_check
}

# A key's screen, in place of the check's until the next key or save.
key_screen() {
    end_view
    view=key
    new_screen
}
back_line() { printf '\n%s\n' "(v: the verdict again)"; }
# show_key COMMAND...: a short command's output on a key's screen.
show_key() {
    key_screen
    "$@" </dev/null 2>&1 | safe_lines | wrap '    ' || true
    back_line
}
# run_key COMMAND...: a long one's (the what-if, the trace beside), shown as
# it comes, in lines of 80 columns (its output is a pipe), while the loop
# goes on: the next key or save ends it.
run_key() {
    key_screen
    view_gen=$((view_gen + 1))
    apart "$@"
    view_pid=$apart_pid
    { safe_lines; printf 'shown %s\n' "$view_gen" >&3; } <&"$apart_out" {apart_out}<&- &
    view_reader=$!
    exec {apart_out}<&-
}
# The key's run ended, and its reader, so that nothing of it comes after.
end_view() {
    [ -n "$view_pid" ] || return 0
    end_apart "$view_pid"
    kill -TERM "$view_reader" 2>/dev/null || true
    wait "$view_reader" 2>/dev/null || true
    view_pid=
}

# watch_end STATUS: everything it started ended, the terminal as it was.
watch_end() {
    local running
    trap '' INT TERM HUP PIPE
    trap - EXIT
    end_apart ${check_pid:+"$check_pid"} ${view_pid:+"$view_pid"}
    # The helpers, and the readers of the jobs' output.
    mapfile -t running < <(jobs -rp)
    if [ ${#running[@]} -gt 0 ]; then
        kill -TERM "${running[@]}" 2>/dev/null || true
        wait "${running[@]}" 2>/dev/null || true
    fi
    [ -z "$stty_saved" ] || stty "$stty_saved" 2>/dev/null || true
    rm -rf "$work"
    exit "$1"
}

on_key() {
    case $1 in
        h) show_key "$BASH" "$0" hint "$name" ;;
        s) show_key "$BASH" "$0" solution "$name" ;;
        w) [ -z "$(what_ifs "$name")" ] || run_key "$root/scripts/tour.sh" --what-if "$name" ;;
        t) run_key "$BASH" "$0" trace "$name" ;;
        v) end_view; show_check ;;
        q) watch_end 0 ;;
    esac
}

watch_copy() {
    name=$1 copy=$(copy_of "$1")
    local file event pending='' status
    file=$(basename "$copy")
    [ -f "$copy" ] || { echo "exercise: no copy of $name yet: scripts/exercise.sh start $name" >&2; exit 2; }
    "$root/scripts/setup.sh" exercise
    tty_out='' stty_saved='' check_pid='' view_pid='' view_reader='' gen=0 view_gen=0 progress='' view=check
    [ ! -t 1 ] || tty_out=1
    # shellcheck source=scripts/wrap.sh
    . "$root/scripts/wrap.sh"
    : "${width:?set by scripts/wrap.sh}"
    work=$(mktemp -d)
    trap 'watch_end 130' INT
    trap 'watch_end 143' TERM
    trap 'watch_end 129' HUP
    trap 'watch_end 141' PIPE
    trap 'watch_end $?' EXIT
    mkfifo "$work/news"
    exec 3<>"$work/news"
    # The keys, each as it is pressed, unechoed: read only from a terminal.
    # Without one, watch runs until it is ended (Ctrl-C, a signal).
    key_line="(Ctrl-C ends watch)"
    if [ -t 0 ]; then
        stty_saved=$(stty -g)
        stty -icanon -echo min 1 time 0
        key_line="h the next hint   s the solution"
        [ -z "$(what_ifs "$name")" ] || key_line+="   w the what-if"
        key_line+="   t the trace beside   q quit"
        while IFS= read -r -n 1 key; do printf 'key %s\n' "$key"; done <&0 >&3 &
    fi
    # The copy's folder, not the file: an editor saves by writing a new file
    # and renaming it over the old one.
    inotifywait -m -e close_write -e moved_to -e create -e delete_self --format 'file %e %f' -- "$copies/$name" \
        </dev/null >&3 2>&3 &
    while :; do
        # A burst of events (a save is often several) is one save: the check
        # starts once none has come for a tenth of a second.
        if [ -n "$pending" ]; then
            status=0
            IFS= read -r -t 0.1 -u 3 event || status=$?
            if [ "$status" -gt 128 ]; then
                pending=
                start_check
                continue
            fi
        else
            IFS= read -r -u 3 event
        fi
        case $event in
            "Setting up watches.") ;;
            "Watches established.") start_check ;;
            "file DELETE_SELF"*)
                echo "exercise: the folder of your copy ($copies/$name) is gone; watch ends" >&2
                watch_end 1 ;;
            "file "*) [ "${event#file * }" != "$file" ] || pending=1 ;;
            "key "?) on_key "${event#key }" ;;
            "progress $gen "*)
                [ -z "$check_pid" ] || progress=${event#progress "$gen" }
                [ "$view" != check ] || [ -z "$check_pid" ] || show_progress ;;
            "ended $gen")
                [ -z "$check_pid" ] || wait "$check_pid" 2>/dev/null || true
                check_pid=
                [ "$view" != check ] || show_check ;;
            "shown $view_gen")
                # (nothing for a run that was ended: its screen is gone)
                if [ -n "$view_pid" ]; then
                    wait "$view_pid" 2>/dev/null || true
                    view_pid=
                    back_line
                fi ;;
            progress* | ended* | shown* | "key "*) ;;  # of an earlier run, ended
            *)
                # Before its watch is set, inotifywait says only why it cannot.
                if [ "$gen" -eq 0 ]; then
                    echo "exercise: the copy's folder cannot be watched: $event" >&2
                    watch_end 1
                fi ;;
        esac
    done
}
