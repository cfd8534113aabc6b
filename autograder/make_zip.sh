#!/usr/bin/env bash
# Makes the grading service's autograder: a zip whose root holds setup.sh
# and run_autograder, the file "exercises" (the exercises of the
# assignment, a line each) and the project as committed (git archive of
# HEAD) in the folder project/.
#   autograder/make_zip.sh OUT.zip [NAME...]   NAME: the exercises a
#                            submission is checked for (every one when none)
set -euo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)
here=$project/autograder
# shellcheck source=autograder/common.sh
. "$project/autograder/common.sh"

if [ $# -lt 1 ] || [[ $1 != *.zip ]]; then
    echo "usage: autograder/make_zip.sh OUT.zip [EXERCISE...]" >&2
    exit 2
fi
out=$1
shift
known=$(exercise_names)
for name in "$@"; do
    grep -qxF -- "$name" <<<"$known" || { echo "make_zip: no exercise named '$name' (scripts/exercise.sh list)" >&2; exit 2; }
done
# shellcheck disable=SC2086  # one word a name
[ $# -gt 0 ] || set -- $known
[[ $out == /* ]] || out=$PWD/$out

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
git -C "$project" archive --format=tar --prefix=project/ HEAD | tar -C "$stage" -xf -
if [ -n "$(git -C "$project" status --porcelain --untracked-files=no)" ]; then
    echo "make_zip: note: changes not committed are left out (the zip holds HEAD)" >&2
fi
cp "$here/setup.sh" "$here/run_autograder" "$stage/"
printf '%s\n' "$@" >"$stage/exercises"
rm -f "$out"
if command -v zip >/dev/null; then
    (cd "$stage" && zip -q -r "$out" setup.sh run_autograder exercises project)
else
    # Python's zip keeps each file's mode, as zip does: run_autograder stays
    # executable.
    (cd "$stage" && python3 -m zipfile -c "$out" setup.sh run_autograder exercises project)
fi
echo "$out: the autograder for $*"
