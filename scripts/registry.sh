# shellcheck shell=bash
# The registry (registry.txt), read by the scripts. Sourced; needs $root.
#   programs                 the programs' names, in the registry's order
#   entry NAME KEY           the words after KEY in NAME's entry, a line for
#                            each such line (nothing when it has none)
#   is_program NAME          whether NAME is a program of the registry
#   what_ifs [NAME]          the what-ifs, PROGRAM--WHAT, of NAME (of all when
#                            no NAME is given), one a line
#   lesson NAME              the folder of NAME's lesson
registry=${root:?}/registry.txt
programs() { awk '$1 == "program" { print $2 }' "$registry"; }
entry() {
    awk -v name="$1" -v key="$2" '
        $1 == "program" { inside = $2 == name; next }
        inside && $1 == key { sub(/^[ \t]*[^ \t]+[ \t]*/, ""); print }' "$registry"
}
is_program() { [ -n "$1" ] && programs | grep -qxF -- "$1"; }
what_ifs() {
    awk -v name="${1:-}" '
        $1 == "program" { program = $2; next }
        $1 == "what-if" && (name == "" || program == name) { print program "--" $2 }' "$registry"
}
lesson() { printf '%s\n' "$root/lessons/$1"; }
