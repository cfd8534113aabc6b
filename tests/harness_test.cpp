// The harness itself, under programs that misbehave as a learner's copy may:
// one that prints without end, one that leaves a process behind holding its
// output, and a test run stopped by Ctrl-C while it runs a program.
#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <unistd.h>

namespace {

// Whether the process named name with that pid has ended (a zombie has)
// within the seconds given.
bool ends_within(pid_t pid, const std::string& name, double seconds)
{
    double deadline = now_seconds() + seconds;
    for (;;) {
        ProcessStat p = process_stat(pid);
        if (p.name != name || p.state == 'Z' || p.state == 'X')
            return true;
        if (now_seconds() > deadline)
            return false;
        usleep(20000);
    }
}

// A child of parent named name, as soon as one runs, within seconds; or 0.
pid_t child_named(pid_t parent, const std::string& name, double seconds)
{
    double deadline = now_seconds() + seconds;
    while (now_seconds() < deadline) {
        std::string children = read_file("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                                          "/children");
        for (size_t at = 0; at < children.size(); at = children.find(' ', at) + 1) {
            pid_t child = atoi(children.c_str() + at);
            if (child > 0 && process_stat(child).name == name)
                return child;
            if (children.find(' ', at) == std::string::npos)
                break;
        }
        usleep(20000);
    }
    return 0;
}

// The failures the harness reports while doing what, in one text, kept
// from failing this test.
template <typename What> std::string failures_of(What what)
{
    testing::TestPartResultArray results;
    {
        testing::ScopedFakeTestPartResultReporter fake(testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                                                       &results);
        what();
    }
    std::string text;
    for (int i = 0; i < results.size(); ++i)
        text += results.GetTestPartResult(i).message() + std::string("\n");
    return text;
}

// This process's peak memory so far, in kB (the peak set back first, where
// the kernel allows).
long peak_kb(bool reset)
{
    if (reset) {
        int fd = open("/proc/self/clear_refs", O_WRONLY);
        if (fd >= 0 && write(fd, "5", 1) < 0)
            perror("clear_refs");
        if (fd >= 0)
            close(fd);
    }
    std::string status = read_file("/proc/self/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
}

// 200 MB on standard output, as fast as a pipe takes them: the run fails at
// once with the size, and the test keeps no more than a bounded head and
// tail of it.
TEST(Harness, AFloodOfOutputIsEndedAtOnceAndCostsLittleMemory)
{
    long before = peak_kb(true);
    Piped run;
    double started = now_seconds();
    std::string failures =
        failures_of([&] { run_piped(run, "/usr/bin/head", "", 60, {}, {"-c", "200000000", "/dev/zero"}); });
    double took = now_seconds() - started;
    long grew = peak_kb(false) - before;
    EXPECT_NE(failures.find("the program wrote more than 64 MB to its standard output"), std::string::npos)
        << failures;
    EXPECT_EQ(describe(run.end), "wrote more than 64 MB to its standard output, so killed at once");
    EXPECT_LT(took, 20);
    EXPECT_LT(grew, 64 * 1024) << "kB more than before at the peak, for a run of " << run.out_bytes << " bytes";
    EXPECT_GT(run.out_bytes, Piped::flood);
    EXPECT_TRUE(run.out_text == std::string(Piped::head_kept, '\0') &&
                run.out_tail == std::string(Piped::tail_kept, '\0'))
        << "kept: " << run.out_text.size() << " bytes, and " << run.out_tail.size() << " of the end";

    // On a terminal, where each byte shown keeps its time as well, the
    // bound is lower.
    Terminal t;
    failures = failures_of([&] {
        start_terminal(t, "/usr/bin/head", {"-c", "20000000", "/dev/zero"});
        wait_end(t, 60);
    });
    EXPECT_NE(failures.find("the program wrote more than 1 MB to its terminal"), std::string::npos) << failures;
    EXPECT_LT(t.screen.size(), 2 * screen_flood);
}

// What a run that left a sleep holding its output must show: the failure
// that names it, within seconds, and the sleep gone (killed here when not,
// so that a failing run leaves nothing behind).
void expect_left_open(const std::string& failures, const std::string& output, pid_t sleeper, double took)
{
    std::string said = "the program ended but its " + output + " stayed open: a process it started still holds it "
                       "(sleep, pid " + std::to_string(sleeper);
    EXPECT_NE(failures.find(said), std::string::npos) << failures;
    EXPECT_LT(took, 10);
    bool ended = ends_within(sleeper, "sleep", 5);
    EXPECT_TRUE(ended) << "the sleep the program started is still there";
    if (!ended)
        kill(sleeper, SIGKILL);
}

// A program that ends and leaves a process behind with its output, in its
// process group or in a session of its own, on pipes or on a terminal: the
// run fails at once, naming it, and the process is ended.
TEST(Harness, OutputLeftOpenByAProcessLeftBehindFailsAndEndsIt)
{
    for (const char* start : {"sleep 600 & echo $!", "setsid sleep 600 & echo $!"}) {
        SCOPED_TRACE(start);
        Piped run;
        double started = now_seconds();
        std::string failures = failures_of([&] { run_piped(run, "/bin/sh", "", 20, {}, {"-c", start}); });
        ASSERT_GT(atoi(run.out_text.c_str()), 0) << run.out_text;
        expect_left_open(failures, "output", atoi(run.out_text.c_str()), now_seconds() - started);
        expect_exit(run.end, 0);
    }
    // On a terminal, the end of its session's leader hangs up the rest of
    // its group: only a session of its own keeps the sleep there, once it
    // has gone into it (the shell waits for that).
    Terminal t;
    double started = now_seconds();
    std::string failures = failures_of([&] {
        start_terminal(t, "/bin/sh",
                       {"-c", "setsid sleep 600 & while [ \"$(cut -d' ' -f6 /proc/$!/stat)\" != $! ]; do sleep 0.01; "
                              "done; echo \"<$!>\""});
        wait_end(t, 20);
    });
    size_t at = t.screen.find('<');
    ASSERT_NE(at, std::string::npos) << t.screen;
    expect_left_open(failures, "terminal", atoi(t.screen.c_str() + at + 1), now_seconds() - started);
}

// The run a test makes while it is stopped by Ctrl-C below: a program that
// takes SIGINT and SIGTSTP as keys of its own, as a learner's may, and runs
// until it is ended. Registered only in a process started with
// HARNESS_RUN_TO_STOP set.
constexpr const char* takes_ctrl_c = "trap 'echo interrupted' INT; trap 'echo stopped' TSTP; echo ready; "
                                     "while :; do sleep 1; done";
[[maybe_unused]] const bool run_to_stop = getenv("HARNESS_RUN_TO_STOP") != nullptr && [] {
    testing::RegisterTest("RunToStop", "TakesCtrlC", nullptr, nullptr, __FILE__, __LINE__,
                          []() -> testing::Test* {
                              struct Run : testing::Test {
                                  void TestBody() override
                                  {
                                      Piped program;
                                      run_piped(program, "/bin/sh", "", 600, {}, {"-c", takes_ctrl_c});
                                  }
                              };
                              return new Run;
                          });
    return true;
}();

// Ctrl-C at a terminal sends SIGINT to the whole foreground group: there, to
// a test process running a program. The test process ends, and so does the
// program, which runs in a group of its own: left in the test process's
// group, a program that takes SIGINT as a key of its own would go on for
// ever.
TEST(Harness, CtrlCDuringATestEndsTheProgramItRuns)
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    Piped tests;
    start_piped(tests, std::string(self, length), {"HARNESS_RUN_TO_STOP=1"}, {"--gtest_filter=RunToStop.*"});
    pid_t program = child_named(tests.pid, "sh", 30);
    ASSERT_GT(program, 0) << "no program started by the test process";
    ASSERT_TRUE(wait_caught(program, {SIGINT, SIGTSTP}, 10));
    kill(-tests.pid, SIGINT);
    // Its end, seen before the harness reaps it and ends its group.
    double deadline = now_seconds() + 30;
    while (process_stat(tests.pid).state != 'Z' && now_seconds() < deadline)
        usleep(20000);
    bool ended = ends_within(program, "sh", 5);
    ProcessStat left = process_stat(program);
    EXPECT_TRUE(ended) << "the program (pid " << program << ") is still there, in the state " << left.state
                       << ", its parent now " << left.parent;
    if (!ended)
        kill(program, SIGKILL);
    finish(tests, 10);
    expect_killed(tests.end, SIGINT);
}

}  // namespace

// A process of another devpts (a container's, say) that holds a terminal
// named as the program's is (/dev/pts/N: each devpts counts from 0) is not
// the program's: its end neither fails the test nor ends that process.
TEST(Harness, ATerminalOfTheSameNameInAnotherDevptsIsLeftAlone)
{
    Terminal t;
    start_terminal(t, "/bin/sh", {"-c", "read line"});
    ASSERT_FALSE(t.slave.empty());
    // Terminals opened in a devpts of its own until one has that name.
    const char* open_until_named = "import os, sys, time\n"
                                   "held = []\n"
                                   "while not held or os.ttyname(held[-1][1]) != sys.argv[1]:\n"
                                   "    held.append(os.openpty())\n"
                                   "print(os.ttyname(held[-1][1]), flush=True)\n"
                                   "time.sleep(600)\n";
    Piped other;
    start_piped(other, "/usr/bin/unshare", {},
                {"--mount", "--map-root-user", "/bin/sh", "-c",
                 "mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts && "
                 "mount --bind /dev/pts/ptmx /dev/ptmx && exec python3 -c \"$0\" \"$1\"",
                 open_until_named, t.slave});
    if (!wait_output(other, t.slave + "\n", 20))
        GTEST_SKIP() << "no devpts of its own for a second process here: " << in_quotes(other.err_text);
    type(t, "\n");
    std::string failures = failures_of([&] { wait_end(t, 20); });
    EXPECT_EQ(failures, "");
    expect_exit(t.end, 0);
    EXPECT_FALSE(has_ended(other)) << "the process holding " << t.slave << " of another devpts was ended";
}
