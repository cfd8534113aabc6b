#!/usr/bin/env bash
# Prepares the grading image, once, as root: installs what the checks need
# (the project's scripts/setup.sh: its "exercise" set, and its "grade" set
# for the sandbox), then builds the checks' trees, so that each
# submission's check rebuilds only the student's file: for each of the
# builds the assignment's exercises are checked in (plain, thread), the
# real program's file is checked as a copy, which configures and builds the
# tree and proves it works here, and then every test executable of the
# assignment is built in it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -d "$here/project" ]; then project=$here/project; else project=$(dirname "$here"); fi
# shellcheck source=autograder/common.sh
. "$project/autograder/common.sh"
: "${ag:?set by common.sh}" "${builds:?set by common.sh}" "${copies:?set by common.sh}"

"$project/scripts/setup.sh" exercise
"$project/scripts/setup.sh" grade
command -v setpriv >/dev/null || { echo "autograder: setpriv (util-linux) is missing" >&2; exit 1; }

# The builds to prepare, and an exercise checked in each.
covered=" " warm=()
for name in $(assignment); do
    for flavour in $(entry "$name" flavours); do
        if [[ $covered != *" $flavour "* ]]; then
            covered+="$flavour "
            [[ " ${warm[*]} " == *" $name "* ]] || warm+=("$name")
        fi
    done
done
rm -rf "$copies"
for name in "${warm[@]}"; do
    mkdir -p "$copies/$name"
    cp "$project/$(source_of "$name")" "$copies/$name/"
    echo "autograder: preparing the builds of $name ($(entry "$name" flavours)), checking the real program"
    # A check that fails here (a test that cannot run in this image) is
    # told, and the preparation goes on: each submission's results say it
    # again.
    EXERCISES_DIR=$copies EXERCISE_BUILD=$builds "$project/scripts/exercise.sh" check "$name" ||
        echo "autograder: warning: the real $name does not pass its check in this image (above)" >&2
done
# The trees build the copies checked above (each submission's later): the
# rest of the assignment's tests are built with them in place.
for flavour in $covered; do
    binaries=()
    for name in $(assignment); do
        read -r binary _ <<<"$(entry "$name" tests)"
        if [[ " $(entry "$name" flavours) " == *" $flavour "* && " ${binaries[*]} " != *" $binary "* ]]; then
            binaries+=("$binary")
        fi
    done
    echo "autograder: building ${binaries[*]} in the $flavour build"
    cmake --build "$builds/exercise-$flavour" --target "${binaries[@]}" -j "$(nproc)" >"$builds/exercise-$flavour/prepare.log" 2>&1 ||
        { cat "$builds/exercise-$flavour/prepare.log" >&2; echo "autograder: the $flavour build failed (above)" >&2; exit 1; }
done
rm -rf "$copies"
echo "autograder: ready"
