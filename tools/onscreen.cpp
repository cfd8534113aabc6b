// onscreen: runs one program on a pseudo-terminal of its own and plays its
// user, for the tour. Whatever the program's terminal shows is copied to
// standard output as it appears, so the screen is the one a user at the
// keyboard would see: each answer echoed after its prompt, ^C where the key
// is pressed, every line the moment it is written.
//
//   onscreen PROGRAM STEP...    plays the steps, in order, against PROGRAM
//   onscreen --lines FILE PROGRAM STEP...
//                               the same, and writes each line of the screen
//                               to FILE as it is completed, after the seconds
//                               since the start ("2.004 User 3 is ...")
//   onscreen --trace FILE PROGRAM STEP...
//                               the same, with PROGRAM run under strace by
//                               scripts/traced.sh, which writes every system
//                               call and its stack to FILE.TID, a file for
//                               each thread; keys and signals still reach
//                               PROGRAM alone
//   onscreen --sole-reader FIFO PROGRAM STEP...
//                               the same, PROGRAM to be the one reader of the
//                               FIFO: under a lock on the FIFO's directory
//                               (flock, taken by every onscreen given this
//                               option), exit status 3, with nothing started,
//                               when a process reads FIFO already; the lock is
//                               let go once PROGRAM reads it (reader:FIFO), so
//                               that of two started at once one runs, and the
//                               other finds it reading
//   (--lines, --trace and --sole-reader may be given together)
//   onscreen --reader PATH      exit status 0 when a process has the FIFO PATH
//                               open for reading, 1 when none has
//
// Steps (in TEXT, \n stands for Enter or a newline and \\ for a backslash):
//   expect:TEXT    wait until TEXT appears on the screen, after what the
//                  last expect found
//   type:TEXT      type TEXT, one key at a time
//   key:^C key:^Z  press Ctrl-C or Ctrl-Z
//   signal:NAME    send the signal NAME (USR1, TERM...), as from another terminal
//   run:COMMAND    run the shell COMMAND as from another terminal, shown first
//   write:FIFO:TEXT
//                  write TEXT into the FIFO as a client in another terminal,
//                  shown as printf 'TEXT' > FIFO; only into a FIFO of the
//                  user's own, checked on what was opened, never through a link
//   reader:PATH    wait until the program has the FIFO PATH open for reading
//   sleep:SECONDS  keep showing the screen for SECONDS
//   end            wait for the program to end by itself; say how it ended
//
// Every wait is bounded (30 s for a text, 60 s for the end, 10 s for a
// command), and so is what the program writes to its terminal (1 MiB). When
// a bound is passed, or the program ends before the steps are done, onscreen
// says what went wrong, ends every process on the program's terminal and
// exits with status 1. Interrupted itself (Ctrl-C on the tour), it ends them
// too before it goes. The control characters the program writes are shown,
// not acted on: ^[ for ESC.
//
// With ONSCREEN_MARK_KEYS set (to anything but nothing), each key typed is
// also marked in the output, where it falls among the screen's bytes, as
// ESC _ key:HH ESC \ (an application program command, HH the key's byte in
// hex): the record of a run (scripts/record.py) takes each mark out and keeps
// the key as typed input. No program's byte can make one: an ESC it writes
// is shown as ^[.

#include "pty_spawn.h"
#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const double expect_timeout = 30;  // seconds for a line to appear
const double end_timeout = 60;     // seconds for a program to end by itself
const double run_timeout = 10;     // seconds for a client command
const double key_gap = 0.04;       // seconds between typed keys
const size_t screen_limit = 1 << 20;  // bytes a program may write to its terminal

terminal_session term;   // the program (or strace) on its terminal
bool traced = false;     // --trace: term.pid is strace (traced.sh execs it), the program its child
pid_t client_pid = -1;   // a command run as from another terminal
const char* program_name = "";
int sole_reader_lock = -1;  // --sole-reader: the lock, held until its FIFO is read
std::string sole_reader_fifo;
size_t found_up_to = 0;    // where the next expect starts looking
bool at_line_start = true; // whether our output stands at the start of a line
bool decorate = false;     // standard output is a terminal: notes are dimmed
FILE* lines_file = nullptr; // --lines: where each completed line goes, timed
bool mark_keys = false;     // ONSCREEN_MARK_KEYS: each key typed marked in the output
size_t line_start = 0;     // where the screen's unfinished line begins

volatile sig_atomic_t interrupted = 0;
sigset_t waiting_mask;  // the mask let in during a wait: the stop signals unblocked

void on_stop_signal(int signum)
{
    interrupted = signum;
}

void put(const char* bytes, size_t size)
{
    while (size > 0) {
        ssize_t n = write(1, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes += n;
        size -= n;
    }
}

// A line of the tour's own, on a line of its own, set apart from the program's.
void note(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (!at_line_start)
        put("\n", 1);
    std::string line = decorate ? "\033[2m" + std::string(text) + "\033[0m\n" : std::string(text) + "\n";
    put(line.data(), line.size());
    at_line_start = true;
}

// Ends every process on the program's terminal and a running client.
void end_everything()
{
    terminal_end(term);
    kill_child(client_pid);
    reap_child(client_pid, nullptr, true);
}

[[noreturn]] void fail(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string state = term.pid > 0 ? "still running; ended now" : describe_status(term.status);
    end_everything();
    note("tour: %s: %s (%s: %s)", program_name, text, program_name, state.c_str());
    exit(1);
}

// Ctrl-C on the tour (or its end): everything on the terminal is ended, and
// the driver goes by the same signal, so that the shell running the tour
// stops too.
void check_interrupted()
{
    if (!interrupted)
        return;
    end_everything();
    at_line_start = false;  // the terminal has just echoed the ^C
    note("(tour interrupted: %s ended)", program_name);
    signal(interrupted, SIG_DFL);
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    raise(interrupted);
    _exit(128 + interrupted);
}

// The program's bytes as they may reach the tour's output: a control
// character that a terminal would act on (an escape sequence sets a window's
// title, clears the screen, moves the cursor) shown as the terminal shows a
// key's, ^[ for ESC; line ends, tabs and backspaces as they are, carriage
// returns on a terminal only. The controls U+0080 to U+009F, which some
// terminals act on in UTF-8 too, as cat -v shows them: M-^[.
std::string shown_safely(const char* bytes, size_t size)
{
    static bool held = false;  // a 0xC2 ended the last piece: its next byte decides
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = bytes[i];
        if (held) {
            held = false;
            if (c >= 0x80 && c <= 0x9f) {
                out += "M-^";
                out += static_cast<char>(c - 0x80 + '@');
                continue;
            }
            out += '\xc2';
        }
        if (c == 0xc2)
            held = true;
        else if (c == '\r' && !decorate)
            continue;
        else if (c == '\n' || c == '\t' || c == '\b' || c == '\r')
            out += static_cast<char>(c);
        else if (c < 0x20)
            out += std::string("^") + static_cast<char>(c + '@');
        else if (c == 0x7f)
            out += "^?";
        else
            out += static_cast<char>(c);
    }
    return out;
}

// What the terminal brings, shown as it comes (shown_safely): a terminal
// gets it as it came, a file or pipe plain lines; --lines gets each
// completed line. A program that floods its terminal is ended: a stop's
// programs write a few kilobytes, and the screen is kept whole in memory,
// with the moment of each byte, which a flood would fill within a minute.
void show_output(terminal_session& t, const char* bytes, size_t size)
{
    for (size_t end; lines_file != nullptr && (end = t.screen.find('\n', line_start)) != std::string::npos;
         line_start = end + 1)
        fprintf(lines_file, "%.3f %s\n", now_seconds() - t.started,
                t.screen.substr(line_start, end - line_start).c_str());
    std::string text = shown_safely(bytes, size);
    put(text.data(), text.size());
    at_line_start = bytes[size - 1] == '\n';
    if (t.screen.size() > screen_limit)
        fail("wrote more than %zu kB to its terminal, far more than a stop shows", screen_limit / 1024);
}

// Waits up to seconds for the terminal and shows what it brings. Returns 1
// when something came, 0 when nothing did, -1 once the terminal has closed
// (every process on it has ended). Once it has closed it still waits the
// seconds, so that a loop waiting on something else (a client command) is
// interrupted as promptly.
int pump(double seconds)
{
    int got = terminal_read(term, seconds);
    if (got < 0 && !interrupted)
        terminal_sleep(term, seconds);
    check_interrupted();
    return got;
}

// Notes the program's end if it has ended. Returns true while it runs.
bool running()
{
    if (term.pid <= 0)
        return false;
    if (!terminal_reap(term, false))
        return true;
    while (pump(0.1) > 0) {  // what it wrote last
    }
    return false;
}

// Keeps the screen going for seconds; fails if the program ends meanwhile.
void show_for(double seconds, const char* waiting_for)
{
    double deadline = now_seconds() + seconds;
    do {
        if (!running())
            fail("ended while %s", waiting_for);
        pump(deadline - now_seconds() < 0.05 ? deadline - now_seconds() : 0.05);
    } while (now_seconds() < deadline);
}

std::string unescape(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\\' && p[1] == 'n') {
            out += '\n';
            ++p;
        } else if (*p == '\\' && p[1] == '\\') {
            out += '\\';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

// The text as it would read in a message: newlines shown as \n.
std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out + "'";
}

void expect(const std::string& text)
{
    size_t past = terminal_wait_for(term, text, found_up_to, now_seconds() + expect_timeout);
    check_interrupted();
    if (past != std::string::npos) {
        found_up_to = past;
        return;
    }
    if (!running())
        fail("ended before %s appeared", quoted(text).c_str());
    fail("%s did not appear within %.0f s", quoted(text).c_str(), expect_timeout);
}

void type_keys(const std::string& keys)
{
    for (char key : keys) {
        if (!running())
            fail("ended before every key was typed");
        if (!terminal_type(term, std::string(1, key)))
            fail("typing on its terminal failed: %s", strerror(errno));
        if (mark_keys) {
            char mark[16];
            int size = snprintf(mark, sizeof mark, "\033_key:%02x\033\\", static_cast<unsigned char>(key));
            put(mark, size);
        }
        // A key may end the program (Enter on an exit choice, ^C): only a
        // key typed after its end is a failure.
        double deadline = now_seconds() + key_gap;
        while (now_seconds() < deadline && pump(deadline - now_seconds()) >= 0) {
        }
    }
}

// The process a signal step is meant for: the program itself, which under
// --trace is strace's only child (strace would die of most signals).
pid_t signal_target()
{
    if (!traced)
        return term.pid;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(term.pid),
             static_cast<int>(term.pid));
    FILE* file = fopen(path, "r");
    int child = 0;
    if (file != nullptr) {
        if (fscanf(file, "%d", &child) != 1)
            child = 0;
        fclose(file);
    }
    return child;
}

int signal_named(const char* name)
{
    for (int sig = 1; sig < NSIG; ++sig) {
        const char* abbrev = sigabbrev_np(sig);
        if (abbrev != nullptr && strcmp(abbrev, name) == 0)
            return sig;
    }
    return 0;
}

// The other terminal: runs command through the shell, bounded in time,
// showing the program's screen meanwhile.
void run_client(const char* command)
{
    note("(in another terminal) $ %s", command);
    if (!running())
        fail("ended before the command could run");
    client_pid = fork();
    if (client_pid < 0)
        fail("fork: %s", strerror(errno));
    if (client_pid == 0) {
        reset_signal_state();
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    double deadline = now_seconds() + run_timeout;
    for (;;) {
        int status = -1;
        if (reap_child(client_pid, &status, false)) {
            if (status != 0)
                fail("the command '%s' failed (%s)", command, describe_status(status).c_str());
            return;
        }
        if (now_seconds() > deadline)
            fail("the command '%s' did not finish within %.0f s", command, run_timeout);
        running();  // notes the program's end, if it ends meanwhile
        pump(0.05);
    }
}

// Whether a process has the FIFO at path open for reading: a writer's
// non-blocking open succeeds only then (ENXIO otherwise). The end opened
// here is closed again at once, with nothing written.
bool has_reader(const char* path)
{
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    close(fd);
    return fifo;
}

void await_reader(const char* path)
{
    double deadline = now_seconds() + expect_timeout;
    while (!has_reader(path)) {
        if (errno != ENXIO && errno != ENOENT)
            fail("%s cannot be opened: %s", path, strerror(errno));
        if (now_seconds() > deadline)
            fail("%s was not opened for reading within %.0f s", path, expect_timeout);
        show_for(0.05, "the tour waited for it to open its FIFO");
    }
    if (sole_reader_lock >= 0 && sole_reader_fifo == path) {
        close(sole_reader_lock);
        sole_reader_lock = -1;
    }
}

// A client of the FIFO at path, in the other terminal: writes text into it.
// Only into a FIFO of the user's own: in a /tmp that is not sticky another
// user may swap the FIFO for a link to a file the user may write, so the
// path is opened without following a link, and what was opened is checked
// before a byte goes in.
void write_client(const std::string& path, const char* shown, const std::string& text)
{
    note("(in another terminal) $ printf '%s' > %s", shown, path.c_str());
    if (!running())
        fail("ended before the client could write");
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        fail("%s cannot be opened for writing: %s", path.c_str(), strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        fail("%s is no longer a FIFO of yours: nothing written into it", path.c_str());
    }
    double deadline = now_seconds() + run_timeout;
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            close(fd);
            fail("writing into %s failed: %s", path.c_str(), strerror(errno));
        } else if (now_seconds() > deadline) {
            close(fd);
            fail("the client could not write into %s within %.0f s", path.c_str(), run_timeout);
        } else {
            show_for(0.05, "the client wrote");
        }
    }
    close(fd);
}

void await_end()
{
    double deadline = now_seconds() + end_timeout;
    while (running()) {
        if (now_seconds() > deadline)
            fail("did not end within %.0f s", end_timeout);
        pump(0.05);
    }
    note("(%s)", describe_status(term.status).c_str());
}

void play(const char* step)
{
    const char* colon = strchr(step, ':');
    std::string verb = colon ? std::string(step, colon - step) : std::string(step);
    const char* arg = colon ? colon + 1 : "";
    if (verb == "expect") {
        expect(unescape(arg));
    } else if (verb == "type") {
        type_keys(unescape(arg));
    } else if (verb == "key" && strcmp(arg, "^C") == 0) {
        type_keys("\x03");
    } else if (verb == "key" && strcmp(arg, "^Z") == 0) {
        type_keys("\x1a");
    } else if (verb == "signal" && signal_named(arg) != 0) {
        if (!running())
            fail("ended before SIG%s could be sent", arg);
        pid_t target = signal_target();
        if (target <= 0)
            fail("has no process to send SIG%s to", arg);
        note("(from another terminal: kill -%s %d)", arg, static_cast<int>(target));
        kill(target, signal_named(arg));
    } else if (verb == "run") {
        run_client(arg);
    } else if (verb == "write" && strchr(arg, ':') != nullptr) {
        const char* text = strchr(arg, ':') + 1;
        write_client(std::string(arg, text - 1 - arg), text, unescape(text));
    } else if (verb == "reader") {
        await_reader(arg);
    } else if (verb == "sleep") {
        char* end = nullptr;
        double seconds = strtod(arg, &end);
        if (end == arg || *end != '\0' || !(seconds >= 0))
            fail("step '%s': the seconds to sleep must be a number, such as sleep:1.5", step);
        show_for(seconds, "the tour watched it");
    } else if (verb == "end") {
        await_end();
    } else {
        fail("unknown step '%s'", step);
    }
}

// --sole-reader: the lock on the FIFO's directory, waited for at most
// expect_timeout seconds. Returns false, the lock let go, when a process
// reads the FIFO already.
bool take_sole_reader_lock()
{
    size_t slash = sole_reader_fifo.rfind('/');
    std::string directory = slash == std::string::npos ? "." : sole_reader_fifo.substr(0, slash + 1);
    sole_reader_lock = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sole_reader_lock < 0) {
        fprintf(stderr, "onscreen: %s: %s\n", directory.c_str(), strerror(errno));
        exit(1);
    }
    double deadline = now_seconds() + expect_timeout;
    while (flock(sole_reader_lock, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || now_seconds() > deadline) {
            fprintf(stderr, "onscreen: no lock on %s within %.0f s: %s\n", directory.c_str(), expect_timeout,
                    strerror(errno));
            exit(1);
        }
        terminal_sleep(term, 0.05);
        check_interrupted();
    }
    if (!has_reader(sole_reader_fifo.c_str()))
        return true;
    close(sole_reader_lock);
    sole_reader_lock = -1;
    return false;
}

int usage()
{
    fprintf(stderr, "usage: onscreen [--lines FILE] [--trace FILE] [--sole-reader FIFO] PROGRAM STEP...\n"
                    "       onscreen --reader PATH\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    const option long_options[] = {
        {"lines", required_argument, nullptr, 'l'},
        {"trace", required_argument, nullptr, 't'},
        {"sole-reader", required_argument, nullptr, 's'},
        {"reader", required_argument, nullptr, 'r'},
        {nullptr, 0, nullptr, 0},
    };
    const char* trace_file = nullptr;
    const char* reader = nullptr;
    // "+": the options end at PROGRAM; what follows it are steps.
    for (int option; (option = getopt_long(argc, argv, "+", long_options, nullptr)) != -1;) {
        if (option == 't') {
            trace_file = optarg;
        } else if (option == 's') {
            sole_reader_fifo = optarg;
        } else if (option == 'r') {
            reader = optarg;
        } else if (option == 'l') {
            lines_file = fopen(optarg, "w");
            if (lines_file == nullptr) {
                perror(optarg);
                return 1;
            }
            setvbuf(lines_file, nullptr, _IOLBF, 0);
        } else {
            return usage();
        }
    }
    if (reader != nullptr)  // a question of its own, asked alone
        return argc != 3 ? usage() : has_reader(reader) ? 0 : 1;
    const char* marks = getenv("ONSCREEN_MARK_KEYS");
    mark_keys = marks != nullptr && *marks != '\0';
    if (optind == argc)
        return usage();
    argv += optind - 1;  // argv[1] the program, then its steps
    argc -= optind - 1;
    // Notes are dimmed only on a terminal that has such a thing.
    const char* kind = getenv("TERM");
    decorate = isatty(1) && kind != nullptr && *kind != '\0' && strcmp(kind, "dumb") != 0;
    program_name = strrchr(argv[1], '/') ? strrchr(argv[1], '/') + 1 : argv[1];

    // Ctrl-C on the tour, or its end, must not leave the program running:
    // the stop signals are let in only while waiting, and end everything.
    const int stops[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int sig : stops)
        sigaddset(&stop_signals, sig);
    sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    action.sa_mask = stop_signals;
    for (int sig : stops) {
        sigdelset(&waiting_mask, sig);
        sigaction(sig, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);

    char* program_argv[] = {argv[1], nullptr};
    char traced_sh[] = TRACED_SH;
    char* traced_argv[] = {traced_sh, const_cast<char*>(trace_file), argv[1], nullptr};
    traced = trace_file != nullptr;
    term.waiting_mask = &waiting_mask;
    term.stop = &interrupted;
    term.on_output = show_output;
    if (!sole_reader_fifo.empty() && !take_sole_reader_lock())
        return 3;
    if (!terminal_start(term, traced ? traced_sh : argv[1], traced ? traced_argv : program_argv)) {
        fprintf(stderr, "onscreen: cannot start %s on a terminal: %s\n", argv[1], strerror(errno));
        return 1;
    }
    for (int i = 2; i < argc; ++i)
        play(argv[i]);
    if (running())
        fail("still running after the last step");
    return 0;
}
