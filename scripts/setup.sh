#!/usr/bin/env bash
# Installs what this machine lacks for the tour or for the tests, on Debian or
# Ubuntu, through apt-get (through sudo when not root; never asking anything
# under CI). Where it cannot install, it stops and prints the command to run.
#   scripts/setup.sh tour    a C and C++ compiler, make and CMake
#   scripts/setup.sh trace   those, strace, binutils and Python 3 (the tour's --trace)
#   scripts/setup.sh what-if those, strace and git (the tour's --what-if, whose
#                            patches git applies)
#   scripts/setup.sh exercise a C and C++ compiler, make, CMake, GoogleTest,
#                            strace, git, Python 3 (scripts/exercise.sh) and
#                            inotify-tools (its watch, which sees each save)
#   scripts/setup.sh starter patch (scripts/exercise.sh start and solution,
#                            which make a starter from the program)
#   scripts/setup.sh grade   bubblewrap and Python 3 with Debian's seccomp
#                            module (scripts/sandbox.sh, in which a learner's
#                            program is run when grading)
#   scripts/setup.sh record  Python 3 (the record of a run, --record, and its page)
#   scripts/setup.sh browser Chromium, its driver and Python's Selenium (a page
#                            of a record played in a real browser, bench/)
#   scripts/setup.sh test    all of those but the browser's, clang, the
#                            linters shellcheck and pyflakes3 (scripts/lint.sh),
#                            xmllint (the results files' tests), asciinema and
#                            Python's html5lib (the tests of a run's record)
# Used by scripts/tour.sh, scripts/exercise.sh, scripts/test.sh and .ci/run.
set -euo pipefail

# Each set that builds starts from the tour's.
tour=(g++ make cmake)
case ${1:-} in
    tour) packages=("${tour[@]}") ;;
    trace) packages=("${tour[@]}" strace binutils python3) ;;
    what-if) packages=("${tour[@]}" strace git) ;;
    starter) packages=(patch) ;;
    exercise) packages=("${tour[@]}" libgtest-dev strace git python3 inotify-tools) ;;
    grade) packages=(bubblewrap python3 python3-seccomp) ;;
    record) packages=(python3) ;;
    browser) packages=(python3 chromium chromium-driver python3-selenium) ;;
    test) packages=("${tour[@]}" clang binutils libgtest-dev strace python3 git patch bubblewrap python3-seccomp
                    shellcheck pyflakes3 libxml2-utils inotify-tools asciinema python3-html5lib) ;;
    *) echo "usage: scripts/setup.sh tour|trace|what-if|starter|grade|exercise|record|browser|test" >&2; exit 2 ;;
esac

# present PACKAGE: whether what the package brings is here, by the command
# or file that is used of it (a tool built from source counts too); most
# packages bring a command of their own name.
present() {
    case $1 in
        g++) command -v g++ >/dev/null && command -v gcc >/dev/null ;;
        clang) command -v clang++ >/dev/null ;;
        binutils) command -v readelf >/dev/null && command -v addr2line >/dev/null && command -v objdump >/dev/null ;;
        bubblewrap) command -v bwrap >/dev/null ;;
        libxml2-utils) command -v xmllint >/dev/null ;;
        inotify-tools) command -v inotifywait >/dev/null ;;
        # Modules of Debian's Python, which runs what needs them (the sandbox,
        # the check of a record's page, the browser's driver), whatever
        # python3 is first on the PATH.
        python3-seccomp) /usr/bin/python3 -c 'import seccomp' 2>/dev/null ;;
        python3-html5lib) /usr/bin/python3 -c 'import html5lib' 2>/dev/null ;;
        python3-selenium) /usr/bin/python3 -c 'import selenium' 2>/dev/null ;;
        chromium-driver) command -v chromedriver >/dev/null ;;
        libgtest-dev)
            [ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ] ||
                dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q 'install ok installed' ;;
        *) command -v "$1" >/dev/null ;;
    esac
}

missing=()
for package in "${packages[@]}"; do
    present "$package" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

# The command that installs them, as root runs it, and as a user with sudo
# rights does.
root_line="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
sudo_line="sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}"
cannot() {
    echo "setup: missing ${missing[*]}, and $1." >&2
    echo "setup: install them with:  $sudo_line" >&2
    exit 1
}
# For one who cannot become root here: plainly so, and the line to hand on.
needs_root() {
    echo "setup: missing ${missing[*]}; installing them needs root, and $1." >&2
    echo "setup: someone with root must install them, with:  $root_line" >&2
    exit 1
}
command -v apt-get >/dev/null || cannot "this machine has no apt-get"
# Whether the user is in a group that Debian, Ubuntu and others let use sudo
# by default. sudo itself cannot be asked without a password: it answers "a
# password is required" to everyone, allowed or not.
sudo_group() { [[ " $(id -nG 2>/dev/null) " =~ \ (sudo|admin|wheel)\  ]]; }
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || needs_root "this machine has no sudo to become root with"
    if sudo -n true 2>/dev/null; then
        as_root=(sudo -n)
    elif ! sudo_group; then
        needs_root "you ($(id -un)) are in no group that may use sudo"
    elif [ -n "${CI:-}" ] || [ ! -t 0 ]; then
        # A password can be asked only of someone at a terminal.
        cannot "sudo needs your password, which cannot be asked here (run it at a terminal)"
    else
        echo "setup: installing ${missing[*]} needs root: sudo asks for your password"
        sudo -v || needs_root "sudo did not let you become root"
        as_root=(sudo)
    fi
fi

# apt-get's own output goes to a log, shown only when it fails; what shows
# meanwhile is one line for each tenth of the way, from the progress it
# reports on its status descriptor (sudo passes on no descriptor but the
# first three, so apt-get runs inside a shell that opens it).
log=$(mktemp)
trap 'rm -f "$log"' EXIT
apt() {
    # shellcheck disable=SC2016 # the inner shell expands them
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive LOG="$log" sh -c \
        'exec apt-get -q -o APT::Status-Fd=3 "$@" 3>&1 >>"$LOG" 2>&1' apt-get "$@" |
        progress "$([ "$1" = update ] && echo yes)"
}
# progress LISTS: the lines "KIND:ITEM:PERCENT:WHAT" that apt-get writes on
# its status descriptor, as one line for each tenth, each shown the moment it
# comes. Read by the shell line by line, as awk would not: mawk, Debian's awk,
# reads a pipe in blocks, and so would hold every line back to the end.
progress() {
    local line kind rest percent what last_what="" step last_step=-1
    while IFS= read -r line; do
        kind=${line%%:*}
        [ "$kind" = dlstatus ] || [ "$kind" = pmstatus ] || continue
        # ITEM may hold a colon (libc6:amd64): PERCENT is the first field
        # after it that is a number.
        rest=${line#*:}
        rest=${rest#*:}
        while [[ ! ${rest%%:*} =~ ^[0-9]*\.?[0-9]+$ && $rest == *:* ]]; do
            rest=${rest#*:}
        done
        percent=${rest%%:*}
        [[ $percent =~ ^[0-9]*\.?[0-9]+$ && $rest == *:* ]] || continue
        percent=${percent%%.*}
        step=$((10#${percent:-0} / 10 * 10))
        if [ -n "$1" ]; then
            what="reading the package lists"
        elif [ "$kind" = dlstatus ]; then
            what=downloading
        else
            what=installing
        fi
        if [ "$what" != "$last_what" ] || [ "$step" -gt "$last_step" ]; then
            printf 'setup: %s: %3d%%  %s\n' "$what" "$step" "${rest#*:}"
            last_what=$what
            last_step=$step
        fi
    done
}
failed() {
    cat "$log" >&2
    echo "setup: apt-get $1 failed (its output above); the command to run by hand:" \
        " $([ ${#as_root[@]} -eq 0 ] && echo "$root_line" || echo "$sudo_line")" >&2
    exit 1
}

echo "setup: installing ${missing[*]} with apt-get${as_root:+ through sudo}"
apt update || failed update
# The size of the download, from the files apt-get would fetch.
size=$(apt-get -qq --print-uris install --no-install-recommends "${missing[@]}" 2>/dev/null |
    awk '{ n++; bytes += $3 } END { if (n) printf "%d package%s, %.1f MB", n, n == 1 ? "" : "s", bytes / 1e6 }')
echo "setup: fetching and installing ${size:-the packages} (a minute or two)"
apt install -y --no-install-recommends "${missing[@]}" || failed install
# What apt-get said it installed may still not be usable here (a command
# outside this PATH, a package that brings something else): looked at again.
hash -r
still=()
for package in "${missing[@]}"; do
    present "$package" || still+=("$package")
done
if [ ${#still[@]} -gt 0 ]; then
    echo "setup: apt-get ended well, yet ${still[*]} still cannot be found here (PATH=$PATH)." >&2
    echo "setup: check with:  apt-cache policy ${still[*]}" >&2
    exit 1
fi
echo "setup: installed ${missing[*]}"
