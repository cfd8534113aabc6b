#include "harness.h"
#include "pty_spawn.h"
#include "terminal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// The sanitizers of g++ 12 and 13 lay out their shadow memory for the address
// randomisation of older kernels. With the 32 bits of newer ones
// (vm.mmap_rnd_bits=32) an instrumented program dies at its start
// ("ThreadSanitizer: unexpected memory mapping") or loops on a fault. So
// everything a test starts runs with address randomisation off, as under
// setarch -R: set here once, before any test, and inherited by every child.
[[maybe_unused]] static const int randomisation_off =
    SANITIZED ? personality(personality(0xffffffff) | ADDR_NO_RANDOMIZE) : 0;

// The programs running now, each the leader of a process group of its own,
// so that a test process told to end (Ctrl-C, a runner's SIGTERM) ends them
// and whatever they started, instead of leaving them behind.
static volatile pid_t live[64];

static void note_live(pid_t pid, bool running)
{
    for (volatile pid_t& slot : live) {
        if (running ? slot == 0 : slot == pid) {
            slot = running ? pid : 0;
            return;
        }
    }
}

static void end_live_programs(int signal)
{
    for (volatile pid_t& slot : live)
        if (slot > 0)
            kill(-slot, SIGKILL);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

[[maybe_unused]] static const bool ends_live_programs = [] {
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, end_live_programs);
    return true;
}();

// In a sandbox (a grader's), the programs a test runs run as the test's own
// user: not dumpable, the test process cannot be traced by them, nor its
// memory read or written through /proc, to forge what it finds.
[[maybe_unused]] static const bool untraceable_in_a_sandbox = [] {
    return getenv("SANDBOXED") == nullptr || prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}();

// The signals that end a test process, held back while a program is started
// and noted among the live ones (the mask before is returned): one that came
// between the fork and the note would leave the program running, out of
// reach. The program itself starts with the mask it is given.
static sigset_t hold_ending_signals()
{
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, sig);
    sigprocmask(SIG_BLOCK, &ending, &before);
    return before;
}

std::string program(const char* name)
{
    return std::string(PROGRAM_DIR) + "/" + name;
}

void send_signal(pid_t pid, int signal)
{
    report_signal(pid, signal);
    if (pid > 0)
        kill(pid, signal);
}

// The program and its arguments, for a report: each path by its last part.
static std::string label_of(const std::string& path, const std::vector<std::string>& args)
{
    std::string label = path.substr(path.rfind('/') + 1);
    for (const std::string& arg : args)
        label += " " + (arg.find('/') == std::string::npos || arg.find(' ') != std::string::npos
                            ? arg
                            : arg.substr(arg.rfind('/') + 1));
    return label;
}

// The signals a program was started with blocked, for a report:
// ", started with SIGINT and SIGTSTP blocked", or nothing.
static std::string blocked_note(const std::vector<int>& blocked)
{
    std::string note;
    for (size_t i = 0; i < blocked.size(); ++i)
        note += std::string(i == 0 ? ", started with " : i + 1 == blocked.size() ? " and " : ", ") + "SIG" +
                sigabbrev_np(blocked[i]);
    return note.empty() ? note : note + " blocked";
}

static sigset_t as_sigset(const std::vector<int>& signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : signals)
        sigaddset(&set, sig);
    return set;
}

std::string describe(const Ending& end)
{
    std::string doing = end.doing.empty() ? "" : "; what it was doing: " + end.doing;
    if (!end.flooded.empty())
        return "wrote " + end.flooded + ", so killed at once";
    if (!end.left_open.empty())
        return describe_ending(end.wait_status) + ", but its output stayed open, held by " + end.left_open +
               ", which the harness killed";
    if (end.stuck)
        return "did not end: every thread waited for good, using no CPU, for " +
               std::to_string(static_cast<int>(StuckWatch::seconds)) + " s, so killed" + doing;
    if (end.timed_out)
        return "still running at the timeout, so killed" + doing;
    return end.wait_status == -1 ? "not ended" : describe_ending(end.wait_status);
}

void expect_exit(const Ending& end, int status)
{
    EXPECT_TRUE(end.exited && end.status == status)
        << "expected an exit with status " << status << "; how the program ended: " << describe(end);
}

void expect_killed(const Ending& end, int signal)
{
    EXPECT_TRUE(!end.exited && !end.timed_out && end.signal == signal)
        << "expected a death by SIG" << sigabbrev_np(signal) << "; how the program ended: " << describe(end);
}

bool wait_caught(pid_t pid, std::initializer_list<int> signals, double timeout)
{
    report_caught(pid, signals);
    unsigned long long wanted = 0;
    for (int sig : signals)
        wanted |= 1ULL << (sig - 1);
    std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    double deadline = now_seconds() + timeout;
    for (;;) {
        std::string status = read_file(status_path);
        size_t at = status.find("SigCgt:");
        unsigned long long caught = at == std::string::npos ? 0 : strtoull(status.c_str() + at + 7, nullptr, 16);
        if ((caught & wanted) == wanted)
            return true;
        if (status.empty() || now_seconds() > deadline)
            return false;
        usleep(2000);
    }
}

// The arguments an exec takes: the path, then args, then a null; pointing
// into path and args, which must outlive them.
static std::vector<char*> argv_of(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// The child side of a piped start: a clean signal state (nothing blocked or
// ignored is inherited from the test), then the mask blocked, no descriptor
// but the three streams (whatever else the test run was given stays out of
// the program), the extra environment, then the program.
// If the program cannot be started, the error number goes to failed (closed
// on exec, so the parent reads nothing when the start succeeds).
[[noreturn]] static void exec_program(const std::string& path, const std::vector<std::string>& env,
                                      const std::vector<std::string>& args, int failed, const sigset_t& blocked)
{
    setpgid(0, 0);  // a group of its own: the terminal's keys do not reach it
    reset_signal_state();
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // failed, too, stays open until the exec
    for (const std::string& entry : env)
        putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv = argv_of(path, args);
    execv(path.c_str(), argv.data());
    int error = errno;
    if (write(failed, &error, sizeof error) < 0)
        perror(path.c_str());
    _exit(127);
}

static void record_status(Ending& end, int status)
{
    end.wait_status = status;
    if (WIFEXITED(status)) {
        end.exited = true;
        end.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
}

// Reaps pid if it has ended, kills what it left in its group (see
// child_ended) and notes how it ended; returns true once it has.
static bool reap(pid_t& pid, Ending& end, bool block)
{
    pid_t was = pid;
    int status = -1;
    if (!reap_child(pid, &status, block, true))
        return false;
    if (status != -1)
        record_status(end, status);
    if (was > 0)
        note_live(was, false);
    return true;
}

static void kill_and_reap(pid_t& pid, Ending& end)
{
    kill_child(pid);  // whatever it started, too
    reap(pid, end, true);
}

static void close_fd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Reads what is ready on fd, at most size bytes, into buf; closes fd at its
// end. Returns how many bytes were read.
static size_t drain(int& fd, char* buf, size_t size)
{
    ssize_t n = read(fd, buf, size);
    if (n > 0)
        return n;
    if (n == 0 || (errno != EINTR && errno != EAGAIN))
        close_fd(fd);
    return 0;
}

// A file as the kernel knows it: the same pair, the same file. Names would
// not do: the pseudo-terminals of a container's own devpts are named as the
// machine's are ("/dev/pts/3"), and a process holding one of them is not
// this test's.
struct FileId {
    dev_t dev;
    ino_t ino;
};

// The processes, other than this one, that hold one of files open: each as
// "sleep, pid 12", with ", in a session of its own" when it left this one's.
// The processes a program started and left behind are found so, even those
// that went off into a session of their own, out of reach of a kill of the
// program's group. killed: SIGKILL sent to each.
static std::string holders_of(const std::vector<FileId>& files, bool killed)
{
    std::string found;
    DIR* proc = files.empty() ? nullptr : opendir("/proc");
    if (proc == nullptr)
        return found;
    while (dirent* entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0 || pid == getpid())
            continue;
        std::string fds = "/proc/" + std::string(entry->d_name) + "/fd";
        DIR* dir = opendir(fds.c_str());
        bool holds = false;
        while (dir != nullptr && !holds) {
            dirent* fd = readdir(dir);
            if (fd == nullptr)
                break;
            struct stat st;  // of the file open there: the link is followed
            if (fd->d_name[0] == '.' || fstatat(dirfd(dir), fd->d_name, &st, 0) != 0)
                continue;
            for (const FileId& file : files)
                holds = holds || (st.st_dev == file.dev && st.st_ino == file.ino);
        }
        if (dir != nullptr)
            closedir(dir);
        if (!holds)
            continue;
        ProcessStat holder = process_stat(pid);
        found += (found.empty() ? "" : "; ") + holder.name + ", pid " + std::to_string(pid) +
                 (holder.session != getsid(0) ? ", in a session of its own" : "");
        if (killed)
            kill(pid, SIGKILL);
    }
    closedir(proc);
    return found;
}

// Each of the program's output pipes that is still open.
static std::vector<FileId> pipes_of(const Piped& p)
{
    std::vector<FileId> files;
    struct stat st;
    for (int fd : {p.out, p.err})
        if (fd >= 0 && fstat(fd, &st) == 0)
            files.push_back({st.st_dev, st.st_ino});
    return files;
}

// The terminal's side the program has, while the harness holds the other.
static std::vector<FileId> terminal_of(const Terminal& t)
{
    struct stat st;
    if (t.slave.empty() || stat(t.slave.c_str(), &st) != 0)
        return {};
    return {{st.st_dev, st.st_ino}};
}

// Kills the program's group and whatever else holds its output, then stops
// reading it.
static void end_everything(Piped& p)
{
    if (p.pid > 0)
        kill(-p.pid, SIGKILL);
    holders_of(pipes_of(p), true);
    close_fd(p.out);
    close_fd(p.err);
}

// Takes in bytes read from a stream: into its head while there is room,
// past that into its tail, which keeps the last ones; all are counted.
static void keep(std::string& head, std::string& tail, size_t& count, const char* bytes, size_t n)
{
    count += n;
    size_t into_head = head.size() < Piped::head_kept ? std::min(n, Piped::head_kept - head.size()) : 0;
    if (head.size() + into_head > head.capacity())  // grown as append would, but never past the head
        head.reserve(std::min(Piped::head_kept, std::max(2 * head.capacity(), head.size() + into_head)));
    head.append(bytes, into_head);
    tail.append(bytes + into_head, n - into_head);
    if (tail.size() > Piped::tail_kept)
        tail.erase(0, tail.size() - Piped::tail_kept);
}

// Reads what is ready on one of the program's streams. Past flood bytes the
// test fails, and the program and all that holds its output are ended.
static void read_stream(Piped& p, int& fd, std::string& head, std::string& tail, size_t& count,
                        const char* stream)
{
    char buf[64 << 10];
    keep(head, tail, count, buf, drain(fd, buf, sizeof buf));
    if (count > Piped::flood && p.end.flooded.empty()) {
        p.end.flooded = "more than " + std::to_string(Piped::flood / 1000000) + " MB to its " + stream;
        end_everything(p);
        kill_and_reap(p.pid, p.end);
        report_event(&p, "ended", describe(p.end), false);
        ADD_FAILURE() << "the program wrote " << p.end.flooded << " (" << count
                      << " bytes read), so it was ended at once; the last of it: "
                      << in_quotes(tail.substr(tail.size() > 64 ? tail.size() - 64 : 0));
    }
}

// Waits up to timeout seconds for output on the program's streams and reads it.
static void poll_streams(Piped& p, double timeout)
{
    pollfd fds[2] = {{p.out, POLLIN, 0}, {p.err, POLLIN, 0}};
    int ms = timeout <= 0 ? 0 : static_cast<int>(timeout * 1000) + 1;
    if (poll(fds, 2, ms) <= 0)
        return;
    if (fds[0].revents)
        read_stream(p, p.out, p.out_text, p.out_tail, p.out_bytes, "standard output");
    if (fds[1].revents)
        read_stream(p, p.err, p.err_text, p.err_tail, p.err_bytes, "standard error");
}

// Kills and reaps a program still running, and whatever holds its output
// still, and closes its pipes.
static void release(Piped& p)
{
    report_gone(&p);
    kill_and_reap(p.pid, p.end);
    close_fd(p.in);
    end_everything(p);
}

void start_piped(Piped& p, const std::string& path, const std::vector<std::string>& env,
                 const std::vector<std::string>& args, const std::vector<int>& blocked)
{
    release(p);  // a handle may be reused for the next run
    for (std::string* text : {&p.out_text, &p.err_text, &p.out_tail, &p.err_tail})
        text->clear();
    p.out_bytes = p.err_bytes = 0;
    p.end = Ending();
    signal(SIGPIPE, SIG_IGN);
    int pipes[4][2];
    int made = 0;
    for (; made < 4; ++made) {
        if (pipe2(pipes[made], O_CLOEXEC) != 0) {
            int error = errno;
            while (made-- > 0) {  // none is kept open when one cannot be had
                close(pipes[made][0]);
                close(pipes[made][1]);
            }
            FAIL() << "pipe: " << strerror(error);
        }
    }
    int* in = pipes[0];
    int* out = pipes[1];
    int* err = pipes[2];
    int* failed = pipes[3];
    sigset_t mask = as_sigset(blocked);
    sigset_t before = hold_ending_signals();
    p.pid = fork();
    if (p.pid < 0)
        ADD_FAILURE() << "fork: " << strerror(errno);
    if (p.pid > 0) {
        setpgid(p.pid, p.pid);  // as the child does: set before either goes on
        note_live(p.pid, true);
    }
    if (p.pid != 0)
        sigprocmask(SIG_SETMASK, &before, nullptr);
    if (p.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        exec_program(path, env, args, failed[1], mask);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(failed[1]);
    p.in = in[1];
    p.out = out[0];
    p.err = err[0];
    report_run(&p, p.pid, label_of(path, args) + ", on pipes" + blocked_note(blocked),
               [](const void* handle) { poll_streams(*static_cast<Piped*>(const_cast<void*>(handle)), 0); },
               &p.out_text, &p.err_text, false);
    report_start(&p, path, args, env, blocked);
    // A start that failed says so now, not through a timeout later.
    int error = 0;
    ssize_t n;
    while ((n = read(failed[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(failed[0]);
    if (n == sizeof error) {
        reap(p.pid, p.end, true);
        ADD_FAILURE() << "cannot start " << path << ": " << strerror(error);
    }
}

bool has_ended(Piped& p)
{
    if (p.pid > 0 && !child_ended(p.pid))
        return false;
    finish(p, 5);
    return true;
}

void feed(Piped& p, const std::string& bytes)
{
    if (!bytes.empty()) {
        report_event(&p, "sent", bytes, true);
        report_step(&p, "send", bytes);
    }
    size_t done = 0;
    while (p.in >= 0 && done < bytes.size()) {
        ssize_t n = write(p.in, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;  // the program stopped reading; what it did shows in its output
        done += n;
    }
}

// A look at most this often, while waiting, for a program stuck for good.
static const double look_every = 0.25;

// The end of a wait for text that did not come, for the report.
static std::string did_not_come(const std::string& text, pid_t pid, bool stuck)
{
    std::string why = "for " + in_quotes(text) + ": it did not come";
    return stuck ? why + "; the program is stuck: " + what_it_is_doing(pid) : why;
}

bool wait_output(Piped& p, const std::string& text, double timeout)
{
    report_step(&p, "expect", text, timeout);
    double deadline = now_seconds() + timeout;
    StuckWatch watch;
    while (p.out_text.find(text) == std::string::npos) {
        double left = deadline - now_seconds();
        bool stuck = is_stuck(p.pid, watch);
        if (left <= 0 || stuck || (p.out < 0 && p.err < 0)) {
            // Output that ended most often means a program ending: a moment
            // for it to have, so that a report says how it ended.
            for (double until = now_seconds() + 1; p.out < 0 && p.err < 0 && !child_ended(p.pid) &&
                                                   now_seconds() < until;)
                usleep(10000);
            report_event(&p, "waited", did_not_come(text, p.pid, stuck), false);
            return false;
        }
        poll_streams(p, left < look_every ? left : look_every);
    }
    return true;
}

void read_output(Piped& p, double seconds)
{
    report_step(&p, "sleep", "", seconds);
    // At least one look, so that a call with no time to spare still takes
    // what is ready.
    double deadline = now_seconds() + seconds;
    double left = seconds;
    do {
        poll_streams(p, left);
        left = deadline - now_seconds();
    } while (left > 0 && (p.out >= 0 || p.err >= 0));
}

void finish(Piped& p, double timeout)
{
    if (p.in >= 0) {
        report_event(&p, "closed", "its input", false);
        report_step(&p, "close", "");
    }
    report_step(&p, "end", "", timeout);
    close_fd(p.in);
    double deadline = now_seconds() + timeout;
    StuckWatch watch;
    bool stuck = false;
    double ended = -1;  // when the program was first seen ended
    while ((p.out >= 0 || p.err >= 0) && !stuck) {
        double left = deadline - now_seconds();
        if (left <= 0)
            break;
        if (ended < 0 && p.pid > 0 && child_ended(p.pid))
            ended = now_seconds();
        if (ended >= 0 && now_seconds() - ended > open_grace) {
            std::string holders = holders_of(pipes_of(p), false);
            p.end.left_open = holders.empty() ? "a process it started" : holders;
            end_everything(p);
            break;
        }
        poll_streams(p, left < look_every ? left : look_every);
        stuck = is_stuck(p.pid, watch);
    }
    while (!reap(p.pid, p.end, false)) {
        stuck = stuck || is_stuck(p.pid, watch);
        if (stuck || now_seconds() >= deadline) {
            p.end.doing = what_it_is_doing(p.pid);
            (stuck ? p.end.stuck : p.end.timed_out) = true;
            kill_and_reap(p.pid, p.end);
            break;
        }
        usleep(5000);
    }
    close_fd(p.out);
    close_fd(p.err);
    // What was not kept, said before the end (a flood has said it already).
    for (auto [bytes, stream] : {std::pair{p.out_bytes, "standard output"}, {p.err_bytes, "standard error"}})
        if (bytes > Piped::head_kept && p.end.flooded.empty())
            report_event(&p, "came",
                         "... " + std::to_string(bytes) + " bytes in all on " + stream + ": past the first " +
                             std::to_string(Piped::head_kept >> 20) + " MiB, only the last " +
                             std::to_string(Piped::tail_kept >> 10) + " KiB kept",
                         false);
    report_event(&p, "ended", describe(p.end), false);
    if (!p.end.left_open.empty())
        ADD_FAILURE() << "the program ended but its output stayed open: a process it started still holds it ("
                      << p.end.left_open << "), killed now";
}

void run_piped(Piped& p, const std::string& path, const std::string& input, double timeout,
               const std::vector<std::string>& env, const std::vector<std::string>& args)
{
    start_piped(p, path, env, args);
    feed(p, input);
    finish(p, timeout);
}

Piped::~Piped()
{
    release(*this);
}

// Kills everything on the terminal and stops reading it. What the program
// started in a session of its own may still have the terminal open (hung
// up, once the program has ended): found so, and killed too.
static void end_terminal(Terminal& t)
{
    if (t.held >= 0)
        holders_of(terminal_of(t), true);
    terminal_end(t);
}

// Past screen_flood bytes on the screen the test fails, and everything on
// the terminal is ended.
static void end_screen_flood(terminal_session& session, const char*, size_t)
{
    Terminal& t = static_cast<Terminal&>(session);
    if (t.screen.size() <= screen_flood || !t.end.flooded.empty())
        return;
    t.end.flooded = "more than " + std::to_string(screen_flood / 1000000) + " MB to its terminal";
    end_terminal(t);
    report_event(&t, "ended", describe(t.end), false);
    ADD_FAILURE() << "the program wrote " << t.end.flooded << ", so it was ended at once; the last of it: "
                  << in_quotes(t.screen.substr(t.screen.size() - 64));
}

void start_terminal(Terminal& t, const std::string& path, const std::vector<std::string>& args,
                    const std::vector<int>& blocked)
{
    signal(SIGPIPE, SIG_IGN);
    std::vector<char*> argv = argv_of(path, args);
    sigset_t mask = as_sigset(blocked);
    sigset_t before = hold_ending_signals();
    if (!terminal_start(t, path.c_str(), argv.data(), &mask)) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        FAIL() << "pseudo-terminal: " << strerror(errno);
    }
    note_live(t.pid, true);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    t.on_output = end_screen_flood;
    const char* slave = ptsname(t.master);
    t.slave = slave != nullptr ? slave : "";
    if (t.held >= 0)
        close(t.held);
    t.held = fcntl(t.master, F_DUPFD_CLOEXEC, 0);
    report_run(&t, t.pid, label_of(path, args) + ", on a terminal" + blocked_note(blocked),
               [](const void* handle) { terminal_read(*static_cast<Terminal*>(const_cast<void*>(handle)), 0); },
               &t.screen, nullptr, true);
    report_start(&t, path, args, {}, blocked);
}

void type(Terminal& t, const std::string& keys)
{
    report_step(&t, "type", keys);
    if (keys == "\x03" || keys == "\x1a")
        report_event(&t, "pressed", keys == "\x03" ? "^C" : "^Z", false);
    else
        report_event(&t, "typed", keys, true);
    if (!terminal_type(t, keys))
        ADD_FAILURE() << "typing on the terminal failed";
}

double wait_screen(Terminal& t, const std::string& text, double timeout, size_t from, size_t* after)
{
    report_step(&t, "expect", text, timeout);
    double deadline = now_seconds() + timeout;
    StuckWatch watch;
    bool stuck = false;
    size_t past;
    for (;;) {
        double look = now_seconds() + look_every;
        past = terminal_wait_for(t, text, from, look < deadline ? look : deadline);
        if (past != std::string::npos || t.pid <= 0 || now_seconds() >= deadline)
            break;
        if ((stuck = is_stuck(t.pid, watch)))
            break;
    }
    if (past == std::string::npos) {
        report_event(&t, "waited", did_not_come(text, t.pid, stuck), false);
        return -1;
    }
    if (after != nullptr)
        *after = past;
    return t.shown[past - 1];
}

void read_output(Terminal& t, double seconds)
{
    report_step(&t, "sleep", "", seconds);
    double deadline = now_seconds() + seconds;
    while (terminal_read(t, deadline - now_seconds()) >= 0 && now_seconds() < deadline) {
    }
}

void wait_end(Terminal& t, double timeout)
{
    report_step(&t, "end", "", timeout);
    double deadline = now_seconds() + timeout;
    StuckWatch watch;
    pid_t pid = t.pid;
    for (;;) {
        if (reap_child(t.pid, &t.status, false, true))
            break;
        bool stuck = is_stuck(t.pid, watch);
        if (stuck || now_seconds() >= deadline) {
            t.end.doing = what_it_is_doing(t.pid);
            (stuck ? t.end.stuck : t.end.timed_out) = true;
            end_terminal(t);
            break;
        }
        terminal_read(t, 0.05);
    }
    note_live(pid, false);
    // The terminal closes once no process has it open: what was written
    // last comes before that.
    double grace_end = now_seconds() + open_grace;
    while (terminal_read(t, 0.1) >= 0 && now_seconds() < grace_end) {
    }
    // Its group was killed as it ended: those processes may take a moment
    // to let go of the terminal. What holds it after that was out of reach.
    std::string holders;
    for (double until = now_seconds() + open_grace; t.held >= 0 && !t.end.timed_out && !t.end.stuck;) {
        holders = holders_of(terminal_of(t), false);
        if (holders.empty() || now_seconds() > until)
            break;
        usleep(50000);
    }
    if (t.master >= 0 || !holders.empty()) {
        t.end.left_open = holders.empty() ? "a process it started" : holders;
        end_terminal(t);
    }
    if (t.status != -1)
        record_status(t.end, t.status);
    report_event(&t, "ended", describe(t.end), false);
    if (!t.end.left_open.empty())
        ADD_FAILURE() << "the program ended but its terminal stayed open: a process it started still holds it ("
                      << t.end.left_open << "), killed now";
}

Terminal::~Terminal()
{
    report_gone(this);
    pid_t leader = pid;
    end_terminal(*this);
    note_live(leader, false);
    if (held >= 0)
        close(held);
}

static bool write_proc(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY);
    bool done = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        close(fd);
    return done;
}

// A build tree that lives under /tmp is bound back into place on the new
// /tmp, so that the programs stay where they are.
std::string enter_private_tmp()
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    // Without root, a user namespace of its own brings the right to mount;
    // the user stays the same user in it. Its maps are written through its
    // own /proc files, which are the user's only while the process is
    // dumpable (in a sandbox it is not: it is made so for the while).
    int dumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    bool mapped = unshare(CLONE_NEWNS | (uid != 0 ? CLONE_NEWUSER : 0)) == 0;
    std::string failed = mapped ? "" : std::string("no namespace of its own: ") + strerror(errno);
    if (mapped && uid != 0 && !(write_proc("/proc/self/setgroups", "deny") &&
                                write_proc("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
                                write_proc("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")))
        failed = std::string("no user mapping: ") + strerror(errno);
    prctl(PR_SET_DUMPABLE, dumpable, 0, 0, 0);
    if (!failed.empty())
        return failed;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("no private mounts: ") + strerror(errno);

    std::string build = PROGRAM_DIR;
    std::string kept_top;  // the build tree's top directory under /tmp, if there
    int kept = -1;
    if (build.rfind("/tmp/", 0) == 0) {
        kept_top = build.substr(0, build.find('/', 5));
        kept = open(kept_top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    std::string why;
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        why = std::string("no private /tmp: ") + strerror(errno);
    else if (kept >= 0) {
        std::string from = "/proc/self/fd/" + std::to_string(kept);
        if (mkdir(kept_top.c_str(), 0755) != 0 ||
            mount(from.c_str(), kept_top.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            why = std::string("the build tree under /tmp not kept: ") + strerror(errno);
            umount2("/tmp", MNT_DETACH);
        }
    }
    if (kept >= 0)
        close(kept);
    if (why.empty())
        report_private_tmp();
    return why;
}

static int remove_entry(const char* path, const struct stat*, int, FTW*)
{
    return remove(path);
}

void TempDirTest::SetUp()
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_cwd = cwd;
    char templ[] = "/tmp/posix-tour-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr) << strerror(errno);
    dir = templ;
    ASSERT_EQ(chdir(dir.c_str()), 0);
}

std::string TempDirTest::reachable_copy(const std::string& file)
{
    // In a directory of its own inside the test's, with modes set outright
    // (the umask would take from them): anyone may pass through the test's
    // directory, though not list it, and may read and run what is copied.
    std::string copies = path("reachable");
    std::string copy = copies + file.substr(file.rfind('/'));
    if (access(copy.c_str(), F_OK) == 0)
        return copy;
    mkdir(copies.c_str(), 0755);
    std::string bytes = read_file(file);
    EXPECT_FALSE(bytes.empty()) << "cannot read " << file;
    write_file(copy, bytes);
    EXPECT_TRUE(chmod(dir.c_str(), 0711) == 0 && chmod(copies.c_str(), 0755) == 0 && chmod(copy.c_str(), 0755) == 0)
        << copy << ": " << strerror(errno);
    return copy;
}

std::string TempDirTest::shim_preload()
{
    return "LD_PRELOAD=" + reachable_copy(IO_SHIM);
}

void TempDirTest::TearDown()
{
    if (old_cwd.empty())
        return;  // skipped before it was set up
    // A test run from under /tmp that gave itself a /tmp of its own no longer
    // sees where it was: the root then.
    if (chdir(old_cwd.c_str()) != 0 && chdir("/") != 0)
        ADD_FAILURE() << "chdir back failed";
    if (!dir.empty())
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string strace_path()
{
    for (const char* path : {"/usr/bin/strace", "/bin/strace"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

std::string read_file(const std::string& path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY);
    char buf[4096];
    while (fd >= 0)
        text.append(buf, drain(fd, buf, sizeof buf));
    return text;
}

void write_file(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path << ": " << strerror(errno);
    size_t written = fwrite(bytes.data(), 1, bytes.size(), f);
    int closed = fclose(f);  // closed whatever the write did
    EXPECT_EQ(written, bytes.size()) << path;
    EXPECT_EQ(closed, 0) << path << ": " << strerror(errno);
}

std::string pattern_bytes(size_t size)
{
    std::string bytes(size, '\0');
    unsigned x = 2463534242u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x);
    }
    return bytes;
}

namespace {
// The registry's lines, each as its key and the text after it.
std::vector<std::pair<std::string, std::string>> registry_lines()
{
    std::vector<std::pair<std::string, std::string>> lines;
    std::string text = read_file(REGISTRY);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t key = line.find_first_not_of(" \t");
        if (key == std::string::npos || line[key] == '#')
            continue;
        size_t key_end = line.find_first_of(" \t", key);
        size_t value = key_end == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", key_end);
        size_t value_end = line.find_last_not_of(" \t");
        lines.emplace_back(line.substr(key, key_end - key),
                           value == std::string::npos ? "" : line.substr(value, value_end + 1 - value));
    }
    return lines;
}
}  // namespace

std::vector<std::string> registry_programs()
{
    std::vector<std::string> names;
    for (const auto& [key, value] : registry_lines())
        if (key == "program")
            names.push_back(value);
    return names;
}

std::vector<std::string> registry_entry(const std::string& name, const std::string& key)
{
    std::vector<std::string> values;
    bool inside = false;
    for (const auto& [line_key, value] : registry_lines()) {
        if (line_key == "program")
            inside = value == name;
        else if (inside && line_key == key)
            values.push_back(value);
    }
    return values;
}
