#!/usr/bin/env python3
"""A test's exchange with a program, run once more, under strace.

  replay.py EXCHANGE PROGRAM TRACE

EXCHANGE is a folder where the test harness recorded the exchange of a
failed test (HARNESS_EXCHANGE): exchange.json, and the files of the
program's directory as it started. PROGRAM, run in place of the program the
test ran, gets the same arguments, environment, blocked signals, pipes or
terminal and files, in a fresh directory, under scripts/traced.sh TRACE;
then each step of the test in turn, at the time the test took it: the bytes
sent or the keys typed, the signals, the waits for text or for the
handlers, the close of input and the wait for the end.

The program is treated as hostile: each wait is bounded, the whole run too,
its output is read and dropped past a bound, the files it and strace write
are bounded, and at the end whatever is left of it, its whole process group,
is killed. It prints a line for each wait
that did not get what it waited for, and the program's ending.
"""

import json
import os
import pty
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LONGEST_WAIT = 15    # seconds, whatever the test allowed
WHOLE_RUN = 90       # seconds for every step together
OUTPUT_KEPT = 1 << 20  # bytes of output looked at for the waits; the rest is read and dropped
TRACE_BOUND = 64 << 20


class Run:
    def __init__(self, exchange, program, trace, directory):
        self.start_time = time.monotonic()
        self.terminal = exchange["terminal"]
        self.output = b""
        self.ended = None
        self.found = 0  # where the text the last wait found ends
        blocked = set(exchange["blocked"])
        recorded = exchange["directory"]
        env = dict(os.environ)
        for entry in exchange["env"]:
            name, _, value = entry.replace(recorded, directory).partition("=")
            env[name] = value
        args = [a.replace(recorded, directory) for a in exchange["args"]]
        command = [os.path.join(ROOT, "scripts", "traced.sh"), trace, program] + args

        def prepare():
            # The program starts with the signals the test had blocked, and
            # no others, as the harness starts it; no file it or strace
            # writes grows past TRACE_BOUND bytes (a copy that prints
            # without end makes a trace as long).
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            resource.setrlimit(resource.RLIMIT_FSIZE, (TRACE_BOUND, TRACE_BOUND))

        if self.terminal:
            self.pid, self.master = pty.fork()
            if self.pid == 0:
                try:
                    os.chdir(directory)
                    for name in list(os.environ):
                        if name not in env:
                            del os.environ[name]
                    os.environ.update(env)
                    prepare()
                    os.execv(command[0], command)
                finally:
                    os._exit(127)
            self.streams = [self.master]
            self.input = self.master
        else:
            self.process = subprocess.Popen(command, cwd=directory, env=env, stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                            start_new_session=True, preexec_fn=prepare)
            self.pid = self.process.pid
            self.streams = [self.process.stdout.fileno(), self.process.stderr.fileno()]
            self.input = self.process.stdin.fileno()
        self.traced = None  # the program's pid, strace's child

    def left(self):
        return WHOLE_RUN - (time.monotonic() - self.start_time)

    def read(self, seconds):
        """Reads what comes in the next seconds (at most), keeping the first
        OUTPUT_KEPT bytes; False once every stream has ended."""
        if not self.streams:
            time.sleep(max(0, min(seconds, self.left())))
            return False
        ready, _, _ = select.select(self.streams, [], [], max(0, min(seconds, self.left())))
        for fd in ready:
            try:
                data = os.read(fd, 65536)
            except OSError:  # a terminal whose every process has ended
                data = b""
            if not data:
                self.streams.remove(fd)
            elif len(self.output) < OUTPUT_KEPT:
                self.output += data.replace(b"\r", b"")
        return bool(self.streams)

    def program_pid(self):
        """The traced program: strace's child, once it has started it."""
        if self.traced is None:
            try:
                with open(f"/proc/{self.pid}/task/{self.pid}/children") as f:
                    children = f.read().split()
                self.traced = int(children[0]) if children else None
            except OSError:
                pass
        return self.traced

    def has_ended(self):
        if self.ended is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.ended = status
        return self.ended is not None

    def until(self, deadline, done):
        """Reads until done() holds or the clock passes deadline."""
        while not done():
            left = min(deadline - time.monotonic(), self.left())
            if left <= 0:
                return False
            if not self.read(min(left, 0.05)) and self.has_ended() and not done():
                return done()
        return True

    def caught(self, signals):
        pid = self.program_pid()
        if pid is None:
            return False
        try:
            with open(f"/proc/{pid}/status") as f:
                mask = int(re.search(r"^SigCgt:\s*([0-9a-f]+)", f.read(), re.M).group(1), 16)
        except (OSError, AttributeError):
            return False
        return all(mask & (1 << (s - 1)) for s in signals)

    def send(self, data):
        """Writes data to the program's input as it takes it, reading its
        output meanwhile: a program that reads nothing holds the rest back
        for LONGEST_WAIT seconds at most."""
        os.set_blocking(self.input, False)
        deadline = time.monotonic() + LONGEST_WAIT
        while data and time.monotonic() < deadline and self.left() > 0:
            _, ready, _ = select.select([], [self.input], [], 0.05)
            if ready:
                try:
                    data = data[os.write(self.input, data):]
                except BlockingIOError:
                    pass
                except OSError:
                    return  # its input is closed: what it did shows in the trace
            self.read(0)
        if data:
            print(f"(the program took not all the test sent: {len(data)} bytes left)")

    def step(self, step):
        kind, value = step["step"], step["value"]
        bound = min(step["seconds"], LONGEST_WAIT)
        if kind in ("send", "type", "signal", "close"):
            # An action waits for its time in the test's run: the pauses
            # between a test's signals are part of what it did.
            self.until(self.start_time + step["at"], lambda: False)
        if kind in ("send", "type"):
            self.send(value.encode("latin-1"))
        elif kind == "signal":
            pid = self.program_pid()
            try:
                os.kill(pid, int(value))
            except (ProcessLookupError, TypeError):  # ended already, or never started
                print(f"(the test sent {signal.Signals(int(value)).name}: the program had ended)")
        elif kind == "close":
            if not self.terminal:
                self.process.stdin.close()
        elif kind == "caught":
            self.until(time.monotonic() + LONGEST_WAIT, lambda: self.caught(value))
        elif kind == "sleep":
            self.until(time.monotonic() + bound, lambda: False)
        elif kind == "expect":
            text = value.encode("latin-1")

            def came():
                at = self.output.find(text, self.found)
                if at >= 0:
                    self.found = at + len(text)
                return at >= 0
            if not self.until(time.monotonic() + bound, came):
                print(f"(the test waited {bound:g} s for {json.dumps(value)}: it did not come)")
        elif kind == "end":
            if not self.until(time.monotonic() + bound, self.has_ended):
                print(f"(the test waited {bound:g} s for the program to end: it did not)")

    def end(self):
        """Ends what is left of the program: the program first, so that strace
        writes its end, then the whole group."""
        if not self.has_ended():
            try:
                os.kill(self.program_pid(), signal.SIGKILL)
            except (ProcessLookupError, TypeError):
                pass
            self.until(time.monotonic() + 5, self.has_ended)
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if not self.has_ended():
            os.waitpid(self.pid, 0)
        for fd in self.streams:
            if self.terminal:
                os.close(fd)
        if not self.terminal:
            for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
                if not stream.closed:
                    stream.close()


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    folder, program, trace = argv[1], os.path.abspath(argv[2]), os.path.abspath(argv[3])
    with open(os.path.join(folder, "exchange.json")) as f:
        exchange = json.load(f)
    directory = tempfile.mkdtemp(prefix="replay-")
    try:
        files = os.path.join(folder, exchange["files"])
        if os.path.isdir(files):
            shutil.copytree(files, directory, symlinks=True, dirs_exist_ok=True)
        if not exchange["files_whole"]:
            print("(not every file of the test's directory was kept: one too large, or of a kind not copied)")
        run = Run(exchange, program, trace, directory)
        try:
            for step in exchange["steps"]:
                if run.left() <= 0:
                    print(f"(the exchange was cut short after {WHOLE_RUN} s)")
                    break
                run.step(step)
        finally:
            run.end()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
