# Cuts each line wider than width columns (80 unless given) at its last space
# that fits, and the rest likewise, each line it is cut into after the first
# begun with hang; a line with no such space is cut at the width. Spaces
# inside what fits are kept as they are (a program's columns, a diff's code).
#   awk -v width=N -v hang=TEXT -f scripts/wrap.awk [FILE...]
BEGIN { if (width <= 0) width = 80 }
{
    line = $0
    while (length(line) > width) {
        for (cut = width + 1; cut > length(hang) + 1 && substr(line, cut, 1) != " "; --cut) {}
        if (cut > length(hang) + 1) {
            print substr(line, 1, cut - 1)
            line = hang substr(line, cut + 1)
        } else {
            print substr(line, 1, width)
            line = hang substr(line, width + 1)
        }
    }
    print line
}
