// The newcomer's way in: the set-up step and the tour's terminal driver.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Tour : public TempDirTest {
protected:
    // A bin directory holding only the commands the scripts need of the
    // machine, an apt-get that logs how it is called and a sudo that just
    // runs the command.
    void make_bin()
    {
        ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
        for (const char* tool :
             {"bash", "sh", "awk", "env", "id", "true", "dirname", "mktemp", "rm", "cat", "grep", "sed"}) {
            std::string real = std::string("/usr/bin/") + tool;
            if (access(real.c_str(), X_OK) != 0)
                real = std::string("/bin/") + tool;
            ASSERT_EQ(symlink(real.c_str(), path("bin/" + std::string(tool)).c_str()), 0) << tool;
        }
        fake("sudo", "[ \"$1\" = -n ] && shift; exec \"$@\"");
        // It reports its progress as apt-get does, on the descriptor it is given.
        fake("apt-get", "echo \"apt-get $DEBIAN_FRONTEND $*\" >>" + path("apt.log") +
                            "\ncase \"$*\" in *Status-Fd=3*) echo pmstatus:g++:57.1:Installing g++ >&3 ;; esac");
    }
    void fake(const std::string& name, const std::string& body)
    {
        write_file(path("bin/" + name), "#!/bin/sh\n" + body + "\n");
        ASSERT_EQ(chmod(path("bin/" + name).c_str(), 0755), 0);
    }
    // Runs a program on a terminal under strace through the tour's driver,
    // playing steps, and returns what the tour's trace view makes of it.
    // Where that cannot be done here, skip_reason says why.
    std::string trace_view(const char* name, std::vector<std::string> steps)
    {
        if (SANITIZED) {
            skip_reason = std::string("the trace view is for the tour's plain build: a sanitizer's runtime adds "
                                      "calls of its own") +
                          (strcmp(SANITIZER, "address") == 0 ? ", and LeakSanitizer cannot run under strace" : "");
            return "";
        }
        if (access("/usr/bin/strace", X_OK) != 0 && access("/bin/strace", X_OK) != 0) {
            skip_reason = "strace is not installed (scripts/setup.sh test installs it)";
            return "";
        }
        steps.insert(steps.begin(), {"--trace", path("trace"), program(name)});
        run_piped(run, ONSCREEN, "", 60, {}, steps);
        expect_exit(run.end, 0);
        run_piped(run, "/usr/bin/env", "", 20, {},
                  {"awk", "-v", std::string("program=") + name, "-f",
                   std::string(SOURCE_DIR) + "/scripts/trace_view.awk", path("trace")});
        expect_exit(run.end, 0);
        return run.out_text;
    }
    // Each of lines appears in view, in this order.
    static void expect_in_order(const std::string& view, std::initializer_list<const char*> lines)
    {
        size_t at = 0;
        for (const char* line : lines) {
            size_t found = view.find(line, at);
            ASSERT_NE(found, std::string::npos) << "'" << line << "' not in order in:\n" << view;
            at = found + strlen(line);
        }
    }
    void run_script(const std::string& script, const std::string& arg)
    {
        run_piped(run, "/bin/bash", "", 60, {"PATH=" + path("bin"), "CI=true"},
                  {std::string(SOURCE_DIR) + "/scripts/" + script, arg});
    }
    Piped run;
    std::string skip_reason;
};

// On a machine without the tools: the set-up step installs exactly what is
// missing, without a question, and where it cannot install it stops at once
// with the command to run. The tour refuses an unknown stop before anything.
TEST_F(Tour, SetupInstallsWhatIsMissingOrSaysHow)
{
    make_bin();
    run_script("setup.sh", "tour");
    expect_exit(run.end, 0);
    EXPECT_NE(read_file(path("apt.log")).find("apt-get noninteractive -q -o APT::Status-Fd=3 update\n"),
              std::string::npos)
        << read_file(path("apt.log"));
    EXPECT_NE(read_file(path("apt.log")).find("apt-get noninteractive -q -o APT::Status-Fd=3 install -y "
                                              "--no-install-recommends g++ make cmake\n"),
              std::string::npos)
        << read_file(path("apt.log"));
    EXPECT_NE(run.out_text.find("\nsetup: installing:  50%  Installing g++\n"), std::string::npos) << run.out_text;

    run_script("setup.sh", "trace");  // the tour's --trace also needs strace
    expect_exit(run.end, 0);
    EXPECT_NE(read_file(path("apt.log")).find("install -y --no-install-recommends g++ make cmake strace\n"),
              std::string::npos)
        << read_file(path("apt.log"));

    // A user whom sudo would not let in is told so, with the line for root.
    ASSERT_EQ(unlink(path("bin/id").c_str()), 0);
    fake("id", "case $1 in -u) echo 1000 ;; -un) echo learner ;; *) echo learner ;; esac");
    fake("sudo", "echo 'sudo: a password is required' >&2; exit 1");
    run_script("setup.sh", "tour");
    expect_exit(run.end, 1);
    EXPECT_EQ(run.err_text, "setup: missing g++ make cmake; installing them needs root, and you (learner) are in "
                            "no group that may use sudo.\nsetup: someone with root must install them, with:  "
                            "apt-get update && apt-get install -y --no-install-recommends g++ make cmake\n");

    ASSERT_EQ(unlink(path("bin/apt-get").c_str()), 0);
    run_script("setup.sh", "tour");
    expect_exit(run.end, 1);
    EXPECT_NE(run.err_text.find("setup: install them with:  sudo apt-get update && sudo apt-get install -y "
                                "--no-install-recommends g++ make cmake\n"),
              std::string::npos)
        << run.err_text;

    run_script("tour.sh", "nosuchstop");
    expect_exit(run.end, 2);
    EXPECT_EQ(run.err_text.rfind("tour: no stop named 'nosuchstop' (stops: copyfile atm_sim", 0), 0u)
        << run.err_text;
}

// On a shared machine another user's FIFO at /tmp/new, which the tour's
// clients cannot write into, skips the server stop with the reason, and the
// tour still ends well. Played in a /tmp of the test's own, by a user who is
// not the FIFO's owner (nobody, when the test runs as root); the build is a
// stand-in, as the stop is skipped before any program runs.
TEST_F(Tour, SkipsTheServerStopOnAnotherUsersFifo)
{
    TempDirTest::TearDown();  // the directory is made again inside the new /tmp
    std::string no_private_tmp = enter_private_tmp();
    TempDirTest::SetUp();
    if (!no_private_tmp.empty())
        GTEST_SKIP() << "no /tmp of the test's own to make /tmp/new in (" << no_private_tmp << ")";
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
    fake("cmake", "exit 0");
    // The scripts, copied where nobody can reach them: the clone may be in
    // a home directory of mode 0700.
    ASSERT_EQ(mkdir(path("tour").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("tour/scripts").c_str(), 0755), 0);
    for (const char* script : {"tour.sh", "setup.sh"}) {
        write_file(path("tour/scripts/") + script, read_file(std::string(SOURCE_DIR) + "/scripts/" + script));
        ASSERT_EQ(chmod((path("tour/scripts/") + script).c_str(), 0755), 0);
    }
    std::vector<std::string> as_user = {"/bin/bash"};
    if (geteuid() == 0) {
        ASSERT_EQ(mkfifo("/tmp/new", 0644), 0);  // root's, which nobody may only read
        as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash"};
    } else {
        ASSERT_EQ(mkfifo("/tmp/new", 0444), 0);  // one that its owner may not write into
    }
    std::vector<std::string> args(as_user.begin() + 1, as_user.end());
    args.insert(args.end(), {path("tour/scripts/tour.sh"), "server"});
    run_piped(run, as_user[0], "", 60, {"PATH=" + path("bin") + ":/usr/bin:/bin", "CI=true"}, args);
    expect_exit(run.end, 0);
    EXPECT_NE(run.out_text.find("(skipped: /tmp/new is a FIFO of "), std::string::npos) << run.out_text;
    EXPECT_NE(run.out_text.find(" root can remove it (rm /tmp/new)"), std::string::npos) << run.out_text;
    EXPECT_EQ(run.err_text, "") << run.err_text;
}

// The driver shows each answer typed after its prompt, and a stop that goes
// wrong says so and fails.
TEST_F(Tour, DriverTypesAfterThePromptAndReportsAFailedStop)
{
    run_piped(run, ONSCREEN, "", 60, {},
              {program("records"), "expect:Enter your choice: ", "type:4\\n", "expect:Exited.", "end"});
    EXPECT_NE(run.out_text.find("Enter your choice: 4\nExited.\n(exit status 0)\n"), std::string::npos)
        << run.out_text;
    expect_exit(run.end, 0);

    run_piped(run, ONSCREEN, "", 60, {}, {program("sigusr_toggle"), "expect:Working", "sleep:1s"});
    EXPECT_NE(run.out_text.find("tour: sigusr_toggle: step 'sleep:1s': the seconds to sleep must be a number"),
              std::string::npos)
        << run.out_text;
    expect_exit(run.end, 1);

    // The program's side of the terminal cannot be opened (no descriptor
    // left): the child says so on the driver's standard error.
    run_piped(run, "/usr/bin/prlimit", "", 60, {}, {"--nofile=4", ONSCREEN, program("mutex_counter"), "end"});
    EXPECT_NE(run.err_text.find(": Too many open files\n"), std::string::npos) << run.err_text;
    EXPECT_NE(run.out_text.find("(exit status 127)"), std::string::npos) << run.out_text;

    run_piped(run, ONSCREEN, "", 60, {}, {program("mutex_counter"), "expect:Final value: 501"});
    EXPECT_NE(run.out_text.find("tour: mutex_counter: ended before 'Final value: 501' appeared "
                                "(mutex_counter: exit status 0)\n"),
              std::string::npos)
        << run.out_text;
    expect_exit(run.end, 1);
}

// The ATM timeline, drawn from the times atm_sim's lines appeared: five
// rows, one turn each of about two seconds, no column taken by two turns.
TEST_F(Tour, AtmTimelineShowsFiveTurnsOneAtATime)
{
    run_piped(run, ONSCREEN, "", 60, {},
              {"--lines", path("lines"), program("atm_sim"), "expect:Simulation complete.", "end"});
    expect_exit(run.end, 0);
    run_piped(run, "/usr/bin/env", "", 20, {},
              {"awk", "-f", std::string(SOURCE_DIR) + "/scripts/atm_timeline.awk", path("lines")});
    expect_exit(run.end, 0);
    std::vector<std::string> rows;
    for (size_t at = 0, end; (end = run.out_text.find('\n', at)) != std::string::npos; at = end + 1)
        if (run.out_text.compare(at, 5, "User ") == 0)
            rows.push_back(run.out_text.substr(at + 8, end - at - 8));
    ASSERT_EQ(rows.size(), 5u) << run.out_text;
    std::string taken;
    for (const std::string& row : rows) {
        size_t from = row.find('=');
        size_t to = row.find_last_of('=') + 1;
        ASSERT_NE(from, std::string::npos) << run.out_text;
        EXPECT_EQ(row.find(' ', from), std::string::npos) << "a turn in pieces:\n" << run.out_text;
        EXPECT_GE(to - from, 9u) << run.out_text;  // two seconds are ten columns
        EXPECT_LE(to - from, 15u) << run.out_text;
        taken.resize(std::max(taken.size(), to), ' ');
        for (size_t c = from; c < to; ++c) {
            EXPECT_EQ(taken[c], ' ') << "two turns at once:\n" << run.out_text;
            taken[c] = '=';
        }
    }
    EXPECT_NE(run.out_text.find("5 turns of "), std::string::npos) << run.out_text;
}

// The trace view of a copy: the start-up folded into a count, the paths read
// a byte at a time, the checks of the destination (standard output's among
// them) in one group, the copy's read and write pairs folded after the
// first, the short last pair, the end of the source, and the closes, source
// first.
TEST_F(Tour, TraceFoldsTheCopysRepeatedPairs)
{
    write_file(path("source"), pattern_bytes(10 * 1024 + 100));
    std::string view = trace_view("copyfile", {"expect:source file path: ", "type:source\\n",
                                               "expect:destination file path: ", "type:copy\\n",
                                               "expect:Copying complete!", "end"});
    if (!skip_reason.empty())
        GTEST_SKIP() << skip_reason;
    EXPECT_EQ(read_file(path("copy")), read_file(path("source")));
    EXPECT_EQ(view.find("execve("), std::string::npos) << "start-up not folded:\n" << view;
    expect_in_order(view, {"  Start-up: ", " calls: ", "\n  Reads a path a byte at a time",
                           "\n    read(0, \"s\", 1) = 1\n", "\n    read(3, ", ", 1024) = 1024\n",
                           "tat(4, ", ") = 0\n    ", "tat(1, ",  // newfstatat, or fstat from glibc 2.41
                           "\n    read(3, ..., 1024) = 1024 / write(4, ..., 1024) = 1024, "
                           "8 more pairs like these\n",
                           "1024) = 100\n", ", 100) = 100\n", "read(3, \"\", 1024) = 0\n",
                           "    close(3) = 0\n    close(4) = 0\n"});
}

// The trace view of a signal: SIGINT shown arriving inside the wait, in
// ppoll, with the handler's farewell written after it, and the end.
TEST_F(Tour, TraceShowsTheSignalArrivingInsideTheWait)
{
    std::string view = trace_view("sigint_loop", {"expect:program...\\n", "key:^C",
                                                  "expect:terminating safely.", "end"});
    if (!skip_reason.empty())
        GTEST_SKIP() << skip_reason;
    expect_in_order(view, {"rt_sigprocmask(SIG_BLOCK, [INT], ", "\n  SIGINT arrives inside the wait",
                           "\n    ppoll(NULL, 0, {tv_sec=2, tv_nsec=0}, [], 8) = ? ERESTART",
                           "\n    --- SIGINT ", "\n    write(1, \"SIGINT caught, ",
                           "\n    exit_group(0) = ?\n"});
}

// The tour's notes are dimmed on a terminal that can show it, and plain on
// one that cannot (TERM=dumb).
TEST_F(Tour, NotesAreDimmedOnlyWhereTheTerminalCanShowIt)
{
    for (const char* term : {"xterm", "dumb"}) {
        SCOPED_TRACE(term);
        write_file(path("tour"), std::string("#!/bin/sh\nTERM=") + term + " exec " ONSCREEN " " +
                                     program("mutex_counter") + " end\n");
        ASSERT_EQ(chmod(path("tour").c_str(), 0755), 0);
        Terminal t;
        start_terminal(t, path("tour"));
        wait_end(t, 60);
        expect_exit(t.end, 0);
        bool dimmed = t.screen.find("\033[2m(exit status 0)\033[0m") != std::string::npos;
        EXPECT_EQ(dimmed, strcmp(term, "dumb") != 0) << t.screen;
        EXPECT_NE(t.screen.find("(exit status 0)"), std::string::npos) << t.screen;
    }
}

// Interrupted (Ctrl-C on the tour), the driver ends the program it runs
// before it goes, and goes by the same signal, so the tour's shell stops too:
// at once, also while a client command runs after the program has ended.
TEST_F(Tour, InterruptedDriverLeavesNoProgramBehind)
{
    // The client ends the program (the driver's other child), then stays.
    start_piped(run, ONSCREEN, {},
                {program("sigint_loop"), "expect:program...",
                 "run:for p in $(cat /proc/$PPID/task/$PPID/children); do [ $p = $$ ] || kill -INT $p; done; "
                 "exec sleep 30"});
    ASSERT_TRUE(wait_output(run, "terminating safely.", 20)) << run.out_text;
    double interrupted = now_seconds();
    send_signal(run.pid, SIGINT);
    finish(run, 20);
    expect_killed(run.end, SIGINT);
    EXPECT_LT(now_seconds() - interrupted, 5) << "the driver waited on for its client";

    start_piped(run, ONSCREEN, {}, {program("sigusr_toggle"), "sleep:60"});
    ASSERT_TRUE(wait_output(run, "Working...", 20)) << run.out_text;
    std::string children = read_file("/proc/" + std::to_string(run.pid) + "/task/" +
                                     std::to_string(run.pid) + "/children");
    pid_t program_pid = atoi(children.c_str());
    ASSERT_GT(program_pid, 0) << "children: '" << children << "'";
    send_signal(run.pid, SIGINT);
    finish(run, 20);
    expect_killed(run.end, SIGINT);
    EXPECT_TRUE(kill(program_pid, 0) == -1 && errno == ESRCH) << "sigusr_toggle still there";
}

// What the trace view makes of a trace under tests/traces/, recorded on
// Debian 13 (glibc 2.41) as the tour's --trace records one: every call in it
// is one the view can name.
std::string recorded_view(Piped& run, const char* name, const char* trace)
{
    run_piped(run, "/usr/bin/env", "", 20, {},
              {"awk", "-v", std::string("program=") + name, "-f", std::string(SOURCE_DIR) + "/scripts/trace_view.awk",
               std::string(SOURCE_DIR) + "/tests/traces/" + trace});
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text.find("Other calls"), std::string::npos) << run.out_text;
    return run.out_text;
}

// glibc 2.41 asks what a standard stream is with fstat(FD, ...): each such
// question is shown as the C library's, none as copyfile's own check.
TEST_F(Tour, TraceViewKnowsTheStandardStreamChecksOfGlibc241)
{
    expect_in_order(recorded_view(run, "copyfile", "copyfile-glibc-2.41.trace"),
                    {"  Before its first use of standard output, ", "a terminal",
                     ":\n    fstat(1, {st_mode=S_IFCHR|0600, ...}) = 0\n", "  Reads a path a byte at a time",
                     "  Checks that the destination is neither the source nor the file standard output goes to",
                     "\n    fstat(3, ", "\n    fstat(4, ", "\n    fstat(1, ",
                     "destination; the last read is short:\n"});
    expect_in_order(recorded_view(run, "records", "records-piped-glibc-2.41.trace"),
                    {"  Before its first use of standard output, ", "not a terminal",
                     ":\n    fstat(1, {st_mode=S_IFIFO|0600, st_size=0, ...}) = 0\n",
                     "  Before its first use of standard input, ", "not a terminal",
                     ":\n    fstat(0, {st_mode=S_IFIFO|0600, st_size=0, ...}) = 0\n"});
}

// A source of whole blocks: the view of its copy says no read is short (the
// copy recorded above ends on a short one, and says so).
TEST_F(Tour, TraceOfACopyOfWholeBlocksHasNoShortRead)
{
    write_file(path("source"), pattern_bytes(3 * 1024));
    std::string view = trace_view("copyfile", {"expect:source file path: ", "type:source\\n",
                                               "expect:destination file path: ", "type:copy\\n",
                                               "expect:Copying complete!", "end"});
    if (!skip_reason.empty())
        GTEST_SKIP() << skip_reason;
    expect_in_order(view, {"  Copies 1024 bytes at a time: ", "1024) = 1024\n", "read(3, \"\", 1024) = 0\n"});
    EXPECT_EQ(view.find("short"), std::string::npos) << view;
}

// A handler installed is told as one; two are named each.
TEST_F(Tour, TraceViewCountsTheHandlersInstalled)
{
    expect_in_order(recorded_view(run, "sigint_loop", "sigint_loop-glibc-2.41.trace"),
                    {"\n  Installs the handler for SIGINT (sa_mask: ", "\n    rt_sigaction(SIGINT, "});
    expect_in_order(recorded_view(run, "pause_timer", "pause_timer-glibc-2.41.trace"),
                    {"\n  Installs a handler for each of SIGINT and SIGTSTP (sa_mask: ",
                     "\n    rt_sigaction(SIGINT, ", "\n    rt_sigaction(SIGTSTP, "});
}

}  // namespace
