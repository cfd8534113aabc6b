#!/usr/bin/env bash
# Records the traces here on the machine it runs on, for the test that reads
# the trace view of two C libraries: copyfile on a terminal (through the
# tour's driver) and records fed from a pipe into a pipe, each traced as the
# tour traces it, then merged and mapped to the source lines by
# scripts/trace_view.py --save, so that neither program nor source is needed
# to read them again. Names them by the C library's version:
#   tests/traces/record.sh    (after the tour has built build/plain)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
glibc=$(getconf GNU_LIBC_VERSION | awk '{ print $2 }')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
seq -f 'line %g of the sample file' 1 400 >sample.txt
"$root/build/plain/tools/onscreen" --trace copyfile.trace "$root/build/plain/bin/copyfile" \
    'expect:Enter source file path: ' 'type:sample.txt\n' \
    'expect:Enter destination file path: ' 'type:copy.txt\n' 'expect:Copying complete!' end >/dev/null
printf '3\n42\n4\n' | strace -ffqqkTI4 -ttt -s24 -o records.trace "$root/build/plain/bin/records" | cat >/dev/null
for trace in copyfile records-piped; do
    out=$root/tests/traces/$trace-glibc-$glibc.trace
    python3 "$root/scripts/trace_view.py" --save "$out" "${trace%-piped}.trace"
    echo "record: $out"
done
