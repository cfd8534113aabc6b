#!/usr/bin/env bash
# Runs a command that is not to be trusted (a learner's program, or the tests
# that drive it) in a sandbox made with bubblewrap (bwrap):
#   scripts/sandbox.sh [--read DIR]... [--write DIR]... [--hide DIR]... [--memory]
#                      [--keep NAME FILE] -- COMMAND [ARG...]
#   scripts/sandbox.sh --check    whether a sandbox can be made here, and if not why
#
# What COMMAND sees: read-only, the system (/usr, /bin, /lib*, /etc), this
# project and each --read DIR; read-write, each --write DIR and a /tmp of its
# own (a small tmpfs; HOME=/tmp/home, TMPDIR=/tmp); and nothing else. A
# --hide DIR, which may lie inside one of those, shows as an empty folder.
# It has no network (namespaces of its own: network, processes, IPC, host
# name, users, cgroups) and a seccomp filter ends it (SIGSYS) if it opens any
# socket but a Unix one. Its environment is cleared but for PATH, TERM, TZ,
# CI, the locale and the sanitizers' and GoogleTest's settings; give it others
# with env(1): sandbox.sh -- env NAME=VALUE COMMAND. It is told it runs in
# a sandbox (SANDBOXED=1): the tests' harness then keeps the programs it
# runs from tracing it or reading its memory.
#
# --keep NAME FILE: COMMAND may write /keep/NAME (a folder of its own, on a
# tmpfs bounded as its /tmp is, and apart from /tmp, which a test may mount
# anew for itself); once COMMAND has ended and every process it left has been
# killed, that file is copied out into FILE, up to the bound on a file's
# size. What a test wrote of its results leaves so: as a folder it may write
# would give, without a folder it could fill, and without a process of it
# that could change the file after COMMAND ended.
#
# Its bounds, each overridable by the variable named:
#   SANDBOX_WALL=120        seconds of wall time, then everything is killed
#   SANDBOX_CPU=60          seconds of CPU time, for each process
#   SANDBOX_PROCESSES=128   processes (and threads) at once, in all
#   SANDBOX_FILE_MIB=64     MiB that a process may write to one file, its
#                           standard output included when that is a file
#   SANDBOX_MEMORY_MIB=2048 MiB of address space for each process, with
#                           --memory only: ThreadSanitizer reserves terabytes
#                           of address space and cannot run under this bound
#   SANDBOX_TMP_MIB=256     MiB in its /tmp (and in /dev/shm)
#   SANDBOX_USER=nobody     the user it runs as when started as root (root is
#                           not bound by the process count): that user must be
#                           able to read the project and each --read DIR, and
#                           to write each --write DIR, or the sandbox refuses
# and no core dumps. When COMMAND ends, or the wall time runs out, every
# process it started ends with it, even one in a session of its own.
#
# Exit status: COMMAND's own; 128+N when signal N ended it (as the shell
# says). When the sandbox stopped it, a line on standard error that starts
# "sandbox: stopped:" says why, and the status is
#   124  the wall time ran out
#   152  its CPU time ran out (SIGXCPU, or SIGKILL a second later)
#   153  it wrote past the bound of a file (SIGXFSZ)
#   159  it opened a network socket (SIGSYS)
# 125: no sandbox could be made (the reason on standard error) or the
# command line was wrong; 126 and 127: COMMAND could not be run, or was not
# found. Needs bubblewrap, python3-seccomp and util-linux's setpriv
# (scripts/setup.sh grade).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
python=/usr/bin/python3  # Debian's, which has the seccomp module

usage() {
    echo "usage: scripts/sandbox.sh [--read DIR]... [--write DIR]... [--hide DIR]... [--memory] [--keep NAME FILE] -- COMMAND [ARG...]" >&2
    echo "       scripts/sandbox.sh --check" >&2
    exit 125
}
refuse() {
    echo "sandbox: cannot make the sandbox: $*" >&2
    exit 125
}

wall=${SANDBOX_WALL:-120}
cpu=${SANDBOX_CPU:-60}
processes=${SANDBOX_PROCESSES:-128}
file_mib=${SANDBOX_FILE_MIB:-64}
memory_mib=${SANDBOX_MEMORY_MIB:-2048}
tmp_mib=${SANDBOX_TMP_MIB:-256}
user=${SANDBOX_USER:-nobody}
for bound in wall cpu processes file_mib memory_mib tmp_mib; do
    [[ ${!bound} =~ ^[1-9][0-9]{0,8}$ ]] || refuse "SANDBOX_${bound^^} must be a whole number above 0, not '${!bound}'"
done

check=
reads=() writes=() hides=()
memory=0 keep=-
while [ $# -gt 0 ]; do
    case $1 in
        --check) check=yes; shift ;;
        --memory) memory=$((memory_mib << 20)); shift ;;
        --keep)
            if [ $# -lt 3 ] || [[ $2 == */* || $2 == . || $2 == .. || -z $2 ]]; then usage; fi
            keep=/keep/$2
            # Opened here, by the caller's user: the sandbox's may not.
            exec 5>"$3" || refuse "cannot write $3"
            shift 3 ;;
        --read | --write | --hide)
            [ $# -ge 2 ] || usage
            # Bound where it really is: a link in the path would otherwise
            # be followed inside, where it may lead elsewhere.
            dir=$(realpath -e -- "$2" 2>/dev/null) || dir=
            if [ "$1" = --hide ]; then
                [ -z "$dir" ] || hides+=("$dir")  # what is not there is not seen
            else
                [ -d "$dir" ] || refuse "$2 is not a folder"
                if [ "$1" = --read ]; then reads+=("$dir"); else writes+=("$dir"); fi
            fi
            shift 2 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done
[ -n "$check" ] || [ $# -gt 0 ] || usage

# Root is not bound by RLIMIT_NPROC: as root, the sandbox is made by an
# ordinary user instead.
drop=()
if [ "$(id -u)" -eq 0 ]; then
    command -v setpriv >/dev/null || refuse "setpriv (util-linux) is not installed, and root must become $user"
    uid=$(id -u "$user" 2>/dev/null) || refuse "there is no user $user to run it as (SANDBOX_USER)"
    [ "$uid" -ne 0 ] || refuse "SANDBOX_USER may not be root"
    drop=(setpriv --reuid="$uid" --regid="$(id -g "$user")" --clear-groups)
fi
as_user() { "${drop[@]}" "$@"; }
who=${drop:+$user, the user it runs as when started as root}
who=${who:-you}

# Each folder that must be reached, and written, by the user it runs as.
for dir in "$root" "${reads[@]}"; do
    as_user test -r "$dir" -a -x "$dir" ||
        refuse "$dir cannot be read by $who$([ "$dir" = "$root" ] && echo " (it is the project)")"
done
for dir in "${writes[@]}"; do
    as_user test -w "$dir" -a -x "$dir" ||
        refuse "$dir cannot be written by $who$([ ${#drop[@]} -gt 0 ] && echo ": chown $user $dir would let it")"
done

command -v bwrap >/dev/null || refuse "bwrap is not installed (scripts/setup.sh grade installs it)"
"$python" -c 'import seccomp' 2>/dev/null ||
    refuse "Python's seccomp module is not installed (scripts/setup.sh grade installs python3-seccomp)"
sysctl_is() { [ "$(cat "/proc/sys/${1//.//}" 2>/dev/null)" = "$2" ]; }
for setting in kernel.unprivileged_userns_clone user.max_user_namespaces; do
    ! sysctl_is "$setting" 0 || refuse "user namespaces are not allowed here ($setting = 0)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -I "$root/scripts/sandbox.py" filter "$work/filter.bpf" || refuse "the seccomp filter could not be built"

# The system, read-only: each top-level folder of programs and libraries as
# it is here, a link (merged /usr) or a folder.
args=(--unshare-all --die-with-parent --new-session --as-pid-1 --clearenv
      --ro-bind /usr /usr --ro-bind /etc /etc)
for top in /bin /sbin /lib /lib32 /lib64 /libx32; do
    if [ -L "$top" ]; then
        args+=(--symlink "$(readlink "$top")" "$top")
    elif [ -d "$top" ]; then
        args+=(--ro-bind "$top" "$top")
    fi
done
args+=(--proc /proc --dev /dev
       --size $((tmp_mib << 20)) --tmpfs /dev/shm
       --size $((tmp_mib << 20)) --tmpfs /tmp --dir /tmp/home
       --ro-bind "$root" "$root")
[ "$keep" = - ] || args+=(--size $((tmp_mib << 20)) --tmpfs /keep)
# The folders given, each mounted before those within it (the shorter path
# first; a hidden folder before one given at the same place, which shows
# it): a hidden folder is an empty one but for the folders given within it,
# and is made read-only once they are bound there.
while IFS=' ' read -r -d '' _ kind dir; do
    case $kind in
        1hide) args+=(--size 65536 --tmpfs "$dir") ;;
        2read) args+=(--ro-bind "$dir" "$dir") ;;
        2write) args+=(--bind "$dir" "$dir") ;;
    esac
done < <({
    for dir in "${hides[@]}"; do printf '%s 1hide %s\0' "${#dir}" "$dir"; done
    for dir in "${reads[@]}"; do printf '%s 2read %s\0' "${#dir}" "$dir"; done
    for dir in "${writes[@]}"; do printf '%s 2write %s\0' "${#dir}" "$dir"; done
} | sort -z -n -k 1,1 -k 2,2)
for dir in "${hides[@]}"; do args+=(--remount-ro "$dir"); done

args+=(--setenv HOME /tmp/home --setenv TMPDIR /tmp --setenv SANDBOXED 1)
while IFS= read -r name; do
    args+=(--setenv "$name" "${!name}")
done < <(compgen -e | grep -E '^(PATH|TERM|TZ|CI|LANG|LANGUAGE|LC_[A-Z]+|[A-Z]+SAN_OPTIONS|GTEST_[A-Z_]+)$')

# run COMMAND...: COMMAND in the sandbox, under the wall time; the sandbox's
# first process writes how COMMAND ended into $work/status. At the wall time
# timeout ends bwrap (SIGTERM, then SIGKILL a second later if need be), and
# the sandbox's first process with it (--die-with-parent): the kernel then
# kills every other process of its pid namespace. Everything here dies with
# this script too: timeout by its parent-death signal, and bwrap with it.
#
# All of it runs in a process group of its own (setsid), which is killed
# whole once it has ended, or when this script is stopped: bwrap is made of
# two processes, and the one that becomes the sandbox's first process waits
# for the other before it is bound to it; where the other ended first (the
# wall time ran out on a machine starved by a fork bomb, say), it would wait
# for ever.
group=''
run() {
    setpriv --pdeathsig KILL setsid timeout --foreground --kill-after=1 "$wall" \
        "${drop[@]}" bwrap "${args[@]}" --seccomp 4 -- \
        "$python" -I "$root/scripts/sandbox.py" run "$cpu" "$processes" $((file_mib << 20)) "$memory" "$keep" -- "$@" \
        3>"$work/status" 4<"$work/filter.bpf" <&0 &
    group=$!
    local status=0
    wait "$group" || status=$?
    kill -KILL -- "-$group" 2>/dev/null || true
    return "$status"
}
# shellcheck disable=SC2317  # run by the trap
stopped() {
    exec 2>/dev/null  # nothing more to say: not even the shell's "Killed"
    [ -z "$group" ] || kill -KILL -- "-$group" || true
    exit 130
}
trap stopped INT TERM HUP

if [ -n "$check" ]; then
    if ! output=$(run true 2>&1) || [ "$(cat "$work/status")" != "exit 0" ]; then
        reason=${output:-no word from bwrap}
        sysctl_is kernel.apparmor_restrict_unprivileged_userns 1 &&
            reason+=" (AppArmor allows user namespaces only to the programs it names: kernel.apparmor_restrict_unprivileged_userns = 1)"
        refuse "${reason//$'\n'/ }"
    fi
    echo "sandbox: a sandbox can be made here"
    exit 0
fi

status=0
run "$@" || status=$?
read -r how number cpu_used <"$work/status" || how=
case $how in
    exit) exit "$number" ;;
    signal)
        case $number in
            "$(kill -l SYS)") echo "sandbox: stopped: it opened a network socket" >&2 ;;
            "$(kill -l XFSZ)") echo "sandbox: stopped: it wrote more than $file_mib MiB to a file" >&2 ;;
            "$(kill -l XCPU)" | "$(kill -l KILL)")
                # SIGKILL is the CPU bound's too, a second past SIGXCPU.
                if [ "$number" = "$(kill -l XCPU)" ] || [ "${cpu_used%.*}" -ge "$cpu" ]; then
                    echo "sandbox: stopped: it used more than $cpu s of CPU time" >&2
                    exit $((128 + $(kill -l XCPU)))
                fi ;;
        esac
        exit $((128 + number)) ;;
esac
if [ "$status" -eq 124 ]; then
    echo "sandbox: stopped: it ran for more than $wall s, its wall time" >&2
    exit 124
fi
refuse "bwrap ended with status $status before the command ended (its message above, if any)"
