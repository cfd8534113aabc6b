#!/usr/bin/env bash
# Checks the README's two commands (its first lines) on fresh Debian systems:
# a minimal root filesystem made by mmdebstrap, with sudo and nothing else the
# commands need, a fresh clone of this repository at HEAD in the home of an
# ordinary user with passwordless sudo, each command run as that user on a
# terminal, as a newcomer would type it, pressing Enter now and then. Prints the time and the
# exit status of each command, and the last lines of its output when it
# failed; the exit status is 0 only when every command passed. Takes minutes:
# each fresh system installs its packages anew.
#   bench/fresh_systems.sh [12|13]... [--together] [--trace] [--rebuild] [--keep] [--cache DIR] [--limit S]
#     12, 13      Debian 12 (bookworm), Debian 13 (trixie); both by default
#     --together  the two commands one after the other on one fresh system
#                 (by default each has a fresh system of its own)
#     --trace     also scripts/tour.sh --trace, on a fresh system of its own,
#                 and a check of its views: no "Other calls", and each
#                 heading's text is its file's at that line
#     --rebuild   makes the cached base systems anew (else reused, each run
#                 unpacks a fresh copy of them)
#     --keep      keeps the systems after the run, to look into
#     --cache DIR the base systems, the systems run and the logs
#                 (default /var/tmp/fresh-systems)
#     --limit S   the seconds one command may take before it is ended (1800)
# By default each command runs on a fresh copy of the system, so that each is
# shown to install all it needs by itself, as the README says; --together
# runs them in the README's order on one system instead, so that the tests
# start from what the tour installed and built (its build tree is set up
# without the tests). Needs root: it mounts and uses namespaces. Not run by CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

cache=/var/tmp/fresh-systems
rebuild='' keep='' together='' trace=''
systems=()
user=learner
limit=1800  # seconds for one command: a hang must not keep the check forever

while [ $# -gt 0 ]; do
    case $1 in
        12 | bookworm) systems+=(bookworm) ;;
        13 | trixie) systems+=(trixie) ;;
        --together) together=yes ;;
        --trace) trace=yes ;;
        --rebuild) rebuild=yes ;;
        --keep) keep=yes ;;
        --limit)
            [[ ${2:-} =~ ^[0-9]+$ ]] || { echo "fresh_systems: --limit needs a number of seconds" >&2; exit 2; }
            limit=$2
            shift ;;
        --cache)
            [ $# -ge 2 ] || { echo "fresh_systems: --cache needs a directory" >&2; exit 2; }
            cache=$2
            shift ;;
        -h | --help) sed -n '2,27s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "fresh_systems: unknown argument '$1' (--help lists them)" >&2; exit 2 ;;
    esac
    shift
done
[ ${#systems[@]} -gt 0 ] || systems=(bookworm trixie)
[ "$(id -u)" -eq 0 ] || { echo "fresh_systems: needs root: sudo $0" >&2; exit 1; }

# The commands as the README at HEAD (the one in the clone) gives them: its
# first indented block, each line without its comment.
mapfile -t commands < <(git -C "$root" show HEAD:README.md |
    awk 'NR > 1 && /^    [^ ]/ { sub(/^ +/, ""); sub(/ *#.*/, ""); print; seen = 1; next } seen { exit }')
if [ ${#commands[@]} -ne 2 ]; then
    echo "fresh_systems: expected two commands at the top of README.md, found: ${commands[*]:-none}" >&2
    exit 1
fi
tour=${commands[0]} tests=${commands[1]}
# The runs: each a fresh system, and the commands run one after the other on it.
runs=("$tour" "$tests")
[ -z "$together" ] || runs=("$tour|$tests")
[ -z "$trace" ] || runs+=("scripts/tour.sh --trace")

if ! command -v mmdebstrap >/dev/null; then
    echo "fresh_systems: installing mmdebstrap"
    # Another apt-get may be running on this machine: wait for its lock.
    apt-get -q -o DPkg::Lock::Timeout=600 update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600 \
        install -y --no-install-recommends mmdebstrap >/dev/null
fi

mkdir -p "$cache/logs"
# One run at a time per cache: a second one would unpack over the systems in
# use. A run's processes hold the lock while they live.
exec 9>"$cache/lock"
flock -n 9 || { echo "fresh_systems: another run is using $cache" >&2; exit 1; }

running=  # the pid of the unshare running a command, while it runs
current=  # the system being checked, removed at the end unless kept
cleanup() {
    # Killing unshare kills the namespace's first process (--kill-child), and
    # with it every process of the namespace; its mounts go with the namespace.
    if [ -n "$running" ]; then
        kill -KILL "$running" 2>/dev/null || true
        wait "$running" 2>/dev/null || true
    fi
    if [ -n "$current" ] && [ -z "$keep" ]; then
        rm -rf --one-file-system "$current"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# base SUITE: the cached tarball of a minimal SUITE system with sudo, made if
# missing or asked. Only ever unpacked, never run in, so reusing it is safe.
base() {
    local tarball=$cache/$1.tar
    if [ -n "$rebuild" ] || [ ! -f "$tarball" ]; then
        echo "fresh_systems: making a minimal $1 system with mmdebstrap (half a minute)" >&2
        # Without a mirror named, mmdebstrap uses Debian's, with the updates
        # and security suites, as an installed system has.
        if ! mmdebstrap --quiet --format=tar --variant=minbase --include=sudo "$1" "$tarball.new" >"$cache/logs/$1.mmdebstrap.log" 2>&1; then
            cat "$cache/logs/$1.mmdebstrap.log" >&2
            rm -f "$tarball.new"
            echo "fresh_systems: mmdebstrap failed for $1" >&2
            return 1
        fi
        mv "$tarball.new" "$tarball"
    fi
    printf '%s\n' "$tarball"
}

# fresh SUITE DIR: a fresh copy of the SUITE system in DIR, with the user, its
# sudo right and a fresh clone of this repository at HEAD in its home.
fresh() {
    local tarball
    tarball=$(base "$1")
    rm -rf --one-file-system "$2"
    mkdir -p "$2"
    tar -xpf "$tarball" -C "$2" --numeric-owner
    cp -L /etc/resolv.conf "$2/etc/resolv.conf"  # for apt
    # The names an installed system resolves without a network (sudo wants
    # its own host name).
    printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
        "$(cat "$2/etc/hostname")" >"$2/etc/hosts"
    chroot "$2" useradd --create-home --shell /bin/bash "$user"
    printf '%s ALL=(ALL) NOPASSWD: ALL\n' "$user" >"$2/etc/sudoers.d/$user"
    chmod 440 "$2/etc/sudoers.d/$user"
    # Hard links would share the objects with this repository, and the chown
    # below would then change them here too.
    git clone --quiet --no-hardlinks "$root" "$2/home/$user/clone"
    chroot "$2" chown -R "$user:$user" "/home/$user/clone"
}

# in_namespace DIR USER COMMAND LIMIT: the first process of a new mount and
# pid namespace. Makes DIR the root of a system of its own (its own /proc,
# /dev, /dev/pts and /dev/shm), then runs COMMAND in the clone as USER on a
# terminal, pressing Enter every few seconds, each line of output after the
# seconds since the start. The root is changed by pivot_root, not chroot: in a chroot the kernel
# refuses user namespaces, which the tests use when not root, as they can on
# any Debian machine. Runs by itself, so it uses nothing else of this script.
in_namespace() {
    set -euo pipefail
    local dir=$1 user=$2 command=$3 limit=$4 node start line now status=0
    mount --bind "$dir" "$dir"  # pivot_root wants a mount point
    mount -t proc proc "$dir/proc"
    mount -t sysfs -o ro sysfs "$dir/sys"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$dir/dev/shm"
    # The devices, the machine's own (the unpacked ones might not open here).
    for node in null zero full random urandom tty; do
        mount --bind "/dev/$node" "$dir/dev/$node"
    done
    # A terminal set of its own, so that its pseudo-terminals are the system's.
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$dir/dev/pts"
    mount --bind "$dir/dev/pts/ptmx" "$dir/dev/ptmx"
    # /tmp stays the system's own directory, kept from one command to the
    # next as on a machine that has not restarted.
    cd "$dir"
    pivot_root . mnt
    cd /
    umount -l /mnt
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin
    # runuser -l starts from a clean environment, as a login does; TERM is
    # kept, and a terminal has a size.
    export TERM=xterm-256color
    # The input of someone who types nothing but Enter, every few seconds:
    # the tour waits for it between its stops on a terminal. A pipe that
    # stays open (at the end of /dev/null, script would send the terminal an
    # EOF).
    mkfifo /run/no-input
    exec 3<>/run/no-input
    rm /run/no-input
    (while sleep 3; do printf '\r'; done) >&3 &
    start=${EPOCHREALTIME/./}
    command=$(printf %q "stty rows 24 cols 80; cd ~/clone && $command")
    timeout --kill-after=10 "$limit" runuser -l "$user" -c "script -qec $command /dev/null" <&3 2>&1 |
        while IFS= read -r line || [ -n "$line" ]; do
            now=${EPOCHREALTIME/./}
            printf '%6d s  %s\n' $(((now - start) / 1000000)) "${line%$'\r'}"
        done || status=$?
    return "$status"
}

# run DIR COMMAND LOG: COMMAND run in the system in DIR (in_namespace), its
# output into LOG; returns its exit status.
run() {
    local status=0
    unshare --mount --pid --fork --kill-child -- \
        bash -c "$(declare -f in_namespace); in_namespace \"\$@\"" in_namespace "$1" "$user" "$2" "$limit" \
        >"$3" 2>&1 </dev/null &
    running=$!
    wait "$running" || status=$?
    running=
    return "$status"
}

# check_views LOG DIR: the trace views in LOG have no "Other calls" group,
# and each heading ("FILE.cpp:69  ssize_t written = ...") has the text of
# its file at that line, in the clone in the system in DIR.
check_views() {
    local line file number text found wrong=0 headings=0
    if grep -q 'Other calls' "$1"; then
        echo "   a view has an \"Other calls\" group:"
        grep 'Other calls' "$1" | sed 's/^/   | /'
        wrong=1
    fi
    while IFS=$'\t' read -r file number text; do
        headings=$((headings + 1))
        found=$(find "$2/home/$user/clone" -path '*/build' -prune -o -name "$file" -print | head -n 1)
        line=$(sed -n "${number}s/^ *//p" "$found" 2>/dev/null)
        if [ -z "$found" ] || [ "$line" != "$text" ]; then
            echo "   heading $file:$number has '$text'; the file has '$line'"
            wrong=1
        fi
    done < <(sed -E -n 's/\r$//; s/^ *[0-9]+ s    (main +|thread [0-9]+ +)?([A-Za-z_]+\.(cpp|h)):([0-9]+)  (.*)$/\2\t\4\t\5/p' "$1" |
        sed -E 's/   \[[^]]*\]$//' | sort -u)
    echo "   $headings headings of the views checked against their files"
    [ "$headings" -gt 0 ] && [ "$wrong" -eq 0 ]
}

head=$(git -C "$root" log -1 --format='%h %s')
echo "fresh_systems: a fresh clone at $head"
[ -z "$(git -C "$root" status --porcelain)" ] ||
    echo "fresh_systems: (changes not committed in $root are not in it)"
rows=()
failed=0
for suite in "${systems[@]}"; do
    for n in "${!runs[@]}"; do
        dir=$cache/systems/$suite-$((n + 1))
        current=$dir
        fresh "$suite" "$dir"
        echo "== Debian $(cat "$dir/etc/debian_version") ($suite), a fresh system in $dir"
        IFS='|' read -ra sequence <<<"${runs[n]}"
        for command in "${sequence[@]}"; do
            log=$cache/logs/$suite-$((n + 1))-$(tr -c 'A-Za-z0-9_.\n-' _ <<<"${command#scripts/}").log
            echo "-- $command"
            started=$SECONDS
            status=0
            run "$dir" "$command" "$log" || status=$?
            seconds=$((SECONDS - started))
            # When the install step said it was done: the rest is the command's own time.
            installed=$(sed -n 's/^ *\([0-9]*\) s  setup: installed.*/\1/p' "$log" | head -n 1)
            note=${installed:+, its packages installed after $installed s}
            # The tour: when its first stop began, after the install.
            first=$(sed -n 's/^ *\([0-9]*\) s  === .*/\1/p' "$log" | head -n 1)
            [ -z "$first" ] || note+=", its first stop at $first s"
            case $status in
                0) result=passed ;;
                124 | 137) result="TIMED OUT after $limit s" ;;
                *) result="FAILED with exit status $status" ;;
            esac
            echo "   $result in $seconds s$note (log: $log)"
            if [ "$status" -eq 0 ] && [[ $command == *--trace* ]] && ! check_views "$log" "$dir"; then
                status=1
                result="FAILED the check of its views"
            fi
            if [ "$status" -ne 0 ]; then
                failed=1
                echo "   its last lines:"
                tail -n 40 "$log" | sed 's/^/   | /'
            fi
            rows+=("$(printf '%-9s %-4s %-18s %-34s %5d s %9s' "$suite" "$((n + 1))" "$command" "$result" \
                "$seconds" "${installed:+$installed s}")")
        done
        [ -n "$keep" ] || rm -rf --one-file-system "$dir"
        current=
    done
done

echo
printf '%-9s %-4s %-18s %-34s %7s %9s\n' system run command result time installed
printf '%s\n' "${rows[@]}"
[ -z "$keep" ] || echo "fresh_systems: the systems are kept in $cache/systems"
if [ "$failed" -ne 0 ]; then
    echo "fresh_systems: a command failed (above; the logs in $cache/logs)"
    exit 1
fi
echo "fresh_systems: every command passed"
