# shellcheck shell=bash
# copyfile's what-ifs, run by scripts/what_if.sh (lessons/README.md): each
# copies the sample file and judges the copy with a common tool.
# shellcheck source=lessons/copyfile/sample.sh
. "$(lesson copyfile)/sample.sh"

run_truncate-first() {
    sample
    local before after
    before=$(stat -c %s sample.txt)
    printf 'sample.txt\nsample.txt\n' | "$1" 2>&1 | indent || true
    after=$(stat -c %s sample.txt)
    if [ "$after" -ne "$before" ]; then
        fault_found "stat: sample.txt had $before bytes before, $after after: copied onto itself, it was emptied"
    else
        no_fault_found "stat: sample.txt had $before bytes before and after: the copy onto itself refused, nothing lost"
    fi
}

# judge_copy STATUS WHAT: a copy that ended with STATUS, judged by cmp; WHAT,
# the fault it would report, when it did.
judge_copy() {
    if [ "$1" -eq 0 ] && ! cmp -s sample.txt copy.txt; then
        fault_found "cmp: copy.txt has $(stat -c %s copy.txt) of sample.txt's $(stat -c %s sample.txt) bytes, and the program said it was complete (status 0)"
    else
        no_fault_found "the $2 reported (status $1): no short copy passed off as complete"
    fi
}

run_read-error-as-end() {
    sample
    local status=0
    # strace makes the source's third read fail (EIO), as a bad disk would.
    printf 'sample.txt\ncopy.txt\n' |
        strace -qq -o /dev/null -P "$(pwd -P)/sample.txt" -e trace=read -e inject=read:error=EIO:when=3 "$1" >out.txt 2>&1 || status=$?
    indent <out.txt
    judge_copy "$status" "failed read"
}

run_write-unfinished() {
    sample
    local status=0
    # A file size limit of 5000 bytes: the write that crosses it is short (a
    # real short write), the next fails with EFBIG. SIGXFSZ, which would
    # kill the program at that one, is ignored, as a daemon might.
    printf 'sample.txt\ncopy.txt\n' | (trap '' XFSZ; exec prlimit --fsize=5000 "$1") >out.txt 2>&1 || status=$?
    indent <out.txt
    judge_copy "$status" "unfinished write"
}
