# shellcheck shell=bash
# What the autograder's scripts share, sourced with $here set to the script's
# folder and $project to the project's: in the zip, the folder project/
# beside the scripts; in a clone, the clone.
#   exercise_names        every exercise, in the registry's order
#   source_of NAME        the project's path of the program's file that the
#                         exercise changes
#   file_of NAME          the file a student hands in for NAME (the basename
#                         of the program's source that the exercise changes)
# (each from scripts/exercise.sh files)
#   assignment            the exercises of this autograder: those the zip was
#                         made for (the file "exercises" beside the scripts
#                         in it), else every one
# $ag is the grading service's folder (AUTOGRADER_ROOT, /autograder when
# unset); $builds the checks' build trees, which setup.sh builds once and
# each submission's check reuses.
# shellcheck disable=SC2034  # the registry's functions read it
root=${project:?}
# shellcheck source=scripts/registry.sh
. "$project/scripts/registry.sh"
ag=${AUTOGRADER_ROOT:-/autograder}
# shellcheck disable=SC2034  # for the scripts that source this
builds=${EXERCISE_BUILD:-$ag/build}
# The students' copies, laid out as the check reads them: one folder for
# setup.sh's warm-up and every submission, so that each finds the trees
# configured for its folder.
# shellcheck disable=SC2034  # for the scripts that source this
copies=$ag/copies

exercise_names() { "$project/scripts/exercise.sh" files | cut -d ' ' -f 1; }
source_of() { "$project/scripts/exercise.sh" files | awk -v name="$1" '$1 == name { print $3 }'; }
file_of() { "$project/scripts/exercise.sh" files | awk -v name="$1" '$1 == name { print $2 }'; }
assignment() {
    if [ "$project" = "${here:?}/project" ] && [ -f "$here/exercises" ]; then
        grep -v '^[[:space:]]*$' "$here/exercises"
    else
        exercise_names
    fi
}
