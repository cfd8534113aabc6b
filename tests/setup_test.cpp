// The set-up step and the test runner, driven with stand-ins for apt-get,
// cmake and ctest that say what the real ones would, step by step: each
// step held until the test has seen what the script made of the one before.
#include "harness.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

class Setup : public TempDirTest {
protected:
    // A bin directory with the machine's tools that the scripts use, and
    // stand-ins (true) for the commands given.
    void make_bin(std::initializer_list<const char*> stand_ins)
    {
        ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
        for (const char* tool : {"bash", "sh", "env", "id", "dirname", "mktemp", "rm", "cat", "grep", "sed", "sleep",
                                 "ln", "true"})
            link(tool, tool);
        // mawk where there is one: Debian's awk, which reads a pipe in blocks.
        link(access("/usr/bin/mawk", X_OK) == 0 ? "mawk" : "awk", "awk");
        for (const char* command : stand_ins)
            link("true", command);
        // For an ordinary user the set-up goes through sudo: one that lets
        // the user be root, as a user with sudo rights has.
        if (geteuid() != 0)
            fake("sudo", "[ \"$1\" != -n ] || shift\nexec \"$@\"");
    }
    void link(const std::string& tool, const std::string& as)
    {
        std::string real = "/usr/bin/" + tool;
        if (access(real.c_str(), X_OK) != 0)
            real = "/bin/" + tool;
        ASSERT_EQ(symlink(real.c_str(), path("bin/" + as).c_str()), 0) << tool;
    }
    // A stand-in; in its body, "hold NAME" waits (a minute at most) until
    // the test lets it go on with let_go(NAME).
    void fake(const std::string& name, const std::string& body)
    {
        write_file(path("bin/" + name), "#!/bin/sh\nhold() { i=0; while [ ! -e " + path("") +
                                            "\"$1\" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done; }\n" +
                                            body + "\n");
        ASSERT_EQ(chmod(path("bin/" + name).c_str(), 0755), 0);
    }
    void let_go(const std::string& name) { write_file(path(name), ""); }
    // Each text shown while a stand-in holds, before the test lets it go on
    // past the step named with it; then the end, with status.
    void expect_each_in_time(std::initializer_list<std::pair<const char*, const char*>> shown_then_go, int status)
    {
        for (const auto& [text, step] : shown_then_go) {
            EXPECT_TRUE(wait_output(run, text, 30)) << "'" << text << "' did not come in time:\n" << run.out_text;
            let_go(step);
        }
        finish(run, 60);
        expect_exit(run.end, status);
    }
    void start_setup(const char* what)
    {
        start_piped(run, "/bin/bash", {"PATH=" + path("bin"), "CI=true"},
                    {std::string(SOURCE_DIR) + "/scripts/setup.sh", what});
    }
    // A copy of the project's scripts/test.sh in tree/, with a set-up step
    // that finds everything there; run with the stand-ins first on the PATH.
    void make_tree()
    {
        for (const char* dir : {"bin", "tree", "tree/scripts", "tree/build"})
            ASSERT_EQ(mkdir(path(dir).c_str(), 0755), 0);
        for (const char* script : {"test.sh", "wrap.sh"})
            write_file(path("tree/scripts/") + script, read_file(std::string(SOURCE_DIR) + "/scripts/" + script));
        write_file(path("tree/scripts/setup.sh"), "#!/bin/sh\nexit 0\n");
        for (const char* script : {"tree/scripts/test.sh", "tree/scripts/setup.sh"})
            ASSERT_EQ(chmod(path(script).c_str(), 0755), 0);
    }
    void start_test_sh()
    {
        start_piped(run, "/bin/bash", {"PATH=" + path("bin") + ":/usr/bin:/bin"},
                    {path("tree/scripts/test.sh"), "plain"});
    }
    // The build (its last step held at "build") and the tests: three
    // passed, one failed, two skipped, the last result held at "tests";
    // then the results in CTest's JUnit file.
    void fake_build_and_tests()
    {
        make_tree();
        fake("cmake", "[ \"$1\" = --build ] || exit 0\n"
                      "echo '[ 50%] Building CXX object tests/CMakeFiles/harness.dir/harness.cpp.o'\n"
                      "hold build\necho '[100%] Built target harness'");
        fake("ctest", "for a; do [ \"$prev\" != --output-junit ] || junit=$a; prev=$a; done\n"
                      "for n in 1 2 3 4 5 6; do echo \"    Start $n: T.t$n\"; done\n"
                      "echo '1/6 Test #2: T.t2 .....   Passed    0.01 sec'\n"
                      "echo '2/6 Test #1: T.t1 .....***Skipped   0.01 sec'\n"
                      "echo '3/6 Test #3: T.t3 .....   Passed    0.01 sec'\n"
                      "echo '4/6 Test #5: T.t5  # GetParam() = 5 .....***Failed    0.01 sec'\n"
                      "echo '5/6 Test #4: T.t4 .....***Skipped   0.01 sec'\n"
                      "hold tests\necho '6/6 Test #6: T.t6 .....   Passed    0.01 sec'\n"
                      "mkdir -p \"${junit%/*}\"\ncat >\"$junit\" <<'EOF'\n"
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"plain\" tests=\"6\">\n"
                      "<testcase name=\"T.t2\" status=\"run\"><system-out>fine</system-out></testcase>\n"
                      "<testcase name=\"T.t1\" status=\"notrun\"><skipped message=\"SKIP_REGULAR_EXPRESSION_MATCHED\"/>"
                      "<system-out>[ RUN      ] T.t1\nt.cpp:9: Skipped\nneeds root\n\n[  SKIPPED ] T.t1</system-out></testcase>\n"
                      "<testcase name=\"T.t3\" status=\"run\"/>\n"
                      "<testcase name=\"T.t5  # GetParam() = 5\" status=\"fail\"><failure message=\"\"/>"
                      "<system-out>t.cpp:5: Failure\nExpected: 1 &lt; 0</system-out></testcase>\n"
                      "<testcase name=\"T.t4\" status=\"notrun\"><skipped message=\"SKIP_REGULAR_EXPRESSION_MATCHED\"/>"
                      "<system-out/></testcase>\n<testcase name=\"T.t6\" status=\"run\"/>\n</testsuite>\nEOF\nexit 8");
    }
    Piped run;
};

// What apt-get says it installed but is still not to be found is named,
// and the set-up fails. The tests' set asks for the linters too.
TEST_F(Setup, SaysWhatIsStillMissingAfterInstalling)
{
    make_bin({"g++", "gcc", "make", "cmake", "clang++", "readelf", "addr2line", "objdump", "python3", "git", "patch",
              "strace", "bwrap", "xmllint", "inotifywait", "asciinema"});
    fake("apt-get", "exit 0");  // installs nothing
    start_setup("test");
    finish(run, 60);
    expect_exit(run.end, 1);
    EXPECT_NE(run.err_text.find("setup: apt-get ended well, yet shellcheck pyflakes3 still cannot be found here"),
              std::string::npos)
        << run.err_text;
    EXPECT_EQ(run.out_text.find("installed"), std::string::npos) << run.out_text;
}

// Each line of apt-get's progress shows while apt-get is still at that
// step, whatever awk the machine has.
TEST_F(Setup, ShowsEachStepOfTheInstallAsItComes)
{
    make_bin({"g++", "gcc", "make", "cmake", "git"});
    fake("apt-get", "case \"$*\" in *Status-Fd=3*\" install \"*)\n"
                    "  echo dlstatus:1:20.5:Retrieving file 1 of 1 >&3; hold downloaded\n"
                    "  echo pmstatus:strace:amd64:60:Installing strace:amd64 >&3; hold installed\n"
                    "  ln -s /bin/true " +
                        path("bin/strace") + " ;;\nesac");
    start_setup("what-if");
    expect_each_in_time({{"setup: downloading:  20%  Retrieving file 1 of 1\n", "downloaded"},
                         {"setup: installing:  60%  Installing strace:amd64\n", "installed"}},
                        0);
    EXPECT_NE(run.out_text.find("\nsetup: installed strace\n"), std::string::npos) << run.out_text;
}

// A configuration whose build log cannot be written is not built, and the
// run fails, saying why.
TEST_F(Setup, TestRunnerFailsWhereItsLogCannotBeWritten)
{
    make_tree();
    fake("cmake", "echo \"$*\" >>" + path("cmake.log"));
    ASSERT_EQ(mkdir(path("tree/build/plain.build.log").c_str(), 0755), 0);  // where the log should be
    start_test_sh();
    finish(run, 60);
    expect_exit(run.end, 1);
    EXPECT_EQ(run.err_text.rfind("== plain: cannot write its log, build/plain.build.log: ", 0), 0u) << run.err_text;
    EXPECT_EQ(run.out_text.find("the build failed"), std::string::npos) << run.out_text;
    EXPECT_NE(access(path("cmake.log").c_str(), F_OK), 0) << read_file(path("cmake.log"));
}

// The counts come in one order everywhere: passed, failed, skipped.
TEST_F(Setup, TestRunnerCountsInOneOrder)
{
    fake_build_and_tests();
    let_go("build");
    let_go("tests");
    start_test_sh();
    finish(run, 60);
    expect_exit(run.end, 1);
    EXPECT_NE(run.out_text.find("\n== plain: 3 passed, 1 failed, 2 skipped\n"), std::string::npos) << run.out_text;
    EXPECT_NE(run.out_text.find("\nconfiguration  passed  failed  skipped     time\n"
                                "plain               3       1        2 "),
              std::string::npos)
        << run.out_text;
    EXPECT_NE(run.out_text.find("\ntest: 3 passed, 1 failed, 2 skipped\n"), std::string::npos) << run.out_text;
    // Each skipped test with its reason, each failed one with its output,
    // as CTest's JUnit file gives them; the file stays for CI to read.
    EXPECT_NE(run.out_text.find("\n-- skipped T.t1: needs root\n-- skipped T.t4: \n"
                                "-- FAILED T.t5, its output in full:\nt.cpp:5: Failure\nExpected: 1 < 0\n"),
              std::string::npos)
        << run.out_text;
    EXPECT_EQ(access(path("tree/build/plain/junit.xml").c_str(), R_OK), 0);
}

// The lint finds shell and Python files by their name or by their first
// line, those git would add as well as those it tracks, and fails on any
// finding, naming the file; other files it leaves alone.
TEST_F(Setup, LintFindsScriptsByNameAndFirstLine)
{
    for (const char* tool : {"shellcheck", "pyflakes3"})
        if (system(("command -v " + std::string(tool) + " >/dev/null").c_str()) != 0)
            GTEST_SKIP() << tool << " is missing (scripts/setup.sh test installs it)";
    for (const char* dir : {"tree", "tree/scripts", "tree/tools"})
        ASSERT_EQ(mkdir(path(dir).c_str(), 0755), 0);
    write_file(path("tree/scripts/lint.sh"), read_file(std::string(SOURCE_DIR) + "/scripts/lint.sh"));
    ASSERT_EQ(chmod(path("tree/scripts/lint.sh").c_str(), 0755), 0);
    write_file(path("tree/tools/run"), "#!/bin/sh\necho $1\n");
    write_file(path("tree/tools/go"), "#!/usr/bin/env bash\necho \"$1\"\n");
    write_file(path("tree/tools/notes"), "echo $1\nimport os\n");
    write_file(path("tree/tools/view"), "#!/usr/bin/env python3\nimport os\n");
    write_file(path("tree/tools/show.py"), "import sys\n");
    start_piped(run, "/bin/sh", {"PATH=/usr/bin:/bin"},
                {"-c", "cd " + path("tree") + " && git init -q && git add tools/run && exec scripts/lint.sh"});
    finish(run, 120);
    expect_exit(run.end, 1);
    for (const char* finding : {"\nIn tools/run line 2:\n", "\ntools/view:2:", "\ntools/show.py:1:"})
        EXPECT_NE(run.out_text.find(finding), std::string::npos) << finding << "\n" << run.out_text;
    for (const char* clean : {"tools/go", "notes"})
        EXPECT_EQ(run.out_text.find(clean), std::string::npos) << clean << "\n" << run.out_text;
    EXPECT_NE(run.out_text.find("lint: shellcheck -x on 3 files\n"), std::string::npos) << run.out_text;
}

// A long build and a long test run show how far they have got: each line
// arrives while the stage is still at that point.
TEST_F(Setup, TestRunnerShowsProgressAsItComes)
{
    fake_build_and_tests();
    start_test_sh();
    expect_each_in_time({{"== plain: building, 50% (", "build"},
                         {"== plain: 2 of 6 tests passed, 1 failed, 2 skipped (", "tests"}},
                        1);
    // What the build was doing, the file it was compiling.
    EXPECT_NE(run.out_text.find("s): Building CXX object tests/harness.cpp\n"), std::string::npos) << run.out_text;
}

}  // namespace
