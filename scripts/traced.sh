#!/bin/sh
# traced.sh TRACE PROGRAM [ARG...]: PROGRAM run under strace as the trace view
# (scripts/trace_view.py) reads it: TRACE.PID for each of its threads (-ff),
# each call with the stack it was made from (-k), the time it began (-ttt:
# the view puts the threads' calls back in order by it) and the time it took
# (-T), 24 bytes of each string (-s24), and none of strace's own notes (-qq).
# A file for each thread: no call's stack is cut in two by another thread's.
# -I4: strace blocks the signals of the keys (^C, ^Z) in itself, so that on
# a terminal they reach the program alone, and strace goes on tracing it.
# The one place these options are set: the tour, its terminal driver and
# the recorded traces all run a traced program through it.
[ $# -ge 2 ] || { echo "usage: traced.sh TRACE PROGRAM [ARG...]" >&2; exit 2; }
trace=$1
shift
exec strace -ffqqkTI4 -ttt -s24 -o "$trace" -- "$@"
