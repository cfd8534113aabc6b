# shellcheck shell=bash
# Sourced by the tour, the what-ifs and the exercises: the record of a run
# (--record DIR), made by scripts/record.py: an asciicast of each stop,
# what-if or check, and one page of them all, DIR/index.html.
#   record_start DIR WORDS...   DIR made the record of the command WORDS
#                               (refused, exit status 2, when it holds
#                               anything already); sets $record
#   record_run NAME KIND TITLE COMMAND...
#                               COMMAND run, its output (standard error too)
#                               shown and recorded as DIR/NN-NAME.cast, and
#                               the page made again; its exit status
#   record_source FILE          in a run: FILE is the program's source, for
#                               the trace view's lines
#   record_trace                in a run: the options that have
#                               scripts/trace_view.py write the view for
#                               the page as well, one a line (none when
#                               there is no record)
#   keep_drawing CAPTION        in a run: standard input, an SVG drawing,
#                               kept for the page (read and dropped when
#                               there is no record)
# In a run, RECORD_PREFIX is DIR/NN-NAME, and the terminal driver marks the
# keys it types in its output (ONSCREEN_MARK_KEYS), for the cast.
record=

record_start() {
    local dir=$1
    if [ -e "$dir" ] && [ -n "$(ls -A -- "$dir" 2>/dev/null)" ]; then
        echo "${0##*/}: --record $dir: the folder holds files already; a record is made in a new or empty one" >&2
        exit 2
    fi
    mkdir -p -- "$dir" || exit 2
    record=$(cd -- "$dir" && pwd)
    printf 'command %s\nstarted %s\n' "${*:2}" "$(date '+%Y-%m-%d %H:%M:%S %Z')" >"$record/record.info"
}

record_run() {
    local name=$1 kind=$2 title=$3 prefix status
    shift 3
    prefix=$record/$(printf '%02d' $(($(find "$record" -maxdepth 1 -name '*.cast' | wc -l) + 1)))-$name
    printf 'kind %s\ntitle %s\n' "$kind" "$title" >"$prefix.info"
    status=0
    RECORD_PREFIX=$prefix ONSCREEN_MARK_KEYS=1 "$@" 2>&1 |
        COLUMNS=${width:-80} python3 "${BASH_SOURCE[0]%/*}/record.py" cast "$prefix.cast" "$title" ||
        status=${PIPESTATUS[0]}
    printf 'status %s\n' "$status" >>"$prefix.info"
    python3 "${BASH_SOURCE[0]%/*}/record.py" page "$record" ||
        echo "${0##*/}: the record's page could not be made" >&2
    return "$status"
}

record_source() {
    [ -z "${RECORD_PREFIX:-}" ] || printf 'source %s\n' "$(realpath -- "$1")" >>"$RECORD_PREFIX.info"
}

# The next file of a run's for the page: PREFIX.KIND-N.EXTENSION.
record_file() {
    local n=1
    while [ -e "$RECORD_PREFIX.$1-$n.$2" ]; do n=$((n + 1)); done
    printf '%s\n' "$RECORD_PREFIX.$1-$n.$2"
}

record_trace() {
    local file
    [ -n "${RECORD_PREFIX:-}" ] || return 0
    file=$(record_file trace txt)
    : >"$file"
    printf 'trace %s\n' "${file##*/}" >>"$RECORD_PREFIX.info"
    printf '%s\n' --wide "$file"
}

keep_drawing() {
    local file
    if [ -z "${RECORD_PREFIX:-}" ]; then
        cat >/dev/null
        return 0
    fi
    file=$(record_file drawing svg)
    cat >"$file"
    printf 'drawing %s %s\n' "${file##*/}" "$1" >>"$RECORD_PREFIX.info"
}
