// The newcomer's way in: the set-up step, the tour over the registry's
// programs and the tour's terminal driver. What is particular to one
// program's stop is checked in its lesson, lessons/NAME/tour_test.cpp.
#include "tour_test.h"

namespace {

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

    run_script("setup.sh", "trace");  // the tour's --trace also needs strace, binutils and Python
    expect_exit(run.end, 0);
    EXPECT_NE(read_file(path("apt.log")).find("install -y --no-install-recommends strace binutils python3\n"),
              std::string::npos)
        << read_file(path("apt.log"));

    // A user whom sudo would not let in is told so, with the line for root.
    for (const char* installed : {"g++", "gcc", "make", "cmake"})
        ASSERT_EQ(unlink(path(std::string("bin/") + installed).c_str()), 0) << installed;
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

    // (two of the registry's programs in one word are no stop)
    std::vector<std::string> programs = registry_programs();
    ASSERT_GE(programs.size(), 2u);
    std::string all;
    for (const std::string& name : programs)
        all += (all.empty() ? "" : " ") + name;
    for (const std::string& stop : {std::string("nosuchstop"), programs[0] + " " + programs[1]}) {
        run_script("tour.sh", stop);
        expect_exit(run.end, 2);
        EXPECT_EQ(run.err_text, "tour: no stop named '" + stop + "' (stops: " + all + ")\n");
    }
}

// The driver shows each answer typed after its prompt, and a stop that goes
// wrong says so and fails. The program is a stand-in: the driver plays any.
TEST_F(Tour, DriverTypesAfterThePromptAndReportsAFailedStop)
{
    write_file(path("asks"), "#!/bin/sh\nprintf 'Enter your choice: '\nread choice\necho Exited.\n");
    write_file(path("counts"), "#!/bin/sh\necho 'Final value: 500'\n");
    ASSERT_EQ(chmod(path("asks").c_str(), 0755), 0);
    ASSERT_EQ(chmod(path("counts").c_str(), 0755), 0);
    run_piped(run, ONSCREEN, "", 60, {},
              {path("asks"), "expect:Enter your choice: ", "type:4\\n", "expect:Exited.", "end"});
    EXPECT_NE(run.out_text.find("Enter your choice: 4\nExited.\n(exit status 0)\n"), std::string::npos)
        << run.out_text;
    expect_exit(run.end, 0);

    run_piped(run, ONSCREEN, "", 60, {}, {path("asks"), "expect:choice", "sleep:1s"});
    EXPECT_NE(run.out_text.find("tour: asks: step 'sleep:1s': the seconds to sleep must be a number"),
              std::string::npos)
        << run.out_text;
    expect_exit(run.end, 1);

    // No descriptor left for the terminal's other side: the driver says so,
    // with nothing started.
    run_piped(run, "/usr/bin/prlimit", "", 60, {}, {"--nofile=4", ONSCREEN, path("counts"), "end"});
    EXPECT_NE(run.err_text.find("onscreen: cannot start " + path("counts") +
                                " on a terminal: Too many open files\n"),
              std::string::npos)
        << run.err_text;
    expect_exit(run.end, 1);

    // A program that cannot be started says so on its terminal; a client
    // command has no descriptor of that terminal (the driver's side is
    // closed on exec), so only the program holds it.
    run_piped(run, ONSCREEN, "", 60, {}, {path("none"), "end"});
    EXPECT_NE(run.out_text.find(path("none") + ": No such file or directory\n(exit status 127)\n"), std::string::npos)
        << run.out_text;
    run_piped(run, ONSCREEN, "", 60, {},
              {path("asks"), "expect:Enter your choice: ",
               "run:for fd in /proc/$$/fd/*; do case $(readlink $fd) in *ptmx) exit 1;; esac; done", "type:4\\n",
               "end"});
    expect_exit(run.end, 0);

    run_piped(run, ONSCREEN, "", 60, {}, {path("counts"), "expect:Final value: 501"});
    EXPECT_NE(run.out_text.find("tour: counts: ended before 'Final value: 501' appeared "
                                "(counts: exit status 0)\n"),
              std::string::npos)
        << run.out_text;
    expect_exit(run.end, 1);
}

// The tour's notes are dimmed on a terminal that can show it, and plain on
// one that cannot (TERM=dumb).
TEST_F(Tour, NotesAreDimmedOnlyWhereTheTerminalCanShowIt)
{
    write_file(path("says"), "#!/bin/sh\necho said\n");
    ASSERT_EQ(chmod(path("says").c_str(), 0755), 0);
    for (const char* term : {"xterm", "dumb"}) {
        SCOPED_TRACE(term);
        write_file(path("tour"), std::string("#!/bin/sh\nTERM=") + term + " exec " ONSCREEN " " + path("says") +
                                     " end\n");
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
// The programs are stand-ins that run until a signal ends them.
TEST_F(Tour, InterruptedDriverLeavesNoProgramBehind)
{
    write_file(path("works"), "#!/bin/sh\necho Working...\nexec sleep 60\n");
    ASSERT_EQ(chmod(path("works").c_str(), 0755), 0);
    // The client ends the program (the driver's other child), then stays.
    start_piped(run, ONSCREEN, {},
                {path("works"), "expect:Working...",
                 "run:for p in $(cat /proc/$PPID/task/$PPID/children); do [ $p = $$ ] || kill -INT $p; done; "
                 "printf 'the program %s\\n' gone; exec sleep 30"});
    ASSERT_TRUE(wait_output(run, "the program gone", 20)) << run.out_text;
    double interrupted = now_seconds();
    send_signal(run.pid, SIGINT);
    finish(run, 20);
    expect_killed(run.end, SIGINT);
    EXPECT_LT(now_seconds() - interrupted, 5) << "the driver waited on for its client";

    start_piped(run, ONSCREEN, {}, {path("works"), "sleep:60"});
    ASSERT_TRUE(wait_output(run, "Working...", 20)) << run.out_text;
    std::string children = read_file("/proc/" + std::to_string(run.pid) + "/task/" +
                                     std::to_string(run.pid) + "/children");
    pid_t program_pid = atoi(children.c_str());
    ASSERT_GT(program_pid, 0) << "children: '" << children << "'";
    send_signal(run.pid, SIGINT);
    finish(run, 20);
    expect_killed(run.end, SIGINT);
    EXPECT_TRUE(kill(program_pid, 0) == -1 && errno == ESRCH) << "the program still there";
}

// A program that floods its terminal (a learner's, say) is ended once it
// has written 1 MiB, which the driver says; the control characters a program
// writes reach the tour's output shown, not acted on: a window's title set,
// the screen cleared, a control of U+0080 to U+009F. A trace of more than
// 16 MiB (a program that calls the kernel without pause) is not read by the
// trace view, which says so.
TEST_F(Tour, AFloodIsCutShortAndControlCharactersAreShown)
{
    std::string calls;
    while (calls.size() <= (16u << 20))
        calls += "1.000000 getppid() = 1 <0.000001>\n";
    write_file(path("trace.1"), calls);
    EXPECT_EQ(view_of("floods", path("trace")),
              "What floods asked of the kernel is not shown: strace wrote 16 MB of it, far more\n"
              "than a stop's programs make, too much to read in a while\n");

    write_file(path("floods"), "#!/bin/sh\nprintf 'a\\033]0;pwned\\007\\033[2Jb\\302\\233c\\n'\nexec yes\n");
    ASSERT_EQ(chmod(path("floods").c_str(), 0755), 0);
    run_piped(run, ONSCREEN, "", 120, {}, {path("floods"), "expect:never written", "end"});
    expect_exit(run.end, 1);
    EXPECT_EQ(run.out_text.find("a^[]0;pwned^G^[[2JbM-^[c\n"), 0u) << run.out_text.substr(0, 100);
    EXPECT_NE(run.out_text.find("\ntour: floods: wrote more than 1024 kB to its terminal, far more than a stop shows "
                                "(floods: still running; ended now)\n"),
              std::string::npos)
        << run.out_text.substr(run.out_text.size() - std::min<size_t>(run.out_text.size(), 300));
    EXPECT_LT(run.out_text.size(), 2u << 20);
}

// Run from another directory than the root, into a pipe, the whole tour
// takes the registry's programs in its order, each under the heading its
// entry gives, keeps every line within 80 columns, and goes from one stop to
// the next without waiting for a key. A program whose lesson has no tour.sh
// (a tenth, added to the kit's registry) is said to have no stop, and the
// tour goes on and ends well.
TEST_F(Tour, TakesTheRegistrysProgramsInOrderWithinEightyColumns)
{
    // Every stop, one whose clients write into /tmp/new among them: in a
    // /tmp of the test's own, never into a learner's FIFO.
    if (std::string why = private_tmp(); !why.empty())
        GTEST_SKIP() << "no /tmp of the test's own for a stop to use /tmp/new in (" << why << ")";
    make_kit();
    ASSERT_EQ(unlink(path("kit/registry.txt").c_str()), 0);
    write_file(path("kit/registry.txt"), read_file(std::string(SOURCE_DIR) + "/registry.txt") +
                                             "\nprogram tenth\n    folder    tenth\n"
                                             "    tour      a program added without a stop\n");
    std::string out = tour_on_a_pipe({});
    std::vector<std::string> in_order;
    for (const std::string& name : registry_programs()) {
        std::vector<std::string> tour = registry_entry(name, "tour");
        ASSERT_EQ(tour.size(), 1u) << name;
        in_order.push_back("\n=== " + name + ": " + tour[0] + "\n");
    }
    in_order.push_back("\n=== tenth: a program added without a stop\n"
                       "(no stop here: its lesson has no tour.sh, lessons/tenth/tour.sh)\n\n=== where next\n");
    std::string flat = unwrapped(out);  // (the headings wrapped at 80 columns)
    size_t at = 0;
    for (const std::string& heading : in_order) {
        size_t found = flat.find(unwrapped(heading), at);
        ASSERT_NE(found, std::string::npos) << "'" << heading << "' not in order in:\n" << out;
        at = found + 1;
    }
    EXPECT_EQ(out.find("(no stop here", out.find("(no stop here") + 1), std::string::npos) << out;
}

// On a terminal the tour waits for Enter between stops, and says so, and
// its own lines fit the terminal's width.
TEST_F(Tour, WaitsForEnterBetweenStopsAndFitsTheTerminal)
{
    make_kit();
    std::vector<std::string> programs = registry_programs();
    ASSERT_GE(programs.size(), 2u);
    Terminal t;
    start_kit(t, "tour.sh", {programs[0], programs[1]});
    // Enter pressed before the question is no answer to it.
    type(t, "\n");
    size_t after = 0;
    ASSERT_GE(wait_screen(t, "=== " + programs[0], 60, 0, &after), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "(Enter for the next stop, Ctrl-C to end)", 120, after), 0) << t.screen;
    read_output(t, 1);
    EXPECT_EQ(t.screen.find("=== " + programs[1]), std::string::npos) << "went on without Enter:\n" << t.screen;
    type(t, "\n");
    wait_end(t, 120);
    expect_exit(t.end, 0);
    EXPECT_NE(t.screen.find("=== " + programs[1]), std::string::npos) << t.screen;
    EXPECT_NE(t.screen.find("=== where next"), std::string::npos) << t.screen;
    // The tour's own lines fit: its headings, and its closing words (the
    // programs' lines and the commands shown are as they are written).
    std::string own = t.screen.substr(t.screen.find("\n=== where next"));
    for (size_t at = t.screen.find("\n=== "); at != std::string::npos; at = t.screen.find("\n=== ", at + 1))
        own += t.screen.substr(at, t.screen.find('\n', at + 1) - at);
    auto [width, line] = widest_line(own);
    EXPECT_LE(width, 60u) << line << "\n" << t.screen;
}

// The terminal closed (the shell at it hangs up the tour's processes) while
// the tour builds the programs (a stand-in build that waits), for the tour
// and its what-ifs: the tour's temporary files are removed all the same.
TEST_F(Tour, ClosingTheTerminalLeavesNoTemporaryFiles)
{
    make_kit();
    fake_cmake("[ -f CMakePresets.json ] || exit 1\n[ \"$1\" != --build ] || exec sleep 60");
    std::string any = registry_programs().at(0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{any}, {"--what-if", any}}) {
        SCOPED_TRACE(args[0]);
        expect_hang_up_leaves_nothing("tour.sh", args, "sleep 60");
    }
}

}  // namespace
