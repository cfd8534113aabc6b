# shellcheck shell=bash
# The run of records that its traces here record (scripts/record_traces.sh
# sources this in an empty directory, the C library's version as $1):
# records fed from a pipe into a pipe, where the C library reads and writes
# in blocks; strace's files piped-glibc-VERSION.PID become
# piped-glibc-VERSION.trace.
printf '3\n42\n4\n' | "$TRACED" "piped-glibc-$1" "$BIN/records" | cat >/dev/null
