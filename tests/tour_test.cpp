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
        for (const char* tool : {"bash", "env", "id", "true", "dirname", "mktemp", "rm", "cat", "grep", "sed"}) {
            std::string real = std::string("/usr/bin/") + tool;
            if (access(real.c_str(), X_OK) != 0)
                real = std::string("/bin/") + tool;
            ASSERT_EQ(symlink(real.c_str(), path("bin/" + std::string(tool)).c_str()), 0) << tool;
        }
        fake("sudo", "[ \"$1\" = -n ] && shift; exec \"$@\"");
        fake("apt-get", "echo \"apt-get $DEBIAN_FRONTEND $*\" >>" + path("apt.log"));
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
            skip_reason = "the trace view is for the tour's plain build: a sanitizer's runtime adds "
                          "calls of its own, and LeakSanitizer cannot run under strace";
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
    EXPECT_NE(read_file(path("apt.log")).find("apt-get noninteractive -q update\n"
                                          "apt-get noninteractive -q install -y --no-install-recommends "
                                          "g++ make cmake\n"),
              std::string::npos)
        << read_file(path("apt.log"));

    run_script("setup.sh", "trace");  // the tour's --trace also needs strace
    expect_exit(run.end, 0);
    EXPECT_NE(read_file(path("apt.log")).find("install -y --no-install-recommends g++ make cmake strace\n"),
              std::string::npos)
        << read_file(path("apt.log"));

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

// The driver shows each answer typed after its prompt, and a stop that goes
// wrong says so and fails.
TEST_F(Tour, DriverTypesAfterThePromptAndReportsAFailedStop)
{
    run_piped(run, ONSCREEN, "", 60, {},
              {program("records"), "expect:Enter your choice: ", "type:4\\n", "expect:Exited.", "end"});
    EXPECT_NE(run.out_text.find("Enter your choice: 4\nExited.\n(exit status 0)\n"), std::string::npos)
        << run.out_text;
    expect_exit(run.end, 0);

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
                           "\n    newfstatat(4, ", ") = 0\n    newfstatat(1, ",
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

// Interrupted (Ctrl-C on the tour), the driver ends the program it runs
// before it goes, and goes by the same signal, so the tour's shell stops too.
TEST_F(Tour, InterruptedDriverLeavesNoProgramBehind)
{
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

}  // namespace
