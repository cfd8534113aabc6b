#!/usr/bin/env bash
# Installs what this machine lacks for the tour or for the tests, on Debian or
# Ubuntu, through apt-get (through sudo when not root; never asking anything
# under CI). Where it cannot install, it stops and prints the command to run.
#   scripts/setup.sh tour    a C and C++ compiler, make and CMake
#   scripts/setup.sh trace   those and strace (the tour's --trace)
#   scripts/setup.sh test    those, clang, binutils and GoogleTest
# Used by scripts/tour.sh, scripts/test.sh and .ci/run.
set -euo pipefail

case ${1:-} in
    tour) packages=(g++ make cmake) ;;
    trace) packages=(g++ make cmake strace) ;;
    test) packages=(g++ make cmake clang binutils libgtest-dev strace) ;;
    *) echo "usage: scripts/setup.sh tour|trace|test" >&2; exit 2 ;;
esac

# present PACKAGE: whether what the package brings is here, by the command
# or file that is used of it (a tool built from source counts too).
present() {
    case $1 in
        g++) command -v g++ >/dev/null && command -v gcc >/dev/null ;;
        make) command -v make >/dev/null ;;
        cmake) command -v cmake >/dev/null ;;
        clang) command -v clang++ >/dev/null ;;
        binutils) command -v readelf >/dev/null ;;
        strace) command -v strace >/dev/null ;;
        libgtest-dev)
            [ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ] ||
                dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q 'install ok installed' ;;
    esac
}

missing=()
for package in "${packages[@]}"; do
    present "$package" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

install_line="sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}"
cannot() {
    echo "setup: missing ${missing[*]}, and $1." >&2
    echo "setup: install them with:  $install_line" >&2
    exit 1
}
command -v apt-get >/dev/null || cannot "this machine has no apt-get"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || cannot "installing needs root or sudo"
    # A password can be asked only of someone at a terminal.
    if [ -n "${CI:-}" ] || [ ! -t 0 ]; then
        sudo -n true 2>/dev/null || cannot "sudo needs a password, which cannot be asked here"
        as_root=(sudo -n)
    else
        as_root=(sudo)
    fi
fi

echo "setup: installing ${missing[*]} with apt-get${as_root:+ through sudo} (a minute or two)"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for step in update "install -y --no-install-recommends ${missing[*]}"; do
    # shellcheck disable=SC2086  # the step is words on purpose
    if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q $step >"$log" 2>&1; then
        cat "$log" >&2
        echo "setup: apt-get $step failed; the command to run by hand:  $install_line" >&2
        exit 1
    fi
done
echo "setup: installed ${missing[*]}"
