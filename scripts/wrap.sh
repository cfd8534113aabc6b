# Sourced by the tour and the what-ifs: the width of the terminal on standard
# output, 80 columns when it is not a terminal, in $width; and
#   wrap HANG    each line of standard input too wide cut at a space, the
#                lines it is cut into after the first begun with HANG
# shellcheck shell=bash
width=80
wrap_size=
# (stty reads the size of its standard input: the terminal, given as 3, for
# inside $(...) standard output is a pipe)
[ ! -t 1 ] || { wrap_size=$(stty size <&3 2>/dev/null) || true; } 3>&1
if [ "${wrap_size#* }" -gt 0 ] 2>/dev/null; then
    width=${wrap_size#* }
fi
wrap() { awk -v width="$width" -v hang="$1" -f "${BASH_SOURCE[0]%/*}/wrap.awk"; }
