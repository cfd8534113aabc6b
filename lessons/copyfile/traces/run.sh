# shellcheck shell=bash
# The run of copyfile that its traces here record (scripts/record_traces.sh
# sources this in an empty directory, the C library's version as $1):
# copyfile on a terminal, through the tour's driver, copying the tour's
# sample file; strace's files glibc-VERSION.PID become glibc-VERSION.trace.
# shellcheck source=SCRIPTDIR/../sample.sh
. "$LESSON/sample.sh"
sample
"$ONSCREEN" --trace "glibc-$1" "$BIN/copyfile" \
    'expect:Enter source file path: ' 'type:sample.txt\n' \
    'expect:Enter destination file path: ' 'type:copy.txt\n' 'expect:Copying complete!' end >/dev/null
