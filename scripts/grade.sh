#!/usr/bin/env bash
# Grades a class: every student's copies of the exercises, each checked
# against the program's tests in a sandbox, into a table and a report for
# each student.
#   scripts/grade.sh STUDENTS OUT
# STUDENTS holds a folder for each student, holding that student's copies as
# scripts/exercise.sh start lays them out (STUDENTS/alice/NAME/FILE); every
# copy found is checked. OUT gets:
#   grades.csv            a row for each copy: student, exercise, passed,
#                         failed, skipped, score (the points earned), seconds
#   STUDENT/report.txt    the checks' verdicts, with each failure's report
#   STUDENT/junit.xml     every test's result, as JUnit's XML
#   STUDENT/results.json  the same, as Gradescope's results.json
# A test that could not run is counted skipped, never passed. As many copies
# are checked at once as the machine has cores (GRADE_JOBS instead), a line
# telling how far it has got. Each test runs in a sandbox (scripts/sandbox.sh:
# it reads the project and the copy, writes only a /tmp of its own, has no
# network, and is bounded in time, memory, processes and output); where no
# sandbox can be made here, nothing is graded. A check is ended after
# GRADE_TIMEOUT seconds (900), its build included. The checks build in
# build/grade/ (GRADE_BUILD instead), a tree for each exercise, kept for the
# next grading.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ne 2 ] || [[ $1 == -* ]]; then
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0" >&2
    exit 2
fi
[ -d "$1" ] || { echo "grade: no folder of students at $1" >&2; exit 2; }
students=$(realpath -- "$1")
out=$(realpath -m -- "$2")
builds=$(realpath -m -- "${GRADE_BUILD:-$root/build/grade}")
jobs=${GRADE_JOBS:-$(nproc)}
limit=${GRADE_TIMEOUT:-900}
[[ $jobs =~ ^[1-9][0-9]*$ && $limit =~ ^[1-9][0-9]*$ ]] ||
    { echo "grade: GRADE_JOBS and GRADE_TIMEOUT are counts (of checks, of seconds)" >&2; exit 2; }
case $out/ in
    "$students"/*) echo "grade: OUT ($out) lies within the students' folder; the students' copies would see it" >&2; exit 2 ;;
esac

"$root/scripts/setup.sh" exercise
"$root/scripts/setup.sh" grade
# Never a grade given to a copy run unsandboxed.
if ! reason=$("$root/scripts/sandbox.sh" --check 2>&1); then
    echo "grade: no sandbox can be made here, so nothing is graded: $reason" >&2
    exit 2
fi
# What the checks build and read, the sandbox's user must be able to read;
# the grades are for the grader alone (OUT made so when it is new).
umask 022
if [ ! -d "$out" ]; then
    if ! { mkdir -p -- "$(dirname "$out")" && mkdir -m 700 -- "$out"; }; then
        echo "grade: cannot make $out" >&2
        exit 2
    fi
fi
mkdir -p -- "$builds" || { echo "grade: cannot make $builds" >&2; exit 2; }

# Text from a student (a folder's name, a report) made safe for a terminal.
shown() { python3 "$root/scripts/results.py" --escape; }

# The copies: "STUDENT<tab>NAME<tab>FILE", a line each, the students in the
# order of their names, each one's exercises in the registry's order. A copy
# is a file of the student's own, not a link that could lead anywhere.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copies=$work/copies
while IFS= read -r -d '' folder; do
    student=$(basename "$folder")
    case $student in .* | *$'\t'* | *$'\n'*) continue ;; esac
    while read -r name file _; do
        copy=$folder/$name/$file
        if [ -f "$copy" ] && [ ! -L "$copy" ] && [ ! -L "$folder/$name" ] && [ ! -L "$folder" ]; then
            printf '%s\t%s\t%s\n' "$student" "$name" "$file"
        fi
    done < <("$root/scripts/exercise.sh" files)
done < <(find "$students" -mindepth 1 -maxdepth 1 -type d -print0 | sort -z) >"$copies"
total=$(wc -l <"$copies")
[ "$total" -gt 0 ] || { echo "grade: no copy of any exercise in $students (STUDENT/NAME/FILE)" >&2; exit 2; }

# The folders of copies that the checks read, one for each exercise: in the
# machine's temporary folder, where the sandbox's user (another one, when
# this is root) can reach them, as OUT or STUDENTS may lie where it cannot.
# Their place is the same at each grading with the same builds, so that no
# check configures its tree again; a folder there that is not this user's
# own is refused.
staged=${TMPDIR:-/tmp}/grade-copies-$(id -u)-$(printf '%s' "$builds" | md5sum | cut -c 1-12)
mkdir -m 755 -- "$staged" 2>/dev/null || true
if [ -L "$staged" ] || [ ! -d "$staged" ] || [ ! -O "$staged" ]; then
    echo "grade: $staged is not a folder of your own; remove it, or set TMPDIR to another folder" >&2
    exit 2
fi
chmod 755 "$staged"

# check STUDENT NAME FILE SLOT: checks the copy in the exercise's own build
# trees, which each check of it keeps configured, from a copy of it in the
# exercise's folder of copies, which is all of the student's that the
# sandbox lets it read; one check of an exercise at a time, the others
# waiting for it. Its report, results and time go to OUT/STUDENT/.checks/NAME.
check() {
    local student=$1 name=$2 file=$3 copies=$staged/$2 checks=$out/$1/.checks/$2 status=0 start tree
    rm -rf -- "${checks:?}"
    mkdir -p -- "$checks"
    : >"$checks/manifest"
    {
        flock 8
        start=$EPOCHREALTIME
        rm -rf -- "${copies:?}/$name"
        mkdir -p -- "$copies/$name"
        cp -- "$students/$student/$name/$file" "$copies/$name/$file"
        EXERCISES_DIR=$copies EXERCISE_BUILD=$builds/$name EXERCISE_HIDE=$students:$out:$builds:$staged \
            EXERCISE_QUIET=1 \
            timeout -k 10 "$limit" "$root/scripts/exercise.sh" check "$name" --sandbox --results "$checks" \
            >"$checks/output" 2>&1 </dev/null 8>&- &
        # timeout leads a process group of its own, which holds every
        # process of the check: a grading stopped ends each such group
        # (stop, below).
        echo "$!" >"$work/slot$4.group"
        wait "$!" || status=$?
        rm -f "$work/slot$4.group"  # gone, and its number free for another
        # The test runs are kept with the report, which names them there
        # (and the student's copy where it was), since the next check of
        # the exercise takes their place.
        for tree in "$builds/$name"/exercise-*; do
            [ -d "$tree/runs" ] || continue
            cp -r -- "$tree/runs" "$checks/runs-${tree##*/exercise-}"
            replace "$tree/runs/" "$checks/runs-${tree##*/exercise-}/" "$checks/output"
        done
    } 8>>"$builds/$name.lock"
    replace "$copies/$name/$file" "$students/$student/$name/$file" "$checks/output"
    # A check that was ended, or could not be made, is a failure of its own.
    case $status in
        0 | 1) ;;
        124 | 137) unfinished "$checks" "The check ran out of time ($limit s) and was ended." ;;
        *) unfinished "$checks" "The check could not be made (status $status); what it said last:" ;;
    esac
    awk -v from="$start" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.1f\n", to - from }' >"$checks/seconds"
}
# unfinished CHECKS WORDS: the entry of a check that gave no verdict, a
# failure with the words and the end of what it said.
unfinished() {
    local words=$1/unfinished.txt
    { echo "$2"; tail -n 10 "$1/output" | cut -c 1-300; } >"$words"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" all check error 0 1 "$words" >>"$1/manifest"
}
# replace FROM TO FILE: each FROM in the file, a string, made TO.
replace() {
    FROM=$1 TO=$2 perl -i -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/g' "$3"
}

# The checks, $jobs at once, each in a slot (a number, for the process group
# to end when stopped); a line tells how far they have got (written over on
# a terminal).
progress() {
    if [ -t 1 ]; then printf '\r\033[K%s' "$1"; else printf '%s\n' "$1"; fi
}
declare -A running=() slot_of=()
# Stopped (Ctrl-C, a runner's SIGTERM, a closed terminal): every check
# running is ended, with all it started, and nothing more is written.
stop() {
    trap - INT TERM HUP
    local file group groups=()
    for file in "$work"/*.group; do
        [ ! -f "$file" ] || groups+=("$(cat "$file")")
    done
    for group in "${groups[@]}"; do kill -TERM -- "-$group" 2>/dev/null || true; done
    [ ${#running[@]} -eq 0 ] || kill -TERM "${!running[@]}" 2>/dev/null || true
    wait
    # A sandbox that was being made as the signal came may have a process
    # left in the group, waiting for a parent that is gone (bwrap's, between
    # its two halves): killed too.
    for group in "${groups[@]}"; do kill -KILL -- "-$group" 2>/dev/null || true; done
    [ ! -t 1 ] || printf '\r\033[K'
    echo "grade: stopped; $done_count of $total copies were checked, and no table was written" >&2
    exit 130
}
free=()
for ((slot = 1; slot <= jobs; slot++)); do free+=("$slot"); done
done_count=0
trap stop INT TERM HUP
finished() {
    local pid=$1 student name
    IFS=$'\t' read -r student name _ <<<"${running[$pid]}"
    free+=("${slot_of[$pid]}")
    unset "running[$pid]" "slot_of[$pid]"
    done_count=$((done_count + 1))
    local counts
    read -r -a counts < <(python3 "$root/scripts/results.py" --counts "$out/$student/.checks/$name/manifest")
    progress "$(printf 'grade: %d of %d copies checked; %s %s: %s passed, %s failed, %s skipped' "$done_count" "$total" \
        "$student" "$name" "${counts[@]:0:3}" | shown)"
}
while IFS=$'\t' read -r student name file; do
    while [ ${#free[@]} -eq 0 ]; do
        wait -n -p pid || true
        finished "$pid"
    done
    slot=${free[0]}
    free=("${free[@]:1}")
    check "$student" "$name" "$file" "$slot" &
    running[$!]="$student	$name	$file" slot_of[$!]=$slot
done <"$copies"
while [ ${#running[@]} -gt 0 ]; do
    wait -n -p pid || true
    finished "$pid"
done
[ ! -t 1 ] || printf '\r\033[K'

# The table, and each student's report and results, from the checks'.
csv() {
    local field fields=()
    for field in "$@"; do
        [[ $field != *[,\"$'\n']* ]] || field=\"${field//\"/\"\"}\"
        fields+=("$field")
    done
    (IFS=,; echo "${fields[*]}")
}
csv student exercise passed failed skipped score seconds >"$out/grades.csv"
cut -f 1 "$copies" | uniq | while IFS= read -r student; do
    manifests=() report=$out/$student/report.txt
    : >"$report"
    while IFS=$'\t' read -r _ name _; do
        checks=$out/$student/.checks/$name
        manifests+=("$checks/manifest")
        read -r passed failed skipped score < <(python3 "$root/scripts/results.py" --counts "$checks/manifest")
        csv "$student" "$name" "$passed" "$failed" "$skipped" "$score" "$(cat "$checks/seconds")" >>"$out/grades.csv"
        { shown <"$checks/output"; [ ! -f "$checks/unfinished.txt" ] || shown <"$checks/unfinished.txt"; echo; } >>"$report"
    done < <(awk -F '\t' -v student="$student" '$1 == student' "$copies")
    cat "${manifests[@]}" >"$out/$student/.checks/manifest"
    python3 "$root/scripts/results.py" --junit "$out/$student/junit.xml" --gradescope "$out/$student/results.json" \
        "$out/$student/.checks/manifest"
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["output"])' "$out/$student/results.json" >>"$report"
done
echo "grade: $total copies checked: $out/grades.csv, and a report for each student in $out/STUDENT/"
