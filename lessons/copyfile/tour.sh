# shellcheck shell=bash
# shellcheck disable=SC2154  # $bin, $lesson...: set by scripts/tour.sh, which sources this
# copyfile's tour stop: the sample file copied, then the two files compared.
# shellcheck source=lessons/copyfile/sample.sh
. "$lesson/sample.sh"
stop() {
    sample
    on_terminal copyfile 'expect:Enter source file path: ' 'type:sample.txt\n' \
        'expect:Enter destination file path: ' 'type:copy of sample.txt\n' \
        'expect:Copying complete!' end
    show "wc -c sample.txt 'copy of sample.txt'"
    show "cmp sample.txt 'copy of sample.txt' && echo 'the copy is identical'"
}
