#!/usr/bin/env bash
# A classroom service's CI job: one job for each student, whose repository
# is a copy of this project with the student's copies in exercises/NAME/.
# Installs what the checks need, checks the copies (the exercises named, or
# every one there is a copy of) and leaves the results in the current
# folder: results/junit.xml (JUnit's XML, for the CI system's test report)
# and results/results.json (Gradescope's form). Each test runs in a sandbox
# (scripts/sandbox.sh) where one can be made here; it says which.
#   scripts/classroom.sh [NAME...]
# The exit status is 0 when every check passes, 1 when one fails, 2 when
# nothing could be checked; the results files are left in every case where
# the check wrote them. EXERCISES_DIR and EXERCISE_BUILD are passed on to
# scripts/exercise.sh.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh" exercise || exit 2
# The sandbox's tools; where they cannot be installed, the checks run
# unsandboxed, and say so below.
"$root/scripts/setup.sh" grade || echo "classroom: the sandbox's tools could not be installed"
[ $# -gt 0 ] || set -- all
mkdir -p results || { echo "classroom: cannot make the folder results/ in $PWD" >&2; exit 2; }
rm -f results/junit.xml results/results.json
sandbox=()
if why=$("$root/scripts/sandbox.sh" --check 2>&1); then
    sandbox=(--sandbox)
    echo "classroom: each test runs in a sandbox"
else
    echo "classroom: no sandbox can be made here (${why//$'\n'/ }): the tests run as $(id -un), unsandboxed"
fi
"$root/scripts/exercise.sh" check "$@" --junit results/junit.xml --gradescope results/results.json "${sandbox[@]}"
status=$?
for file in results/junit.xml results/results.json; do
    [ -f "$file" ] && echo "classroom: $PWD/$file"
done
exit "$status"
