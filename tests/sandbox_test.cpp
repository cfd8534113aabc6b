// The sandbox a learner's program runs in (scripts/sandbox.sh), driven as a
// grader would, with small shell and Python commands as the hostile program.
// Each test skips, saying why, where no sandbox can be made.
#include "harness.h"

#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string sandbox_sh = std::string(SOURCE_DIR) + "/scripts/sandbox.sh";

class Sandbox : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        Piped check;
        run_piped(check, sandbox_sh, "", 60, {}, {"--check"});
        if (!check.end.exited || check.end.status != 0)
            GTEST_SKIP() << check.err_text;
        // Run as root, the sandbox is an ordinary user's: it passes through
        // the test's directory to the folders the test gives it.
        ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
        tag = dir.substr(dir.rfind('/') + 1);
    }
    void sandbox(const std::vector<std::string>& env, const std::vector<std::string>& args)
    {
        run_piped(run, sandbox_sh, "", 90, env, args);
    }
    // The processes whose command line starts with the test's tag, which the
    // hostile commands give to the processes they leave behind.
    std::vector<std::string> tagged() const
    {
        std::vector<std::string> found;
        DIR* proc = opendir("/proc");
        while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr)
            if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) &&
                read_file(std::string("/proc/") + entry->d_name + "/cmdline").rfind(tag, 0) == 0)
                found.push_back(entry->d_name);
        if (proc != nullptr)
            closedir(proc);
        return found;
    }
    Piped run;
    std::string tag;  // the test's directory's name: no other process has it
};

// The programs' own tests run in it as they do outside it: what they need (a
// user namespace of their own, strace, a terminal, a FIFO in /tmp) is there.
// A test skipped in it that runs outside it is a sandbox that takes away
// more than it must: a grade would count it not passed. And gtest's report,
// written in its /keep (a test may mount a /tmp of its own), comes out
// whole.
TEST_F(Sandbox, EveryProgramsTestsRunInIt)
{
    // Each program's tests, all at once: most of them wait on a clock.
    std::map<std::string, Piped> runs;  // by "BINARY FILTER"; each report in REPORT-N.xml
    std::map<std::string, std::string> reports;
    for (const std::string& name : registry_programs()) {
        std::istringstream words(registry_entry(name, "tests").at(0));
        std::string binary, filter;
        words >> binary >> filter;
        const std::string which = binary + " " + filter;
        if (runs.count(which) != 0)
            continue;
        reports[which] = path("report-" + std::to_string(reports.size()) + ".xml");
        start_piped(runs[which], sandbox_sh, {"SANDBOX_WALL=500"},
                    {"--keep", "result.xml", reports[which], "--", std::string(TESTS_DIR) + "/" + binary,
                     "--gtest_filter=" + filter, "--gtest_output=xml:/keep/result.xml"});
    }
    for (auto& [which, piped] : runs) {
        SCOPED_TRACE(which);
        finish(piped, 600);
        expect_exit(piped.end, 0);
        const std::string report = read_file(reports[which]);
        EXPECT_NE(report.find("<testsuites "), std::string::npos) << report;
        EXPECT_NE(report.find("</testsuites>"), std::string::npos) << report;
        const std::string tests = std::string(TESTS_DIR) + "/" + which.substr(0, which.find(' '));
        std::istringstream lines(piped.out_text);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("[  SKIPPED ] ", 0) != 0 || line.find(" (") == std::string::npos)
                continue;
            const std::string test = line.substr(13, line.find(" (") - 13);
            Piped outside;
            run_piped(outside, tests, "", 300, {}, {"--gtest_filter=" + test});
            EXPECT_NE(outside.out_text.find("[  SKIPPED ] " + test), std::string::npos)
                << test << " was skipped in the sandbox only:\n" << piped.out_text;
        }
    }
}

TEST_F(Sandbox, WritesReachTheWriteFoldersAlone)
{
    // A class's folder, read; one student's copy in it, written; another's,
    // hidden.
    for (const char* folder : {"class", "class/alice", "class/bob"})
        ASSERT_TRUE(mkdir(path(folder).c_str(), 0755) == 0 && chmod(path(folder).c_str(), 0755) == 0);
    ASSERT_EQ(chmod(path("class/alice").c_str(), 0777), 0);
    write_file(path("class/bob/answer"), "bob's\n");
    std::vector<std::string> outside = {std::string(SOURCE_DIR) + "/" + tag, path("class/bob/" + tag),
                                        "/etc/" + tag, path("class/" + tag)};
    sandbox({}, {"--read", path("class"), "--write", path("class/alice"), "--hide", path("class/bob"), "--", "sh",
                 "-c", "ls -A \"$0\"; for f; do echo x 2>/dev/null >\"$f\" && echo \"wrote $f\"; done", path("class/bob"),
                 outside[0], outside[1], outside[2], outside[3], path("class/alice/mine")});
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text, "wrote " + path("class/alice/mine") + "\n");  // and bob's folder showed empty
    for (const std::string& file : outside)
        EXPECT_NE(access(file.c_str(), F_OK), 0) << file << " was written";
    EXPECT_EQ(read_file(path("class/alice/mine")), "x\n");
    EXPECT_EQ(read_file(path("class/bob/answer")), "bob's\n");
}

TEST_F(Sandbox, NetworkSocketIsStoppedUnixSocketsWork)
{
    sandbox({}, {"--", "python3", "-c",
                 "import socket\n"
                 "a, b = socket.socketpair()\n"
                 "a.send(b'unix')\n"
                 "socket.socket(socket.AF_UNIX).close()\n"
                 "print(b.recv(4).decode(), flush=True)\n"
                 "socket.socket(socket.AF_INET)\n"
                 "print('network')\n"});
    expect_exit(run.end, 159);
    EXPECT_EQ(run.out_text, "unix\n");
    EXPECT_EQ(run.err_text, "sandbox: stopped: it opened a network socket\n");

    // A program of a test run inside the sandbox, ended so, is described
    // in the same words by the harness.
    Piped refused;
    run_piped(refused, "/bin/sh", "", 30, {}, {"-c", "kill -SYS $$"});
    EXPECT_EQ(describe(refused.end),
              "ended by signal SIGSYS: a system call it may not make was refused (a sandbox forbids it)");
}

TEST_F(Sandbox, ForkBombIsBoundedAndLeavesNothingRunning)
{
    // It forks until refused (a thousand times at most), each child leaving
    // a sleep, its own child, in a session of its own; it ends once it has
    // seen its sleeps running.
    sandbox({"SANDBOX_PROCESSES=40", "SANDBOX_WALL=60"},
            {"--", "python3", "-c",
             "import os, sys, time\n"
             "forks = 0\n"
             "try:\n"
             "    while forks < 1000:\n"
             "        pid = os.fork()\n"
             "        if pid == 0:\n"
             "            try:\n"
             "                os.setsid()\n"
             "                if os.fork() == 0:\n"
             "                    os.execvp('sleep', [sys.argv[1], '1000'])\n"
             "                os._exit(0)\n"
             "            except OSError:\n"
             "                os._exit(1)\n"
             "        forks += 1\n"
             "        if os.waitpid(pid, 0)[1] != 0:\n"
             "            break\n"
             "except BlockingIOError:\n"
             "    pass\n"
             "print('refused after', forks, 'forks', flush=True)\n"
             "def sleeping(pid):\n"
             "    try:\n"
             "        return open(f'/proc/{pid}/cmdline', 'rb').read().startswith(sys.argv[1].encode())\n"
             "    except OSError:\n"
             "        return False\n"
             "while (running := sum(sleeping(p) for p in os.listdir('/proc') if p.isdigit())) < forks - 1:\n"
             "    time.sleep(0.05)\n"
             "print('sleeps running:', running)\n",
             tag});
    expect_exit(run.end, 0);
    int forks = std::atoi(run.out_text.c_str() + run.out_text.find_first_of("0123456789"));
    EXPECT_TRUE(forks >= 20 && forks < 40) << run.out_text;
    EXPECT_EQ(run.out_text, "refused after " + std::to_string(forks) + " forks\nsleeps running: " +
                                std::to_string(forks - 1) + "\n");
    EXPECT_EQ(tagged(), std::vector<std::string>{}) << "left running after the sandbox ended";
}

TEST_F(Sandbox, CpuMemoryAndFileBoundsStopIt)
{
    sandbox({"SANDBOX_CPU=1"}, {"--", "python3", "-c", "while True: pass"});
    expect_exit(run.end, 152);
    EXPECT_EQ(run.err_text, "sandbox: stopped: it used more than 1 s of CPU time\n");

    // An address space of a gigabyte, never touched: refused with --memory
    // alone.
    const std::string big = "b = bytearray(1 << 30); print('allowed')";
    sandbox({"SANDBOX_MEMORY_MIB=256"}, {"--", "python3", "-c", big});
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text, "allowed\n");
    sandbox({"SANDBOX_MEMORY_MIB=256"}, {"--memory", "--", "python3", "-c", big});
    expect_exit(run.end, 1);
    EXPECT_NE(run.err_text.find("MemoryError"), std::string::npos) << run.err_text;

    // Output without end, into a file the caller opened.
    Piped flood;
    run_piped(flood, "/bin/sh", "", 90, {"SANDBOX_FILE_MIB=1"}, {"-c", "exec \"$0\" -- yes >out", sandbox_sh});
    expect_exit(flood.end, 153);
    EXPECT_EQ(flood.err_text, "sandbox: stopped: it wrote more than 1 MiB to a file\n");
    EXPECT_EQ(read_file(path("out")).size(), 1u << 20);
}

// The file kept from /keep is taken only where it is a file: a FIFO put in
// its place would hold the copy for ever, a link would bring out what it
// points to. Either gives an empty file, at once.
TEST_F(Sandbox, KeptFileIsTakenOnlyWhenItIsAFile)
{
    for (const char* planted : {"mkfifo /keep/result", "ln -s /etc/passwd /keep/result"}) {
        SCOPED_TRACE(planted);
        write_file(path("kept"), "old\n");
        sandbox({"SANDBOX_WALL=30"}, {"--keep", "result", path("kept"), "--", "sh", "-c", planted});
        expect_exit(run.end, 0);
        EXPECT_EQ(read_file(path("kept")), "");
    }
}

TEST_F(Sandbox, WallTimeEndsItAndAllItStarted)
{
    // A sleep in a session of its own, seen running; then a sleep.
    sandbox({"SANDBOX_WALL=5"},
            {"--", "sh", "-c",
             "python3 -c \"$0\" \"$1\" && exec sleep 1000",
             "import os, sys, time\n"
             "pid = os.fork()\n"
             "if pid == 0:\n"
             "    os.setsid()\n"
             "    os.execvp('sleep', [sys.argv[1], '1000'])\n"
             "while not open(f'/proc/{pid}/cmdline', 'rb').read().startswith(sys.argv[1].encode()):\n"
             "    time.sleep(0.05)\n"
             "print('sleep running')\n",
             tag});
    expect_exit(run.end, 124);
    EXPECT_EQ(run.out_text, "sleep running\n");
    EXPECT_EQ(run.err_text, "sandbox: stopped: it ran for more than 5 s, its wall time\n");
    EXPECT_EQ(tagged(), std::vector<std::string>{}) << "left running after the sandbox ended";
}

}  // namespace
