# Shows what one of the tour's programs asked of the kernel, from the trace
# strace -f -o FILE wrote while it ran: its system calls in order, in groups,
# each group under a line in plain words on what the calls do for the
# program. The start-up (the loader mapping the program and the C library,
# and the C library readying itself) is folded into one line with its count,
# and so are repeats: a call or a pair of calls made again and again shows
# once, then "N more like this" or "N more pairs like these". What changes
# from run to run (addresses, process ids, random bytes) is shown as "0x..."
# or by name: "main" and "thread 1", "thread 2" in the order they started.
#   awk -v program=NAME -f scripts/trace_view.awk TRACE

# -- reading the trace ------------------------------------------------------
# Each line is "PID CALL(ARGS) = RESULT", "PID --- SIGNAL ... ---" or "PID
# +++ killed by SIGNAL +++". A call that blocks while another thread makes
# calls is cut in two ("<unfinished ...>", then "<... CALL resumed>"); it is
# put together again here and kept at the place where it began.

function add_record(pid, kind) {
    ++count
    pid_of[count] = pid
    kind_of[count] = kind
    if (main_pid == "")
        main_pid = pid
    return count
}

# Splits "NAME(ARGS) = RESULT" into the record's name, args and result.
function set_call(i, text,    at, from, k) {
    gsub(/\) +=/, ") =", text)  # strace pads the result into a column
    name_of[i] = substr(text, 1, index(text, "(") - 1)
    at = 0
    for (from = 1; (k = index(substr(text, from), ") = ")) > 0; from += k)
        at = from + k - 1
    if (at == 0) {  # a call cut short by the end of the process
        args_of[i] = substr(text, length(name_of[i]) + 2)
        result_of[i] = "?"
    } else {
        args_of[i] = substr(text, length(name_of[i]) + 2, at - length(name_of[i]) - 2)
        result_of[i] = substr(text, at + 4)
    }
}

{
    pid = $1
    rest = $0
    sub(/^[0-9]+ +/, "", rest)  # strace pads short pids to a column
    if (rest ~ /^--- SIG/) {
        i = add_record(pid, "signal")
        name_of[i] = rest
        sub(/^--- /, "", name_of[i])
        sub(/ .*/, "", name_of[i])
        text_of[i] = rest
    } else if (rest ~ /^\+\+\+ /) {
        i = add_record(pid, "end")
        text_of[i] = rest
    } else if (rest ~ /^<\.\.\. [a-z0-9_]+ resumed>/ && (pid in open_call)) {
        i = open_call[pid]
        delete open_call[pid]
        sub(/^<\.\.\. [a-z0-9_]+ resumed>/, "", rest)
        set_call(i, partial[i] rest)
    } else if (rest ~ / <unfinished \.\.\.>$/) {
        i = add_record(pid, "call")
        sub(/ <unfinished \.\.\.>$/, "", rest)
        partial[i] = rest
        open_call[pid] = i
        set_call(i, rest)
    } else if (rest ~ /^[a-z0-9_]+\(/) {
        i = add_record(pid, "call")
        set_call(i, rest)
    }
}

# -- what is what -------------------------------------------------------------

# The file descriptor a call's first argument names (-1 for AT_FDCWD and
# the like).
function fd_of(i) { return args_of[i] ~ /^[0-9]/ ? args_of[i] + 0 : -1 }
function is_call(i, names) { return kind_of[i] == "call" && index(" " names " ", " " name_of[i] " ") > 0 }

# The loader's and the C library's own calls before main; a library's file
# descriptor counts for as long as it is open.
function loader_call(i,    fd) {
    if (is_call(i, "execve brk arch_prctl mmap munmap mprotect access set_tid_address set_robust_list rseq prlimit64"))
        return 1
    if (is_call(i, "openat open") && args_of[i] ~ /\.so[."]/) {
        library_fd[result_of[i] + 0] = 1
        return 1
    }
    fd = fd_of(i)
    if (is_call(i, "read pread64 newfstatat fstat mmap") && (fd in library_fd))
        return 1
    if (is_call(i, "close") && (fd in library_fd)) {
        delete library_fd[fd]
        return 1
    }
    return 0
}

# The calls the C library makes around threads of its own accord: stacks,
# signal masks while a thread starts, and a thread's end.
function thread_housekeeping(i) {
    if (threads == 0)
        return 0
    if (is_call(i, "mmap mprotect munmap madvise rseq set_robust_list rt_sigprocmask exit"))
        return 1
    return is_call(i, "rt_sigaction") && args_of[i] ~ /^SIGRT/
}

function is_thread_start(i) { return is_call(i, "clone clone3") && args_of[i] ~ /CLONE_THREAD/ }

# The signal delivered right after call i, in the same process, if any.
function signal_after(i,    j) {
    for (j = i + 1; j <= count; ++j)
        if (pid_of[j] == pid_of[i])
            return kind_of[j] == "signal" ? name_of[j] : ""
    return ""
}

# What the handler of the signal at record i did, up to rt_sigreturn or the
# end: "writes", "exits", "sigreturn" or "killed", in a word each.
function handler_story(i,    j, story) {
    story = ""
    for (j = i + 1; j <= count; ++j) {
        if (pid_of[j] != pid_of[i] || kind_of[j] == "signal")
            continue
        if (is_call(j, "write"))
            story = story " writes"
        else if (is_call(j, "exit_group"))
            return story " exits"
        else if (is_call(j, "rt_sigreturn"))
            return story " sigreturn"
        else if (kind_of[j] == "end")
            return story " killed"
        else
            return story
    }
    return story
}

function signal_gloss(i, sig,    story, text) {
    story = handler_story(i)
    if (story ~ /killed/)
        return sig " arrives" (kind_of[i] == "call" ? " inside the wait" : "") \
            ": with no handler for it, it kills the program"
    text = sig " arrives inside the wait: the kernel cuts the wait short and runs the handler" \
        (story ~ /writes/ ? ", whose lines come next" : " (it only flips a flag, writing nothing)")
    if (story ~ /exits/)
        return text "; then the handler ends the program with exit"
    return text "; rt_sigreturn then puts back the mask the program works with: " sig " is blocked again"
}

function standard_stream_gloss(i,    which) {
    which = fd_of(i) == 0 ? "input" : "output"
    if (terminal[fd_of(i)])
        return "Before its first use of standard " which ", the C library asks what it is: a terminal, " \
            "so it goes a line at a time"
    return "Before its first use of standard " which ", the C library asks what it is: not a terminal, " \
        "so it goes in blocks"
}

# Whether the copy's last read that got data got less than it asked for:
# "short" or "whole", found once.
function last_read(    j, last, asked) {
    if (last_read_was == "") {
        for (j = 1; j <= count; ++j)
            if (is_call(j, "read") && fd_of(j) > 2 && result_of[j] + 0 > 0)
                last = j
        asked = args_of[last]
        sub(/.*, /, "", asked)
        last_read_was = result_of[last] + 0 < asked + 0 ? "short" : "whole"
    }
    return last_read_was
}

function gloss_copyfile(i) {
    if (is_call(i, "read write") && fd_of(i) >= 0 && fd_of(i) <= 2)
        return ""  # the prompts and the last message, glossed as for any program
    if (is_call(i, "openat open") && args_of[i] ~ /O_CREAT/) {
        destination_open = 1
        return "Opens the destination for writing, only after a first read of the source worked: O_CREAT " \
            "makes it if missing, with mode 0644 less the umask; no O_TRUNC, not before the next check"
    }
    if (is_call(i, "openat open"))
        return "Opens the source for reading"
    if (is_call(i, "newfstatat fstat"))
        return "Checks that the destination is neither the source nor the file standard output goes to: " \
            "fstat gives each one's device and inode"
    if (is_call(i, "ftruncate"))
        return "Empties the destination, now known not to be the source"
    if (is_call(i, "read") && !destination_open)
        return "Reads the first block before the destination is opened: a source that cannot be read " \
            "leaves the destination as it was"
    if (is_call(i, "write") && !is_call(i - 1, "read"))
        return "Writes the first block to the destination"
    if (is_call(i, "read") && result_of[i] == "0")
        return "A read that returns 0: the end of the source"
    if (is_call(i, "read write"))
        return "Copies 1024 bytes at a time: a read from the source, then a write of what it got to " \
            "the destination" (last_read() == "short" ? "; the last read is short" : "")
    if (is_call(i, "close"))
        return "Closes the two files, the source first"
    return ""
}

# The thread a futex wait waits to end (pthread_join waits on the word the
# kernel clears when the thread ends, holding its id), or "".
function joined_thread(i,    tid) {
    if (!is_call(i, "futex") || args_of[i] !~ /FUTEX_WAIT/)
        return ""
    tid = args_of[i]
    sub(/^[^,]*, [^,]*, /, "", tid)
    sub(/,.*/, "", tid)
    return tid in thread_name ? thread_name[tid] : ""
}

function is_lock_wait(i) { return is_call(i, "futex") && args_of[i] ~ /FUTEX_WAIT/ && joined_thread(i) == "" }

function gloss_threads(i, lock) {
    if (is_thread_start(i))
        return "Starts a thread: clone3 with CLONE_THREAD, sharing the process's memory, files and " \
            "signal handlers"
    if (joined_thread(i) != "")
        return "pthread_join: main sleeps in the kernel until " joined_thread(i) " ends " \
            "(the kernel wakes it then)"
    if (is_lock_wait(i))
        return "Finds " lock " taken by another thread: sleeps in the kernel (FUTEX_WAIT) until it is given back"
    if (is_call(i, "futex") && args_of[i] ~ /FUTEX_WAKE/)
        return "Gives back " lock ": the kernel wakes one thread waiting for it (the result: how many woke)"
    if (is_call(i, "clock_nanosleep nanosleep") || is_call(i, "write") && pid_of[i] != main_pid)
        return "A turn: its lines, with a two-second sleep between them, " lock " held all along"
    return ""
}

function gloss_server(i) {
    if (is_call(i, "mknodat mknod"))
        return "Makes the FIFO: mkfifo is mknod with S_IFIFO" \
            (result_of[i] ~ /EEXIST/ ? " (EEXIST: one is there from an earlier run, and is used as it is)" : "")
    if (is_call(i, "openat open") && args_of[i] ~ /O_RDONLY/)
        return "Opens the FIFO for reading: the open waits here until a client opens the other end"
    if (is_call(i, "newfstatat fstat") && fd_of(i) > 2)
        return "Checks that what it opened is a FIFO"
    if (is_call(i, "openat open"))
        return "Opens a write end of its own, never written to: with a writer always there, the pipe " \
            "never reports its end between clients"
    if (is_call(i, "fcntl"))
        return "Makes its reads return at once (EAGAIN) when there is nothing to read"
    # The write right after an EAGAIN is the flush of the verdicts.
    if (is_call(i, "read") && result_of[i] ~ /EAGAIN/ || is_call(i, "poll ppoll") ||
        is_call(i, "write") && is_call(i - 1, "read") && result_of[i - 1] ~ /EAGAIN/)
        return "Nothing more to read (EAGAIN): the verdicts so far go to the screen, then poll waits " \
            "for the next client"
    if (is_call(i, "read"))
        return "Reads at most 20 bytes: each read is one set of credentials, judged by its length"
    if (is_call(i, "write"))
        return "Writes a verdict: stdout goes by the line, so the newline before the verdict goes at " \
            "once, the verdict itself at the next flush"
    return ""
}

# "the handler for SIGINT", "a handler for each of SIGINT and SIGTSTP": by
# the signals the program installs handlers for, in order.
function handlers_installed(    j, n, sig, list, k, out) {
    n = 0
    for (j = 1; j <= count; ++j) {
        if (is_call(j, "rt_sigaction")) {
            sig = args_of[j]
            sub(/,.*/, "", sig)
            list[++n] = sig
        }
    }
    if (n == 1)
        return "the handler for " list[1]
    out = list[1]
    for (k = 2; k <= n; ++k)
        out = out (k == n ? " and " : ", ") list[k]
    return "a handler for each of " out
}

function gloss_signals(i,    sig) {
    if (is_call(i, "rt_sigprocmask") && args_of[i] ~ /^SIG_BLOCK/) {
        sig = args_of[i]
        sub(/^SIG_BLOCK, \[/, "", sig)
        sub(/\].*/, "", sig)
        gsub(/ /, " and SIG", sig)
        return "Blocks SIG" sig ": while the program works, a signal that comes waits, pending"
    }
    if (is_call(i, "rt_sigaction"))
        return "Installs " handlers_installed() " (sa_mask: what is blocked as well while it runs)"
    if (is_call(i, "ppoll pselect6 write"))
        return "The work: a line, then a wait in ppoll; its mask, [], lets every signal in, " \
            "for the length of the wait only"
    return ""
}

function gloss_records(i) {
    if (is_call(i, "write") && fd_of(i) == 1 && terminal[1])
        return "Writes to the screen, a line at a time (stdout is a terminal): a write per line; a prompt, " \
            "having no newline, goes when input is asked for"
    if (is_call(i, "write") && fd_of(i) == 1)
        return "Writes everything at once: not to a terminal, stdout goes in blocks of 4096 bytes, and here all " \
            "fits in one, sent at exit"
    if (is_call(i, "lseek"))
        return "At exit the C library tries to hand back what it read but the program left unread; " \
            "a terminal or a pipe cannot seek (ESPIPE)"
    return ""
}

function gloss(i,    j, text) {
    # A signal goes with the wait it ended, when it ended one.
    if (kind_of[i] == "signal") {
        for (j = i - 1; j > 0 && pid_of[j] != pid_of[i]; --j) {
        }
        return j > 0 && result_of[j] ~ /^\? ERESTART|EINTR/ ? group_gloss[j] : signal_gloss(i, name_of[i])
    }
    if (kind_of[i] == "end")
        return group_gloss[i - 1] != "" ? group_gloss[i - 1] : "Killed"
    if (in_handler[pid_of[i]] != "")
        return in_handler[pid_of[i]]
    if (kind_of[i] == "call" && result_of[i] ~ /^\? ERESTART|EINTR/ && (j = signal_after(i)) != "")
        return signal_gloss(i, j)
    if (i in stream_question)
        return standard_stream_gloss(i)
    if (is_call(i, "getrandom brk"))
        return "The C library's first malloc, for its buffers: a random key for its heap checks, " \
            "a larger heap"
    if (program == "copyfile" && is_call(i, "read") && fd_of(i) == 0)
        return "Reads a path a byte at a time, with no buffered stream: nothing past its newline " \
            "is taken"
    if (is_call(i, "read") && fd_of(i) == 0 && terminal[0])
        return "Reads a line typed: a terminal hands over one line per read"
    if (is_call(i, "read") && fd_of(i) == 0)
        return "Reads standard input, not a terminal: a block at a time (here all of it in one read)"
    if (is_call(i, "exit_group"))
        return "Ends the process, every thread of it: exit_group"
    if (program == "copyfile")
        text = gloss_copyfile(i)
    else if (program == "atm_sim" || program == "mutex_counter")
        text = gloss_threads(i, "the lock")
    else if (program == "sem_counter")
        text = gloss_threads(i, "the semaphore")
    else if (program == "server")
        text = gloss_server(i)
    else if (program == "records")
        text = gloss_records(i)
    else
        text = gloss_signals(i)
    if (text == "" && is_call(i, "write") && fd_of(i) == 1)
        text = terminal[1] ? "Writes to the screen" : "Writes to standard output"
    return text != "" ? text : "Other calls"
}

# -- showing -------------------------------------------------------------

# Replaces every whole number from in text by to.
function replace_number(text, from, to,    out, at, before, after) {
    out = ""
    while ((at = index(text, from)) > 0) {
        before = at > 1 ? substr(text, at - 1, 1) : ""
        after = substr(text, at + length(from), 1)
        if (before ~ /[0-9]/ || after ~ /[0-9]/) {
            out = out substr(text, 1, at + length(from) - 1)
        } else {
            out = out substr(text, 1, at - 1) to
        }
        text = substr(text, at + length(from))
    }
    return out text
}

# A record as shown: what changes from run to run made steady.
function shown(i,    text, tid) {
    if (kind_of[i] != "call")
        text = text_of[i]
    else
        text = name_of[i] "(" args_of[i] ") = " result_of[i]
    if (is_call(i, "getrandom"))
        sub(/^getrandom\("[^"]*"/, "getrandom(...", text)
    if (is_thread_start(i))
        sub(/\|CLONE_SYSVSEM.*} =>.*\) = /, "|..., ...}, ...) = ", text)
    gsub(/0x[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]+/, "0x...", text)
    gsub(/, st_rdev=makedev\([^)]*\)/, "", text)
    gsub(/, si_pid=[0-9]+, si_uid=[0-9]+/, "", text)
    for (tid in thread_name)
        text = replace_number(text, tid, "<" thread_name[tid] ">")
    return text
}

# The same, with the data the call read or wrote left out: calls equal in
# this are repeats of each other.
function key(i,    text) {
    text = shown(i)
    gsub(/"([^"\\]|\\.)*"(\.\.\.)?/, "...", text)
    return text
}

function who(i) { return threads > 0 ? sprintf("%-10s", thread_name[pid_of[i]]) : "" }

# Whether the calls at positions x and y of the group's list are repeats.
function same(x, y) { return x <= n && y <= n && who(members[x]) key(members[x]) == who(members[y]) key(members[y]) }

function show_line(text) { print "    " text }

function full(x) { return who(members[x]) shown(members[x]) }

# Adds the calls at positions from to before to of the group's list to
# what has been shown.
function remember(from, to,    x) {
    for (x = from; x < to; ++x)
        history[++history_size] = full(x)
}

# The length of the longest run of calls from position i on that was shown
# before, all the same, in the same order (0 if none).
function repeat_length(i,    p, m, best) {
    best = 0
    for (p = 1; p <= history_size; ++p) {
        for (m = 0; i + m <= n && p + m <= history_size && full(i + m) == history[p + m]; ++m) {
        }
        if (m > best)
            best = m
    }
    return best
}

# Prints text broken at spaces into lines of at most 100 columns, the first
# after indent, the others after more_indent.
function print_wrapped(indent, more_indent, text,    cut) {
    while (length(indent text) > 100) {
        for (cut = 101 - length(indent); cut > 0 && substr(text, cut, 1) != " "; --cut) {
        }
        if (cut == 0)
            break
        print indent substr(text, 1, cut - 1)
        text = substr(text, cut + 1)
        indent = more_indent
    }
    print indent text
}

# Counts call i's name in counts; returns names with the name added at its
# first count.
function count_name(i, counts, names) {
    if (!(name_of[i] in counts))
        names = names " " name_of[i]
    ++counts[name_of[i]]
    return names
}

# "N calls: a, 2 b, c": the calls named in names (in order, by a space
# each), with how many of each there were.
function tally(total, names, counts,    n, list, k, out) {
    n = split(substr(names, 2), list, " ")
    out = ""
    for (k = 1; k <= n; ++k)
        out = out (k > 1 ? ", " : "") (counts[list[k]] > 1 ? counts[list[k]] " " : "") list[k]
    return total " calls: " out
}

# Shows a group, the calls shown from order[first] to order[last], under
# their gloss; a gloss seen before shows only its head, the words before its
# first colon.
function show_group(first, last,    i, j, a, b, head) {
    n = 0
    for (i = first; i <= last; ++i)
        members[++n] = order[i]
    head = group_gloss[order[first]]
    if (head in glossed)
        sub(/: .*/, "", head)
    glossed[group_gloss[order[first]]] = 1
    print_wrapped("  ", "  ", head ":")
    for (i = 1; i <= n; ) {
        a = members[i]
        b = members[i + 1]
        # A pair made three times or more: the first in full, then a count.
        for (j = i; !same(i, i + 1) && same(j, i) && same(j + 1, i + 1); j += 2) {
        }
        if (j - i >= 6) {
            show_line(who(a) shown(a))
            show_line(who(b) shown(b))
            show_line(who(a) key(a) " / " key(b) ", " (j - i) / 2 - 1 " more pairs like these")
            remember(i, j)
            i = j
            continue
        }
        # Five calls or more just as they were made before (a menu shown
        # again, say): the first and the last of them, and their number.
        if ((j = repeat_length(i)) >= 5) {
            show_line(full(i) " ... " shown(members[i + j - 1]) ": the same " j " calls as before")
            remember(i, i + j)
            i += j
            continue
        }
        # A call made three times or more, the same way.
        for (j = i; same(j, i); ++j) {
        }
        show_line(who(a) shown(a))
        if (j - i >= 3) {
            show_line(who(a) key(a) ", " j - i - 1 " more like this")
        } else {
            j = i + 1
        }
        remember(i, j)
        i = j
    }
}

END {
    # Threads are named in the order they were started.
    thread_name[main_pid] = "main"
    for (i = 1; i <= count; ++i)
        if (is_thread_start(i) && result_of[i] ~ /^[0-9]+$/)
            thread_name[result_of[i]] = "thread " (++threads)

    startup = 0
    startup_names = ""
    for (i = 1; i <= count && loader_call(i); ++i) {
        ++startup
        startup_names = count_name(i, startup_count, startup_names)
    }
    housekeeping = 0
    lock_waits = 0
    for (j = i; j <= count; ++j) {
        # The C library asks what a standard stream is once, before its first
        # use: the first fstat of it (newfstatat(FD, "", ...) in older C
        # libraries, fstat(FD, ...) in glibc 2.41), then a terminal's question
        # when in doubt. A later fstat of it is the program's own.
        # The stream is a terminal when it is a character device that answers.
        if (is_call(j, "newfstatat fstat") && fd_of(j) >= 0 && fd_of(j) <= 2 && !(fd_of(j) in terminal)) {
            terminal[fd_of(j)] = args_of[j] ~ /S_IFCHR/
            stream_question[j] = 1
        }
        if (is_call(j, "ioctl") && args_of[j] ~ /^[0-2], TCGETS/) {
            stream_question[j] = 1
            if (result_of[j] != "0")
                terminal[fd_of(j)] = 0
        }
        if (thread_housekeeping(j)) {
            hidden[j] = 1
            housekeeping_names = count_name(j, housekeeping_count, housekeeping_names)
            ++housekeeping
        }
    }
    for (; i <= count; ++i) {
        if (hidden[i])
            continue
        group_gloss[i] = gloss(i)
        # From a signal on, the calls of its handler belong with it.
        if (kind_of[i] == "signal")
            in_handler[pid_of[i]] = group_gloss[i]
        else if (is_call(i, "rt_sigreturn exit_group") || kind_of[i] == "end")
            in_handler[pid_of[i]] = ""
        if (is_lock_wait(i))
            ++lock_waits
        order[++shown_count] = i
    }

    if (count == 0) {
        print "trace_view: no system calls in " FILENAME " (did strace run the program?)" > "/dev/stderr"
        exit 1
    }
    print "What " program " asked of the kernel, as strace -f saw it:"
    if (startup > 0) {
        print "  Start-up: the loader maps the program and the C library; the C library readies itself:"
        print_wrapped("    ", "      ", tally(startup, startup_names, startup_count))
    }
    for (k = 1; k <= shown_count; k = next_k) {
        # A group: the calls from here on with the same gloss, up to the next
        # call with another.
        for (next_k = k + 1; next_k <= shown_count && group_gloss[order[next_k]] == group_gloss[order[k]]; ++next_k) {
        }
        show_group(k, next_k - 1)
    }
    if (threads > 0 && lock_waits == 0)
        print "  No thread found " (program == "sem_counter" ? "the semaphore" : "the lock") \
            " taken in this run: taking a free one needs no call to the kernel at all"
    if (housekeeping > 0)
        print_wrapped("  ", "  ", "Not shown, the C library's own work for the threads' stacks, signal masks and ends: " \
            tally(housekeeping, housekeeping_names, housekeeping_count))
}
