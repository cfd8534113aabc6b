#!/usr/bin/env bash
# Lints the project's scripts, as CI does (a test of the plain configuration
# runs each half):
#   scripts/lint.sh shell    shellcheck -x on every shell script: each file
#                            named *.sh, and each whose first line starts it
#                            with sh or bash
#   scripts/lint.sh python   pyflakes3 on every Python file: each named *.py,
#                            and each whose first line starts it with python
#   scripts/lint.sh          both
# The files are git's: those it tracks and those it would add (not ignored).
# Prints the findings; the exit status is 0 only when there is none.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 2

case ${1:-both} in
    shell | python) kinds=("$1") ;;
    both) kinds=(shell python) ;;
    *) echo "usage: scripts/lint.sh [shell|python]" >&2; exit 2 ;;
esac
tool_of() { case $1 in shell) echo shellcheck ;; python) echo pyflakes3 ;; esac; }
for kind in "${kinds[@]}"; do
    command -v "$(tool_of "$kind")" >/dev/null ||
        { echo "lint: $(tool_of "$kind") is missing (scripts/setup.sh test installs it)" >&2; exit 2; }
done
files=$(git ls-files --cached --others --exclude-standard 2>/dev/null) ||
    { echo "lint: $root is no git work tree: git names the files to lint" >&2; exit 2; }

# kind_of FILE: shell or python, by its name or else by its first line.
kind_of() {
    local first
    case $1 in
        *.sh) echo shell; return ;;
        *.py) echo python; return ;;
    esac
    IFS= read -r first <"$1" 2>/dev/null || return 0
    if [[ $first =~ ^#!\ *[^\ ]*/(env\ +)?(ba)?sh(\ |$) ]]; then
        echo shell
    elif [[ $first =~ ^#!\ *[^\ ]*/(env\ +)?python[0-9.]*(\ |$) ]]; then
        echo python
    fi
}
shell=() python=()
while IFS= read -r file; do
    [ -f "$file" ] || continue  # tracked, but removed from the work tree
    case $(kind_of "$file") in
        shell) shell+=("$file") ;;
        python) python+=("$file") ;;
    esac
done < <(sort -u <<<"$files")

status=0
for kind in "${kinds[@]}"; do
    if [ "$kind" = shell ]; then
        list=("${shell[@]}")
        command=(shellcheck -x)
    else
        list=("${python[@]}")
        command=(pyflakes3)
    fi
    echo "lint: ${command[*]} on ${#list[@]} files"
    [ ${#list[@]} -eq 0 ] || "${command[@]}" "${list[@]}" || status=1
done
[ "$status" -eq 0 ] && echo "lint: no finding"
exit "$status"
