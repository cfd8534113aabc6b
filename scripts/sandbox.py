#!/usr/bin/python3
"""The parts of scripts/sandbox.sh that need Python.

  sandbox.py filter FILE
      Writes the seccomp filter (BPF, for bwrap --seccomp) into FILE: socket()
      for any domain but AF_UNIX ends the process (SIGSYS), io_uring_setup
      fails (an io_uring could open sockets that the filter never sees), and
      so does every system call of another ABI (32-bit x86, x32), whose
      numbers the filter does not know.

  sandbox.py run CPU PROCESSES FILE_BYTES MEMORY_BYTES KEEP -- COMMAND [ARG...]
      The sandbox's first process (pid 1 of its pid namespace): starts COMMAND
      with its resource limits (MEMORY_BYTES 0: no bound on the address
      space), reaps every orphan meanwhile, and when COMMAND ends writes how
      it ended on descriptor 3 ("exit N", or "signal N CPU_SECONDS") and
      exits; the kernel then kills whatever is left in the namespace. KEEP,
      unless "-", is a file copied out on descriptor 5 once COMMAND has
      ended and every process left of it is killed, up to FILE_BYTES.
      COMMAND never gets descriptors 3 and 5, and cannot kill or trace this process:
      pid 1 gets no signal from inside its namespace that it has not asked
      for, and it is not dumpable.
"""

import ctypes
import errno
import os
import resource
import signal
import socket
import stat
import sys

STATUS_FD = 3
KEEP_FD = 5


def write_filter(path):
    import seccomp  # Debian's python3-seccomp: needed by this mode alone

    rules = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    rules.set_attr(seccomp.Attr.ACT_BADARCH, seccomp.ERRNO(errno.ENOSYS))
    rules.add_rule(seccomp.KILL_PROCESS, "socket", seccomp.Arg(0, seccomp.NE, socket.AF_UNIX))
    rules.add_rule(seccomp.ERRNO(errno.ENOSYS), "io_uring_setup")
    with open(path, "wb") as out:
        rules.export_bpf(out)


def start(limits, command):
    """In the child: the limits set, the signals as a shell would leave
    them (Python ignores SIGPIPE and SIGXFSZ), and COMMAND run."""
    try:
        for fd in (STATUS_FD, KEEP_FD):
            try:
                os.close(fd)
            except OSError:
                pass  # not given
        for kind, soft, hard in limits:
            resource.setrlimit(kind, (soft, hard))
        for sig in (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT):
            signal.signal(sig, signal.SIG_DFL)
        os.execvp(command[0], command)
    except OSError as error:
        os.write(2, f"sandbox: cannot run {command[0]}: {error.strerror}\n".encode())
        os._exit(127 if error.errno == errno.ENOENT else 126)


def keep(path, most):
    """Every process left is killed (kill(-1) from pid 1 reaches all the
    others of its namespace), then the file is copied out."""
    try:
        os.kill(-1, signal.SIGKILL)
    except ProcessLookupError:
        pass  # none was left
    while True:
        try:
            os.wait()
        except ChildProcessError:
            break
        except InterruptedError:
            continue
    # Only a file of its own: what the test's program may have put there in
    # its place (a FIFO, which would hold the open for ever, a link out)
    # gives nothing.
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return  # none was written: the caller finds the file empty
    try:
        with os.fdopen(fd, "rb") as kept, os.fdopen(KEEP_FD, "wb") as out:
            if stat.S_ISREG(os.fstat(fd).st_mode):
                out.write(kept.read(most))
    except OSError:
        pass  # as good as none: the caller finds the file empty or cut short


def run(cpu, processes, file_bytes, memory_bytes, kept, command):
    # Not dumpable: no process of the sandbox may trace this one (and so
    # forge the status it reports) or read its memory.
    ctypes.CDLL(None, use_errno=True).prctl(4, 0, 0, 0, 0)  # PR_SET_DUMPABLE
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    # The CPU bound: SIGXCPU at the limit, SIGKILL a second later for a
    # program that catches it. The process count is set here, inside the
    # sandbox's user namespace, where the kernel counts only its processes.
    limits = [
        (resource.RLIMIT_CPU, cpu, cpu + 1),
        (resource.RLIMIT_NPROC, processes, processes),
        (resource.RLIMIT_FSIZE, file_bytes, file_bytes),
        (resource.RLIMIT_CORE, 0, 0),
    ]
    if memory_bytes:
        limits.append((resource.RLIMIT_AS, memory_bytes, memory_bytes))
    pid = os.fork()
    if pid == 0:
        start(limits, command)
    while True:
        try:
            ended, status, usage = os.wait4(-1, 0)
        except InterruptedError:
            continue
        if ended == pid:
            break
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        report = f"signal {sig} {usage.ru_utime + usage.ru_stime:.2f}"
        code = 128 + sig
    else:
        code = os.waitstatus_to_exitcode(status)
        report = f"exit {code}"
    if kept != "-":
        keep(kept, file_bytes)
    os.write(STATUS_FD, (report + "\n").encode())
    sys.exit(code)


def main(args):
    if len(args) == 2 and args[0] == "filter":
        write_filter(args[1])
    elif len(args) >= 8 and args[0] == "run" and args[6] == "--":
        run(*(int(value) for value in args[1:5]), args[5], args[7:])
    else:
        sys.exit("usage: sandbox.py filter FILE | run CPU PROCESSES FILE_BYTES MEMORY_BYTES KEEP -- COMMAND...")


if __name__ == "__main__":
    main(sys.argv[1:])
