// Runs the built programs as a user would: through pipes, or as the
// foreground process of a pseudo-terminal of its own, and ends them safely.
// Every test runs in a fresh temporary directory (the fixture TempDirTest),
// and every child is killed and reaped when its handle goes away, so a
// failing test never leaves a program behind or hangs.
#pragma once

#include "report.h"
#include "terminal.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>

// The path of a built program, by its name.
std::string program(const char* name);

// How a program ended.
struct Ending {
    bool exited = false;     // returned from main or called exit
    int status = -1;         // its exit status, when exited
    int signal = 0;          // the signal that killed it, if one did
    bool timed_out = false;  // still running at the timeout, so killed by the harness
    bool stuck = false;      // every thread waiting for a lock, for good, so killed by the harness
    std::string doing;       // what it was doing when the harness killed it (what_it_is_doing)
    int wait_status = -1;    // as waitpid gave it, once it ended
    std::string flooded;     // the stream it wrote too much to ("standard output"), so killed at once
    std::string left_open;   // who still held its output once it had ended ("sleep, pid 12"), so killed
};

// What each thread of a running program is doing, in words, from /proc:
// "main thread: waiting in futex...; thread 1: sleeping (nanosleep)".
// Empty once the program has ended.
std::string what_it_is_doing(pid_t pid);
// Watches a running program for a wait that can never end: every thread in
// an untimed futex wait (a lock, a semaphore, a join) and no CPU time used,
// for seconds on end. Call is_stuck at each look while waiting for the program.
struct StuckWatch {
    static constexpr double seconds = 2;
    unsigned long long cpu = ~0ULL;
    double since = 0;
    double looked = 0;  // a look at most every 0.2 s: /proc is read each time
};
bool is_stuck(pid_t pid, StuckWatch& watch);

// A process, or one of its threads (tid), as /proc/PID/stat shows it; no
// name, and the state '?', once it is gone.
struct ProcessStat {
    std::string name;  // as in /proc/PID/comm: its first 15 bytes
    char state = '?';  // 'R' running, 'S' asleep, 'T' stopped, 't' held by a tracer, 'Z' ended...
    pid_t parent = 0, group = 0, session = 0;
    unsigned long long cpu_ticks = 0;  // user and system time, in clock ticks
};
ProcessStat process_stat(pid_t pid, pid_t tid = 0);
// The CPU time a process has used so far, in seconds; -1 once it is gone.
double cpu_seconds(pid_t pid);

// How a program ended, in words: "exited with status 1", "killed by SIGINT"...
std::string describe(const Ending& end);
// Expect an exit with status, or a death by signal; a failure says how the
// program did end.
void expect_exit(const Ending& end, int status);
void expect_killed(const Ending& end, int signal);

// A program with its standard input, output and error connected to pipes.
// What it writes is kept whole up to head_kept bytes a stream; past that,
// only the last tail_kept bytes and a count, so that a program that prints
// without end costs the test no more memory than that. More than flood
// bytes on a stream is a failure of the test, and the program is ended then.
struct Piped {
    static constexpr size_t head_kept = 8 << 20;  // a storm of signals, each announced, writes 1 MB
    static constexpr size_t tail_kept = 64 << 10;
    static constexpr size_t flood = 64'000'000;
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::string out_text, err_text;       // what was read: all of it, or its first head_kept bytes
    std::string out_tail, err_tail;       // past those, the last bytes read
    size_t out_bytes = 0, err_bytes = 0;  // how many bytes were read, in all
    Ending end;
    ~Piped();  // kills and reaps a program still running
};

// Starts a program on pipes (ending any earlier run of the handle). env adds
// NAME=VALUE entries to its environment; args are its arguments. The program
// starts with no signal blocked, or with those of blocked, as a parent that
// had blocked them would start it.
void start_piped(Piped& p, const std::string& path, const std::vector<std::string>& env = {},
                 const std::vector<std::string>& args = {}, const std::vector<int>& blocked = {});
// Reads output until standard output holds text, at most timeout seconds.
bool wait_output(Piped& p, const std::string& text, double timeout);
// Reads whatever output comes in the next seconds.
void read_output(Piped& p, double seconds);
// Writes bytes to the program's standard input.
void feed(Piped& p, const std::string& bytes);
// Closes standard input, reads both streams to their end and waits for the
// program to end; after timeout seconds it is killed (end.timed_out is set).
// Once the program has ended, whatever it left running in its process group
// is killed. Its output still open open_grace seconds after it has ended (a
// process it started holds it, maybe from a session of its own) is a failure
// of the test; the processes holding it are killed.
void finish(Piped& p, double timeout);
constexpr double open_grace = 1;
// Whether the program has ended; once it has, its output is read to the end
// and its ending recorded, as by finish.
bool has_ended(Piped& p);
// Starts, feeds input, finishes: the usual one-shot run.
void run_piped(Piped& p, const std::string& path, const std::string& input, double timeout,
               const std::vector<std::string>& env = {}, const std::vector<std::string>& args = {});

// A program running as the foreground process of its own session on a
// pseudo-terminal. Keys typed there act as on a real terminal: "\x03" (^C)
// sends SIGINT and "\x1a" (^Z) SIGTSTP through the terminal's line discipline.
struct Terminal : terminal_session {
    Ending end;         // set by wait_end
    std::string slave;  // the terminal's side the program has: "/dev/pts/3"
    int held = -1;      // the other side, kept open so that no other terminal takes that name meanwhile
    ~Terminal();
};

// Starts a program on a terminal, with args as its arguments, and with no
// signal blocked or those of blocked, as start_piped.
void start_terminal(Terminal& t, const std::string& path, const std::vector<std::string>& args = {},
                    const std::vector<int>& blocked = {});
void type(Terminal& t, const std::string& keys);
// Reads the screen until text appears at or after offset from, at most
// timeout seconds. Returns the seconds after the start at which the text was
// complete on the screen, or -1 if it did not appear in time. after, if
// given, is set to the offset just past the text.
double wait_screen(Terminal& t, const std::string& text, double timeout, size_t from = 0,
                   size_t* after = nullptr);
// Reads whatever the terminal shows in the next seconds.
void read_output(Terminal& t, double seconds);
// Waits for the program to end by itself, reading the screen meanwhile;
// kills it after timeout seconds. As finish does for a program on pipes, it
// then kills what the program left running in its process group, and fails
// the test when the terminal stays open, killing the processes that hold it.
// More than screen_flood bytes on the screen is a failure, as a flood on a
// pipe is.
void wait_end(Terminal& t, double timeout);
constexpr size_t screen_flood = 1'000'000;

// Sends a signal to a running program.
void send_signal(pid_t pid, int signal);
// Waits until the program catches every one of signals (its handlers are
// installed: the caught mask in /proc/PID/status), at most timeout seconds.
// Sending them before then would meet the default action.
bool wait_caught(pid_t pid, std::initializer_list<int> signals, double timeout);

// Gives this process a /tmp of its own: a new mount namespace (inside a new
// user namespace when not root) with an empty tmpfs on /tmp, so that a test
// may make /tmp/new without touching a learner's. Returns why not, or "" when
// done; on failure the real /tmp is still the one in view.
std::string enter_private_tmp();

// The fixture for every program test: a fresh temporary directory as the
// working directory, removed with all its contents afterwards.
class TempDirTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const { return dir + "/" + name; }
    // A copy of a file (a built program, the I/O shim), in the test's
    // directory, that a program run without the test's rights can reach,
    // at a path with no space in it. The build tree may lie where such a
    // program cannot reach (a home directory of mode 0700), and under a path
    // with spaces or colons, which LD_PRELOAD splits.
    std::string reachable_copy(const std::string& file);
    // The environment entry that loads the I/O shim (tests/io_shim.c) into
    // a program, from such a copy. A test that relies on the shim checks
    // that it did its part: ld.so only warns when it cannot load it.
    std::string shim_preload();
    std::string dir;
    std::string old_cwd;
};

// The path of strace, or "" when it is not installed.
std::string strace_path();

// File helpers for the tests.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::string pattern_bytes(size_t size);  // bytes of every value, in a pattern that never repeats at 1 KiB

// The registry (registry.txt): the programs' names, in its order; and the
// text after KEY in NAME's entry, one string for each such line (none when
// the entry has no such line).
std::vector<std::string> registry_programs();
std::vector<std::string> registry_entry(const std::string& name, const std::string& key);
