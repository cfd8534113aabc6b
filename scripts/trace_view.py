#!/usr/bin/env python3
"""What one of the tour's programs asked of the kernel, under the lines of its
source that asked.

  trace_view.py PROGRAM TRACE       the view of PROGRAM's run, from the files
                                    scripts/traced.sh TRACE PROGRAM wrote
                                    (TRACE.PID, one for each thread), or from
                                    the one file TRACE that --save wrote
  trace_view.py --beside PROGRAM MINE REAL
                                    the views of two runs of PROGRAM, a
                                    learner's copy (from the files MINE.PID)
                                    and the real program (REAL.PID), one
                                    after the other, the first call where
                                    they part marked in each and said in
                                    words
  trace_view.py --source FILE PROGRAM TRACE
                                    the same, the program's source of FILE's
                                    name read from FILE: a learner's copy,
                                    which a check builds through a link in its
                                    build tree that may since have gone
  trace_view.py --wide FILE PROGRAM TRACE
                                    the same, and the view also written to
                                    FILE with no line cut to the terminal's
                                    width: a page (scripts/record.py) wraps
                                    it to its own
  trace_view.py --save FILE TRACE   those files merged into FILE in the order
                                    the calls were made, each of the program's
                                    frames replaced by its file, line and text:
                                    a record that needs neither the program nor
                                    its sources (a lesson's traces/ holds such)

strace -k writes, under each call, the stack it was made from. The program's
own frames are mapped to file and line by addr2line (-i: a routine inlined
into another still shows as itself). Each group of calls is headed by the
line that made them, as the file has it; where a call went through the C
library, the function the line called comes first ("printf -> write"). Calls
that no line of the program made are named for what made them: the loader
and the C library before main, exit after main returns, the C library's own
work for a thread. Signals are shown where they land: a handler's calls under
its own lines, with the line of the wait it broke into.

The plain-words notes ("# ...") are text files, each note keyed on a line of
the program and the call that line made: the lesson's own in
lessons/PROGRAM/trace.notes (a program with none gets the plain view), the
C library's that any program gets in scripts/trace_view.notes. A note for a
new line is one more entry in its lesson's file.
"""

import os
import re
import shutil
import subprocess
import sys
import textwrap
from collections import OrderedDict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# -- the notes -----------------------------------------------------------------
#
# The notes are plain text: a lesson's own in lessons/NAME/trace.notes, and
# the C library's that any program gets in trace_view.notes beside this
# script (lessons/README.md says how a note is written). A note is tried
# with a call only where the line (a piece of its text) and the system call
# fit; of its variants the first whose condition holds gives the text, with
# what the call gives put in its placeholders. The first note that gives a
# text is taken; a note is shown the first time only.

KIT_NOTES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "trace_view.notes")

# What a note's condition ("when ...:") may ask of the call, by its first words.
CONDITIONS = {
    "the result is": lambda call, word: call.result == word,
    "the result has": lambda call, word: word in call.result,
    "input is a terminal": lambda call, _: bool(call.view.terminal.get(0)),
    "output is a terminal": lambda call, _: bool(call.view.terminal.get(1)),
    "called by": lambda call, names: call.entry in names.split(),
}

# What a note's placeholders stand for.
PLACEHOLDERS = {
    "{duration}": lambda call: seconds(call.duration),
    "{mask}": lambda call: call.args.split("=", 1)[-1].rstrip("}"),
}


class Note:
    """One note: the lines it is for (pieces of their text; None for the
    calls exit makes after main), the system calls, and its variants, each
    (condition or None for every call, text)."""

    def __init__(self):
        self.places, self.calls, self.variants = [], [], []

    def text_for(self, call, where):
        """The note's text for call, made at the program's line whose text is
        where (see note_for), or None when the note is not for it."""
        if call.name not in self.calls:
            return None
        if not any((place is None) == (where is None) and (place is None or place in where)
                   for place in self.places):
            return None
        for condition, text in self.variants:
            if condition is None or CONDITIONS[condition[0]](call, condition[1]):
                for placeholder, value in PLACEHOLDERS.items():
                    if placeholder in text:
                        text = text.replace(placeholder, value(call))
                return text
        return None


class NotesError(Exception):
    pass


def condition_of(text):
    """A condition's (first words, the rest) from its text."""
    for start in CONDITIONS:
        if text == start or text.startswith(start + " "):
            return start, text[len(start):].strip()
    raise NotesError(f"no such condition: {text}")


def read_notes(path):
    """The notes of a notes file, and its settings ("guard: the semaphore"):
    none of either when there is no file."""
    notes, settings = [], {}
    if not os.path.isfile(path):
        return notes, settings
    with open(path) as f:
        paragraphs = [[]]
        for number, line in enumerate(f, 1):
            line = line.rstrip()
            if not line:
                paragraphs.append([])
            elif not line.startswith("#"):
                paragraphs[-1].append((number, line))
    for paragraph in filter(None, paragraphs):
        note = Note()
        for number, line in paragraph:
            try:
                read_note_line(note, settings, line)
            except NotesError as e:
                raise NotesError(f"{path}:{number}: {e}")
        if note.places or note.calls or note.variants:
            if not (note.places and note.calls and note.variants and all(text for _, text in note.variants)):
                raise NotesError(f"{path}:{paragraph[0][0]}: a note needs its line, its calls and a text "
                                 "under each condition")
            notes.append(note)
    return notes, settings


def read_note_line(note, settings, line):
    if line[0].isspace():
        if not note.variants:
            note.variants.append((None, ""))
        condition, text = note.variants[-1]
        note.variants[-1] = (condition, f"{text} {line.strip()}".lstrip())
    elif line.startswith("line:"):
        note.places.append(line[len("line:"):].strip())
    elif line == "after main":
        note.places.append(None)
    elif line.startswith("calls:"):
        note.calls = line[len("calls:"):].split()
    elif line.startswith("when ") and line.endswith(":"):
        note.variants.append((condition_of(line[len("when "):-1].strip()), ""))
    elif line == "otherwise:":
        note.variants.append((None, ""))
    elif line.startswith("guard:"):
        settings["guard"] = line[len("guard:"):].strip()
    else:
        raise NotesError(f"not a line of a note: {line}")


def note_of_the_c_library(call):
    """Notes on what the C library does of its own accord inside a line."""
    fd = call.fd()
    if call.name in ("newfstatat", "fstat") and 0 <= fd <= 2 and call.entry not in ("fstat", "fstatat"):
        which = "input" if fd == 0 else "output" if fd == 1 else "error"
        if call.view.terminal.get(fd):
            return (f"Before its first use of standard {which}, the C library asks what it "
                    "is: a terminal, so it goes a line at a time")
        return (f"Before its first use of standard {which}, the C library asks what it is: "
                "not a terminal, so it goes in blocks")
    if call.name == "ioctl" and 0 <= fd <= 2 and call.entry != "ioctl":
        return "The C library asks whether it is a terminal"
    if call.name in ("getrandom", "brk") and call.entry not in ("getrandom", "brk", "sbrk"):
        return (f"The C library's first malloc, inside {call.entry}: a random key for its "
                "heap checks, then a larger heap")
    return None


# -- reading the trace ---------------------------------------------------------

def seconds(duration):
    return f"{duration:.3f} s" if duration is not None else "a while"


class Call:
    """One record of the trace: a system call, a signal or an end."""

    def __init__(self, pid, time, text, view):
        self.pid, self.time, self.view = pid, time, view
        # innermost first: ("lib", module, symbol), or ("src", routine, file,
        # line, text, the function its line calls there or "-"); ("raw",
        # module, symbol, address) until resolve() maps it
        self.frames = []
        self.duration = None
        m = re.search(r" <(\d+\.\d+)>$", text)
        if m:
            self.duration = float(m.group(1))
            text = text[:m.start()]
        self.text = text
        self.name, self.args, self.result = "", "", ""
        if text.startswith("--- "):
            self.kind = "signal"
            self.name = text.split()[1]
        elif text.startswith("+++ "):
            self.kind = "end"
        else:
            self.kind = "call"
            self.name = text[:text.index("(")]
            at = text.rfind(") = ")
            if at < 0:  # cut short by the end of the process: "exit(0) = ?"
                at = re.search(r"\)\s+= \?$", text)
                self.args = text[len(self.name) + 1:at.start() if at else len(text)]
                self.result = "?"
            else:
                self.args = text[len(self.name) + 1:at]
                self.result = text[at + 4:]
        self.text = re.sub(r"\)\s+= ", ") = ", self.text)  # strace pads the result into a column

    def fd(self):
        m = re.match(r"(\d+),", self.args)
        return int(m.group(1)) if m else -1

    def lines(self):
        """The program's frames at a line of its own source, innermost first."""
        return [f for f in self.frames if is_own_line(f)]

    def in_program(self):
        return bool(self.lines())

    @property
    def entry(self):
        """The C library function the program called, as its manual names it;
        "exit" for exit's own work after main."""
        for i, frame in enumerate(self.frames):
            if frame[0] == "src" and frame[3] > 0:
                if i == 0 or self.frames[i - 1][0] != "lib" or self.name == "rt_sigreturn":
                    return None
                return plain_name(frame[5] if frame[5] != "-" else self.frames[i - 1][2])
        if any(frame[0] == "lib" and plain_name(frame[2]) == "exit" for frame in self.frames):
            return "exit"
        return None


def is_own_line(frame):
    """Whether a frame is at a line of the program's own source (not of a
    system header's inline function, as getchar is)."""
    return frame[0] == "src" and frame[3] > 0 and not frame[2].startswith("/usr/")


def plain_name(symbol):
    """The name a C library function goes by, from the alias the stack shows:
    _IO_printf, __write, ___pthread_mutex_lock, __isoc99_scanf..."""
    name = re.sub(r"\+0x[0-9a-f]+$", "", symbol)
    name = re.sub(r"^_+(GI_+)?", "", name)
    name = re.sub(r"^(IO_|libc_|isoc99_|isoc23_|new_)", "", name)
    return re.sub(r"(_nocancel|64|_\d+_\d+)$", "", name)


FRAME = re.compile(r"^ > (.*?)\((.*)\) \[0x([0-9a-f]+)\]$")
SAVED_FRAME = re.compile(r"^ > @ (\S+):(\d+) (\S+) (\S+) \| (.*)$")
RECORD = re.compile(r"^(?:(\d+) +)?(\d+\.\d+) (.*)$")


def read_trace(paths, view):
    """The trace in the files: each record a Call (a signal or an end too),
    in the order the calls began."""
    trace = []
    for path in paths:
        m = re.search(r"\.(\d+)$", path)
        file_pid = m.group(1) if m else None
        with open(path, errors="replace") as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith(" > "):
                    if not trace:
                        continue
                    saved = SAVED_FRAME.match(line)
                    raw = FRAME.match(line)
                    if saved:
                        file, number, function, callee, text = saved.groups()
                        trace[-1].frames.append(("src", function, file, int(number), text, callee))
                    elif raw:
                        trace[-1].frames.append(("raw", raw.group(1), raw.group(2), int(raw.group(3), 16)))
                    continue
                m = RECORD.match(line)
                if not m:
                    continue
                pid = m.group(1) or file_pid
                trace.append(Call(pid, float(m.group(2)), m.group(3), view))
    trace.sort(key=lambda r: r.time)  # stable: the calls of one file keep their order
    return trace


def resolve(trace):
    """Maps every raw frame: the program's to file, line and text (one frame
    for each routine inlined at the place), a library's to its symbol."""
    wanted = {}
    for r in trace:
        for frame in r.frames:
            if frame[0] == "raw" and not is_library(frame[1]):
                wanted.setdefault(frame[1], set()).add(frame[3])
    places = {}
    for module, addresses in wanted.items():
        places.update(addr2line(module, sorted(addresses), callees(module)))
    for r in trace:
        frames = []
        for frame in r.frames:
            if frame[0] != "raw":
                frames.append(frame)
            elif is_library(frame[1]):
                frames.append(("lib", os.path.basename(frame[1]), frame[2]))
            else:
                symbol = re.sub(r"\+0x[0-9a-f]+$", "", frame[2])
                found = places.get((frame[1], frame[3]))
                frames.extend(found if found else [("src", symbol.split("(")[0], "?", 0, "", "-")])
        r.frames = frames


def is_library(module):
    return re.search(r"\.so(\.[0-9.]+)?$", module) is not None or not module.startswith("/")


# The most of a trace the view reads, in bytes: a stop's programs leave tens
# of kilobytes; a program that calls the kernel without pause (a learner's
# may) leaves most of a megabyte a second, which the view reads in about half
# a second a megabyte: a minute's run, half a minute of reading.
MOST_READ = 16 << 20

SOURCES = {}
# A source's name -> the file it is read from, where it is not the file the
# debug information names (--source).
SOURCE_FOR = {}


def source_line(path, number):
    if path not in SOURCES:
        try:
            with open(path, errors="replace") as f:
                SOURCES[path] = f.read().split("\n")
        except OSError:
            SOURCES[path] = []
    lines = SOURCES[path]
    return lines[number - 1].strip() if 0 < number <= len(lines) else ""


def routine_at(path, number):
    """The routine whose definition holds line number of the file: the
    nearest line above it that starts a definition at the left margin
    ("static bool write_all(int fd, ..."). addr2line names an inlined
    routine by the one it was inlined into; the source is surer."""
    source_line(path, number)
    for text in reversed(SOURCES[path][:number]):
        m = re.match(r"[A-Za-z_][^(;]*?\b([A-Za-z_]\w*)\s*\(", text)
        if m and not text.rstrip().endswith(";"):
            return m.group(1)
    return None


def callees(module):
    """Return address -> the function the call before it calls, by the
    program's own code (objdump): "puts" where the line says printf, say,
    as the compiler chose. The C library's name for it may be another."""
    found = {}
    try:
        out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", module], capture_output=True,
                             text=True, check=True).stdout.split("\n")
    except (OSError, subprocess.CalledProcessError):
        return found
    callee = None
    for line in out:
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)(.*)$", line)
        if not m:
            callee = None
            continue
        if callee is not None:
            found[int(m.group(1), 16)] = callee
        target = re.search(r"<([A-Za-z_][\w.]*?)(@[\w.]+)?(\+0x[0-9a-f]+)?>", m.group(3))
        callee = target.group(1) if m.group(2).startswith("call") and target else None
    return found


def addr2line(module, addresses, callee_of):
    """(module, address) -> the frames of the place, innermost first, each
    with the function its line calls there ("-" for the outer ones of an
    inlined routine). Each address is a return address, the instruction
    after the call: the call is the byte before it."""
    places = {}
    try:
        out = subprocess.run(["addr2line", "-e", module, "-a", "-f", "-i", "-C"] +
                             [hex(a - 1) for a in addresses], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    except (OSError, subprocess.CalledProcessError):
        return places
    current = None
    i = 0
    while i < len(out):
        if re.match(r"^0x[0-9a-f]+$", out[i]):
            current = (module, int(out[i], 16) + 1)
            places[current] = []
            i += 1
            continue
        if current is None or i + 1 >= len(out):
            i += 1
            continue
        function, place = out[i].split("(")[0], re.sub(r" \(discriminator \d+\)$", "", out[i + 1])
        file, _, number = place.rpartition(":")
        number = int(number) if number.isdigit() else 0
        callee = "-" if places[current] else callee_of.get(current[1], "-")
        if number > 0 and file != "??":
            file = SOURCE_FOR.get(os.path.basename(file), file)
            places[current].append(("src", routine_at(file, number) or function, shown_path(file), number,
                                    source_line(file, number), callee))
        else:
            places[current].append(("src", function, "?", 0, "", callee))
        i += 2
    return places


def shown_path(path):
    path = os.path.normpath(path)
    return os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path


def save(trace, path):
    """Writes the trace, merged and mapped, as the view reads it again."""
    with open(path, "w") as f:
        for r in trace:
            f.write(f"{r.pid} {r.time:.6f} {r.text}" + (f" <{r.duration:.6f}>" if r.duration is not None else "") + "\n")
            for frame in r.frames:
                if frame[0] == "src":
                    f.write(f" > @ {frame[2]}:{frame[3]} {frame[1]} {frame[5]} | {frame[4]}\n")
                else:
                    f.write(f" > {frame[1]}({frame[2]}) [0x0]\n")


# -- what is what ------------------------------------------------------------------

class View:
    def __init__(self, program):
        self.program = program
        self.terminal = {}  # descriptor 0, 1, 2 -> whether it is a terminal
        self.thread_name = {}
        self.glossed = set()
        # The lesson's notes, when it has any, before the C library's.
        lesson = os.path.join(ROOT, "lessons", program, "trace.notes") \
            if program and os.path.basename(program) == program else ""
        self.notes, settings = read_notes(lesson)
        self.notes += read_notes(KIT_NOTES)[0]
        # What the threads take turns at, for the last line when none waited.
        self.guard = settings.get("guard", "the lock")


def note_for(call, where):
    """The note on call, made at the program's line whose text is where (""
    where no line of the program's made it; None after main), if there is one."""
    text = note_of_the_c_library(call) if where is not None else None
    for note in call.view.notes if text is None else []:
        text = note.text_for(call, where)
        if text is not None:
            break
    return text


def steady(call):
    """A call as shown: what changes from run to run made steady."""
    text = call.text
    if call.name == "getrandom":
        text = re.sub(r'^getrandom\("[^"]*"', "getrandom(...", text)
    if call.name in ("clone3", "clone"):
        text = re.sub(r"\|CLONE_SYSVSEM.*\} =>.*\) = ", "|..., ...}, ...) = ", text)
    text = re.sub(r"0x[0-9a-f]{5,}", "0x...", text)
    text = re.sub(r", st_rdev=makedev\([^)]*\)", "", text)
    text = re.sub(r", si_pid=\d+, si_uid=\d+", "", text)
    for tid, name in call.view.thread_name.items():
        text = re.sub(rf"(?<![0-9]){tid}(?![0-9])", f"<{name}>", text)
    return text


def data_left_out(text):
    return re.sub(r'"([^"\\]|\\.)*"(\.\.\.)?', "...", text)


def heading_of(call, handler):
    """The heading the call goes under: its line, with the routine it is in
    and, inside a handler, the line of the wait the signal broke into."""
    lines = call.lines()
    function, file, number, text = lines[0][1:5]
    head = f"{os.path.basename(file)}:{number}  {text}"
    notes = []
    if handler is not None:
        notes.append(f"{function}, running inside the {handler[0]} of line {handler[1]}")
    elif function != "main":
        caller = ""
        if len(lines) > 1 and lines[1][1] != function:
            caller = f", from line {lines[1][3]}" if lines[1][2] == file else \
                f", from {os.path.basename(lines[1][2])}:{lines[1][3]}"
        notes.append(f"in {function}{caller}")
    return head + (f"   [{'; '.join(notes)}]" if notes else "")


def build(trace, view):
    """The view's items: (heading, call shown, key for repeats, note, record) in order,
    with the start-up and the threads' housekeeping counted apart."""
    items = Items(trace, view)
    for index in range(len(trace)):
        items.take(index)
    return items.items, items.startup, items.housekeeping, items.threads, items.lock_waits


class Items:
    """The view's items, made one record at a time, and what it takes to
    make them: which thread is which, which calls are counted apart, and
    where each thread's signals broke in."""

    def __init__(self, trace, view):
        self.trace, self.view = trace, view
        self.items = []
        self.startup, self.housekeeping = OrderedDict(), OrderedDict()
        self.started = False  # whether the main thread has made a call of the program's
        self.handler = {}     # pid -> (call, line) of the wait a signal broke into, while its handler runs
        self.last_line = {}   # pid -> the last (call, line) of the program's, for a signal
        self.lock_waits = 0   # the waits in the kernel for a lock or a semaphore
        self.main_pid, self.threads = name_threads(trace, view)

    def take(self, index):
        """The record at index: counted apart, or the next item."""
        r = self.trace[index]
        learn_terminals(r, self.view)
        if self.counted_apart(r):
            return
        if r.kind == "end" and r.pid == self.main_pid and self.items:
            self.items.append((self.items[-1][0], steady(r), steady(r), None, r))
            return
        who = f"{self.view.thread_name.get(r.pid, r.pid):<9} " if self.threads else ""
        inside = self.handler_around(r)
        heading, where = self.heading_and_line(r, who, inside)
        if r.in_program() and inside is None:
            self.last_line[r.pid] = (r.entry or r.name, r.lines()[0][3])
        shown, key = shown_and_key(r, who + heading)
        note = note_for(r, where) if r.kind == "call" else None
        if r.kind == "signal":
            note = self.signal_note(index)
            self.handler[r.pid] = self.last_line.get(r.pid, ("program", 0))
        elif r.kind == "call" and r.name in ("rt_sigreturn", "exit_group"):
            self.handler.pop(r.pid, None)
        self.lock_waits += is_lock_wait(r)
        self.items.append((heading, shown, key, note, r))

    def counted_apart(self, r):
        """Whether the record is counted rather than shown: a call of the
        start-up (the main thread's, before the program's first) or of a
        thread's own work that no line of the program asked for (a signal
        there is left out)."""
        if r.pid == self.main_pid and not self.started and not r.in_program():
            count(self.startup, r.name)
            return True
        self.started = True
        if r.pid != self.main_pid and not r.in_program():
            if r.kind != "signal":
                count(self.housekeeping, r.name or "end")
            return True
        return False

    def handler_around(self, r):
        """The (call, line) of the wait a signal broke into, while the
        record's thread runs its handler; None outside one (rt_sigreturn is
        the handler's return to the wait)."""
        if r.kind == "call" and r.name == "rt_sigreturn":
            return None
        return self.handler.get(r.pid)

    def heading_and_line(self, r, who, inside):
        """The heading the record goes under, and the text of the program's
        line that made it, for its note: "" where no line did, None after
        main."""
        if r.in_program():
            return who + heading_of(r, inside), r.lines()[0][4]
        if r.entry == "exit" or r.kind == "end":
            return who + "After main returned, in exit (the C library)", None
        # No frame of the program's under it (clone3 ends the stack for
        # the new thread): it goes with the line its neighbours came from.
        return next((item[0] for item in reversed(self.items) if item[0].startswith(who)),
                    who + "Other calls"), ""

    def signal_note(self, index):
        """The note on the signal at index: where it arrived (inside the wait
        of its thread's last line, or just after that line's call), and
        whether it ends the program or its handler runs."""
        r = self.trace[index]
        wait = self.last_line.get(r.pid, ("program", 0))
        later = [x for x in self.trace[index + 1:] if x.pid == r.pid]
        before = [x for x in self.trace[:index] if x.pid == r.pid and x.kind == "call"]
        cut = bool(before) and re.match(r"\? ERESTART|-1 EINTR", before[-1].result) is not None
        where = f"inside the {wait[0]} of line {wait[1]}" if cut else f"just after line {wait[1]}'s call"
        if later and later[0].kind == "end":
            return f"{r.name} arrives {where}; with no handler for it, it ends the program"
        return (f"{r.name} arrives {where}: the kernel cuts the wait short and runs the handler, "
                "whose calls come next (a handler that only sets a flag makes none)")


def name_threads(trace, view):
    """The main thread's id and the number of threads the program started,
    each named in view.thread_name: "main", "thread 1", "thread 2"..."""
    main_pid = next((r.pid for r in trace if r.kind == "call" and r.name == "execve"),
                    trace[0].pid)
    threads = 0
    view.thread_name[main_pid] = "main"
    for r in trace:
        if r.name in ("clone3", "clone") and "CLONE_THREAD" in r.args and r.result.isdigit():
            threads += 1
            view.thread_name[r.result] = f"thread {threads}"
    return main_pid, threads


def learn_terminals(call, view):
    """Which of descriptors 0, 1 and 2 are terminals, into view.terminal, as
    the C library finds it out before its first use of each."""
    if call.kind != "call":
        return
    fd = call.fd()
    if 0 <= fd <= 2 and call.name in ("newfstatat", "fstat") and fd not in view.terminal \
            and call.entry not in ("fstat", "fstatat"):
        view.terminal[fd] = "S_IFCHR" in call.args
    if call.name == "ioctl" and re.match(r"[0-2], TCGETS", call.args) and call.result != "0":
        view.terminal[fd] = False


def shown_and_key(call, heading):
    """The call as shown, with the C library function the line called first
    and a long wait's time after it; and the key that tells it from others
    when repeats are folded (its heading and the call, its data left out)."""
    shown = steady(call)
    if call.entry and call.entry != call.name and call.kind == "call":
        shown = f"{call.entry} -> {shown}"
    key = heading + data_left_out(shown)
    if call.duration is not None and call.duration >= 0.05:
        shown += f"   <{seconds(call.duration)}>"
    return shown, key


def is_lock_wait(call):
    """Whether the call is a thread's sleep in the kernel for a lock or a
    semaphore that another holds."""
    return call.kind == "call" and call.name == "futex" and "FUTEX_WAIT" in call.args and \
        call.entry in ("pthread_mutex_lock", "sem_wait")


def count(counts, name):
    counts[name] = counts.get(name, 0) + 1


# -- showing -------------------------------------------------------------------

UNCUT = 1 << 30  # the width of a view written for a page, which wraps it itself
WIDTH = None     # the width the view is made for, where not the terminal's


def width():
    """The terminal's columns, 80 when the output is not a terminal."""
    return WIDTH or shutil.get_terminal_size((80, 24)).columns


def uncut(shown, program):
    """The view's lines, none cut to a width; the notes shown in them are
    shown again in the next view made."""
    global WIDTH
    WIDTH = UNCUT
    try:
        return shown.lines(program)
    finally:
        WIDTH = None
        shown.view.glossed.clear()


def wrapped(indent, text):
    """The text after indent, cut at spaces into lines as wide as the
    terminal, each after the first under the first's indent."""
    return "\n".join(textwrap.wrap(text, width(), initial_indent=indent, subsequent_indent=indent,
                                   break_on_hyphens=False))


def shortened(line):
    """A call's line too wide with the data it shows cut shorter, the longest
    string first, each then marked as cut ("..."...), as strace marks it."""
    while len(line) > width():
        strings = list(re.finditer(r'"((?:[^"\\]|\\.)*)"(\.\.\.)?', line))
        longest = max(strings, key=lambda m: len(m.group(1)), default=None)
        if longest is None or len(longest.group(1)) <= 8:
            break
        # Whole characters and escapes (\322, \n) kept, to the width.
        keep = max(8, len(longest.group(1)) - (len(line) - width()) - (0 if longest.group(2) else 3))
        pieces = re.findall(r'\\[0-7]{1,3}|\\.|.', longest.group(1))
        kept = ""
        for piece in pieces:
            if len(kept) + len(piece) > keep:
                break
            kept += piece
        line = line[:longest.start()] + '"' + kept + '"...' + line[longest.end():]
    return line


def fitted(lines):
    """Each line wider than the terminal cut at spaces, the lines it is cut
    into after the first indented four more than it (a note's under its #);
    a call's data cut shorter first. What stands in brackets, [in ...] or
    <0.4 s>, is kept in one piece."""
    out = []
    for line in "\n".join(lines).split("\n"):
        if line.startswith(("    ", "==> ")) and not line.lstrip().startswith("#"):
            line = shortened(line)
        if len(line) <= width():
            out.append(line)
            continue
        indent = line[:len(line) - len(line.lstrip(" "))]
        rest = indent + ("# " if line.startswith(indent + "# ") else "    ")
        whole = re.sub(r"\[[^]]*\]|<[^>]*>", lambda m: m.group(0).replace(" ", "\0"), line[len(indent):])
        out.extend(piece.replace("\0", " ") for piece in
                   textwrap.wrap(whole, width(), initial_indent=indent, subsequent_indent=rest,
                                 break_on_hyphens=False))
    return "\n".join(out)


def tally(counts):
    return f"{sum(counts.values())} calls: " + ", ".join(
        (f"{n} " if n > 1 else "") + name for name, n in counts.items())


def show(items, view, mark=None):
    """The view's lines; the item at index mark, if given, marked "==>" and
    never folded into a repeat."""
    out = []
    last_heading = [None]

    def put(i):
        heading, shown, _, note = items[i][:4]
        if heading != last_heading[0]:
            out.append("  " + heading)
            last_heading[0] = heading
        if note and note not in view.glossed:
            view.glossed.add(note)
            out.append(wrapped("    # ", note))
        out.append(("==> " if i == mark else "    ") + shown)

    def holds_mark(start, end):
        return mark is not None and start <= mark < end

    key = [item[2] for item in items]
    seen = []  # the keys shown so far, in order
    i = 0
    while i < len(items):
        # A pair made three times or more: the first in full, then a count.
        j = i
        while j + 1 < len(items) and key[j] == key[i] and key[j + 1] == key[i + 1] and key[i] != key[i + 1]:
            j += 2
        if (j - i) // 2 >= 3 and not holds_mark(i, j):
            put(i)
            put(i + 1)
            out.append(f"    ... {(j - i) // 2 - 1} more times these two, one after the other")
            seen.extend(key[i:j])
            last_heading[0] = None
            i = j
            continue
        # Five calls or more just as they were made before (a menu shown
        # again, say): their number, the first heading and the last.
        m = longest_repeat(key, i, seen)
        if m >= 5 and not holds_mark(i, i + m):
            out.append(f"  ... the same {m} calls as before, from {place(items[i][0])} "
                       f"to {place(items[i + m - 1][0])}")
            last_heading[0] = None
            seen.extend(key[i:i + m])
            i += m
            continue
        # A call made three times or more in a row, the same way.
        j = i
        while j < len(items) and key[j] == key[i]:
            j += 1
        put(i)
        if j - i >= 3 and not holds_mark(i + 1, j):
            out.append(f"    {data_left_out(re.sub(r'   <.*>$', '', items[i][1]))}, {j - i - 1} more like this")
        else:
            j = i + 1
        seen.extend(key[i:j])
        i = j
    return out


def place(heading):
    """A heading's file and line, or the whole of it when it has none."""
    m = re.search(r"\S+:\d+", heading)
    return m.group(0) if m else heading.strip()


def longest_repeat(key, i, seen):
    best = 0
    for p in range(len(seen)):
        m = 0
        while i + m < len(key) and p + m < len(seen) and key[i + m] == seen[p + m]:
            m += 1
        best = max(best, m)
    return best


def trace_files(prefix):
    """The files of a trace: PREFIX.PID, one for each thread, or the one
    file PREFIX that --save wrote."""
    directory = os.path.dirname(prefix) or "."
    base = os.path.basename(prefix)
    paths = sorted(os.path.join(directory, name) for name in
                   (os.listdir(directory) if os.path.isdir(directory) else [])
                   if re.fullmatch(re.escape(base) + r"\.\d+", name))
    if not paths and os.path.isfile(prefix):
        paths = [prefix]
    return paths


class Shown:
    """A trace read and made into the view's items, ready to show."""

    def __init__(self, program, prefix):
        paths = trace_files(prefix)
        size = sum(os.path.getsize(path) for path in paths)
        if program is not None and size > MOST_READ:
            raise TooLong(f"What {program} asked of the kernel is not shown: strace wrote {size >> 20} MB of it, "
                          "far more than a stop's programs make, too much to read in a while")
        self.view = View(program)
        self.trace = read_trace(paths, self.view)
        if not self.trace:
            raise TraceError(f"no system calls in {prefix} (did strace run the program?)")
        resolve(self.trace)
        if program is not None:  # --save keeps the trace alone
            self.items, self.startup, self.housekeeping, self.threads, self.lock_waits = \
                build(self.trace, self.view)

    def lines(self, program, mark=None):
        out = [f"What {program} asked of the kernel, under the lines of its source that asked:"]
        if self.startup:
            out.append("  Before main: the loader maps the program and the C library; the C library readies itself:")
            out.append(wrapped("    ", tally(self.startup)))
        out.extend(show(self.items, self.view, mark))
        if self.threads and self.lock_waits == 0:
            out.append(f"  No thread found {self.view.guard} taken in this run: taking a free one needs no "
                       "call to the kernel at all")
        if self.housekeeping:
            out.append(wrapped("  ", "Not shown, the C library's own work in the threads, before and after "
                               "the routine each runs: " + tally(self.housekeeping)))
        return out


class TraceError(Exception):
    pass


class TooLong(Exception):
    pass


# -- two runs beside each other --------------------------------------------------

def outcome(r):
    """What a record came to, as far as two runs of one exchange should
    agree: an error's name, 0, a count (any), or how a process ended."""
    if r.kind != "call":
        return r.name if r.kind == "signal" else re.sub(r"^\+\+\+ | \+\+\+$", "", r.text)
    m = re.match(r"(-?\d+)(?: (E[A-Z]+))?", r.result)
    if not m:
        return r.result
    if m.group(2):
        return m.group(2)
    return "0" if int(m.group(1)) == 0 else "a count"


def signature(item):
    r = item[4]
    return (r.kind, r.name, r.entry if r.kind == "call" else None, outcome(r))


def said(item, whose):
    """A record in words: "your copy calls write at line 12 (...)"."""
    r = item[4]
    if r.kind == "signal":
        return f"{whose} gets {r.name}"
    if r.kind == "end":
        return f"{whose} has ended ({outcome(r)})"
    called = r.entry if r.entry and r.entry != r.name else r.name
    also = f" ({r.name})" if called != r.name else ""
    lines = r.lines()
    where = f" at line {lines[0][3]}, `{lines[0][4].strip()}`" if lines else f" ({item[0].strip()})"
    return f"{whose} calls {called}{also}{where}"


def first_difference(mine, real):
    """The index of the first item where the two runs part, and that place
    in words; None when they made the same calls."""
    for i in range(max(len(mine), len(real))):
        if i >= len(mine) or i >= len(real):
            longer, whose = (real, "the real program") if i >= len(mine) else (mine, "your copy")
            other = "your copy" if i >= len(mine) else "the real program"
            return i, f"{other} has ended here, where {said(longer[i], whose)}."
        a, b = signature(mine[i]), signature(real[i])
        if a == b:
            continue
        if a[:3] == b[:3] and a[0] == "call":
            return i, (f"{said(mine[i], 'your copy')}, as the real program does, but "
                       f"your copy's {a[1]} came to {a[3]} ({mine[i][4].result}), the real program's to "
                       f"{b[3]} ({real[i][4].result}).")
        return i, f"{said(mine[i], 'your copy')}, where {said(real[i], 'the real program')}."
    return None, "none: both made the same calls, in the same order, with the same outcomes."


def beside(program, mine_prefix, real_prefix):
    mine, real = Shown(program, mine_prefix), Shown(program, real_prefix)
    at, words = first_difference(mine.items, real.items)
    out = ["Your copy, run through the test's exchange:"]
    out.extend(mine.lines(program, at if at is not None and at < len(mine.items) else None))
    out.append("")
    out.append("The real program, through the same exchange:")
    out.extend(real.lines(program, at if at is not None and at < len(real.items) else None))
    out.append("")
    out.append(wrapped("", "The first difference" + (" (==> in each view): " if at is not None else ": ") + words))
    return out


def main(argv):
    wide = None
    while len(argv) >= 5 and argv[1] in ("--source", "--wide"):
        if argv[1] == "--source":
            SOURCE_FOR[os.path.basename(argv[2])] = argv[2]
        else:
            wide = argv[2]
        argv = argv[:1] + argv[3:]
    if len(argv) == 4 and argv[1] == "--save":
        target, prefix, program = argv[2], argv[3], None
    elif len(argv) == 5 and argv[1] == "--beside":
        program = argv[2]
    elif len(argv) == 3 and not argv[1].startswith("-"):
        program, prefix = argv[1], argv[2]
    else:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    try:
        if argv[1] == "--beside":
            print(fitted(beside(program, argv[3], argv[4])))
            return 0
        shown = Shown(program, prefix)
    except NotesError as e:
        sys.stderr.write(f"trace_view: {e}\n")
        return 2
    except TraceError as e:
        sys.stderr.write(f"trace_view: {e}\n")
        return 1
    except TooLong as e:
        print(wrapped("", str(e)))
        return 0
    if program is None:
        save(shown.trace, target)
        return 0
    if wide is not None:
        with open(wide, "w") as f:
            f.write("\n".join(uncut(shown, program)) + "\n")
    print(fitted(shown.lines(program)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
