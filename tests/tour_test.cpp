// The newcomer's way in: the set-up step and the tour's terminal driver.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A text's lines joined again as they were before they were wrapped: each
// run of spaces and line ends one space.
std::string unwrapped(const std::string& text)
{
    std::string flat;
    for (char c : text)
        if (c != ' ' && c != '\n')
            flat += c;
        else if (!flat.empty() && flat.back() != ' ')
            flat += ' ';
    return flat;
}

// The processes running now (not the ended ones, waiting to be reaped), each
// with its parent, session and command line (its words joined by spaces),
// from /proc.
struct Process {
    pid_t pid, parent, session;
    std::string command;
};
std::vector<Process> processes()
{
    std::vector<Process> all;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        pid_t pid = atoi(entry->d_name);
        ProcessStat stat = pid > 0 ? process_stat(pid) : ProcessStat();
        if (stat.name.empty() || stat.state == 'Z')
            continue;
        Process p{pid, stat.parent, stat.session, read_file("/proc/" + std::to_string(pid) + "/cmdline")};
        std::replace(p.command.begin(), p.command.end(), '\0', ' ');
        all.push_back(p);
    }
    if (proc != nullptr)
        closedir(proc);
    return all;
}
// The processes descended from ancestor whose command line holds text.
std::vector<Process> descendants(pid_t ancestor, const std::string& text)
{
    std::vector<Process> all = processes();
    std::vector<pid_t> family = {ancestor};
    std::vector<Process> found;
    for (size_t i = 0; i < family.size(); ++i)
        for (const Process& p : all)
            if (p.parent == family[i]) {
                family.push_back(p.pid);
                if (p.command.find(text) != std::string::npos)
                    found.push_back(p);
            }
    return found;
}
// Whether a process descended from ancestor has path open.
bool has_open(pid_t ancestor, const std::string& path)
{
    for (const Process& p : descendants(ancestor, "")) {
        std::string fds = "/proc/" + std::to_string(p.pid) + "/fd";
        DIR* dir = opendir(fds.c_str());
        bool found = false;
        while (dirent* entry = dir != nullptr && !found ? readdir(dir) : nullptr) {
            char target[4096];
            ssize_t n = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target);
            found = n > 0 && std::string(target, n) == path;
        }
        if (dir != nullptr)
            closedir(dir);
        if (found)
            return true;
    }
    return false;
}
// The commands of the processes left in the session of leader.
std::string left_in_session(pid_t leader)
{
    std::string left;
    for (const Process& p : processes())
        if (p.session == leader)
            left += p.command + "\n";
    return left;
}

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
        // It reports its progress as apt-get does, on the descriptor it is
        // given, and installs the commands of the packages named (stand-ins).
        fake("apt-get", "echo \"apt-get $DEBIAN_FRONTEND $*\" >>" + path("apt.log") +
                            "\ncase \"$*\" in *Status-Fd=3*) echo pmstatus:g++:57.1:Installing g++ >&3 ;; esac"
                            "\ncase \"$*\" in *Status-Fd=3*\" install \"*) for p; do case $p in"
                            "\n  g++) set -- gcc g++ ;; binutils) set -- readelf addr2line objdump ;;"
                            "\n  -* | *=* | install) set -- ;; *) set -- \"$p\" ;; esac"
                            "\n  for c; do /bin/ln -sf /bin/true " + path("bin/") + "\"$c\"; done; done ;; esac");
    }
    void fake(const std::string& name, const std::string& body)
    {
        write_file(path("bin/" + name), "#!/bin/sh\n" + body + "\n");
        ASSERT_EQ(chmod(path("bin/" + name).c_str(), 0755), 0);
    }
    // Where the trace view cannot be seen here, why (else empty).
    static std::string cannot_trace()
    {
        if (SANITIZED)
            return std::string("the trace view is for the tour's plain build: a sanitizer's runtime adds "
                               "calls of its own") +
                   (strcmp(SANITIZER, "address") == 0 ? ", and LeakSanitizer cannot run under strace" : "");
        if (access("/usr/bin/strace", X_OK) != 0 && access("/bin/strace", X_OK) != 0)
            return "strace is not installed (scripts/setup.sh test installs it)";
        return "";
    }
    // What the tour's trace view makes of the trace files path(trace).PID,
    // or of the one file TRACE (a recorded one).
    std::string view_of(const char* name, const std::string& trace)
    {
        run_piped(run, "/usr/bin/env", "", 60, {"COLUMNS=80"},
                  {"python3", std::string(SOURCE_DIR) + "/scripts/trace_view.py", name, trace});
        expect_exit(run.end, 0);
        EXPECT_EQ(run.out_text.find("Other calls"), std::string::npos) << run.out_text;
        return run.out_text;
    }
    // Runs a program on a terminal under strace through the tour's driver,
    // playing steps, and returns what the tour's trace view makes of it.
    std::string trace_view(const char* name, std::vector<std::string> steps)
    {
        steps.insert(steps.begin(), {"--trace", path("trace"), program(name)});
        run_piped(run, ONSCREEN, "", 60, {}, steps);
        expect_exit(run.end, 0);
        return view_of(name, path("trace"));
    }
    // The heading of a group under the line of file whose text is text: its
    // file name and number, found in the source, then the text.
    static std::string heading(const char* file, const std::string& text)
    {
        return std::string(strrchr(file, '/') + 1) + ":" + std::to_string(line_of(file, text)) + "  " + text;
    }
    // The number of the one line of SOURCE_DIR/file whose text, without its
    // indent, is text (0 when there is not exactly one).
    static int line_of(const char* file, const std::string& text)
    {
        std::string source = read_file(std::string(SOURCE_DIR) + "/" + file);
        int number = 0, found = 0, count = 0;
        for (size_t at = 0; at < source.size(); ++number) {
            size_t end = source.find('\n', at);
            std::string line = source.substr(at, end - at);
            line.erase(0, line.find_first_not_of(' '));
            if (line == text) {
                found = number + 1;
                ++count;
            }
            at = end == std::string::npos ? source.size() : end + 1;
        }
        return count == 1 ? found : 0;
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
    // A copy of the kit to run the tour from, path("kit"): its scripts and
    // sources the project's (linked), its build the tests' programs and
    // driver, and for cmake a stand-in that, as CMake does, reads the
    // presets from the directory it runs in. With server_waits the server
    // starts only once the file path("go") is there. The tour runs with its
    // temporary files in path("tmp"), through path("tour") on a terminal
    // 60 columns wide.
    void make_kit(bool server_waits = false)
    {
        for (const char* name : {"kit", "kit/build", "kit/build/plain", "kit/build/plain/bin", "kit/build/plain/tools",
                                 "bin", "tmp"})
            ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0) << name;
        for (const char* name : {"scripts", "file_copy", "threads", "signals", "fifo", "records", "CMakePresets.json"})
            ASSERT_EQ(symlink((std::string(SOURCE_DIR) + "/" + name).c_str(), path(std::string("kit/") + name).c_str()),
                      0);
        for (const char* name : {"copyfile", "atm_sim", "mutex_counter", "sem_counter", "server", "pause_timer",
                                 "sigint_loop", "sigusr_toggle", "records"})
            ASSERT_EQ(symlink(program(name).c_str(), path(std::string("kit/build/plain/bin/") + name).c_str()), 0);
        ASSERT_EQ(symlink(ONSCREEN, path("kit/build/plain/tools/onscreen").c_str()), 0);
        write_file(path("kit/build/plain/CMakeCache.txt"), "");
        fake("cmake", "[ -f CMakePresets.json ] || { echo \"CMake Error: Could not read presets from $PWD\" >&2; exit 1; }");
        if (server_waits) {
            ASSERT_EQ(unlink(path("kit/build/plain/bin/server").c_str()), 0);
            write_file(path("kit/build/plain/bin/server"), "#!/bin/sh\nuntil [ -e " + path("go") +
                                                                " ]; do sleep 0.05; done\nexec " + program("server") + "\n");
            ASSERT_EQ(chmod(path("kit/build/plain/bin/server").c_str(), 0755), 0);
        }
        write_file(path("tour"), "#!/bin/sh\nstty cols 60\nexport PATH=" + kit_path() + " TMPDIR=" + path("tmp") +
                                     "\nexec /bin/bash \"$@\"\n");
        ASSERT_EQ(chmod(path("tour").c_str(), 0755), 0);
    }
    std::string kit_path() { return path("bin") + ":/usr/bin:/bin"; }
    // Starts a script of the kit on pipes, from the test's directory.
    void start_kit(Piped& p, const std::string& script, std::vector<std::string> args)
    {
        args.insert(args.begin(), path("kit/scripts/" + script));
        start_piped(p, "/bin/bash", {"PATH=" + kit_path(), "TMPDIR=" + path("tmp"), "CI=true"}, args);
    }
    // Enters a /tmp of the test's own, its directory made again in it;
    // returns why not, or "".
    std::string private_tmp()
    {
        TempDirTest::TearDown();
        std::string why_not = enter_private_tmp();
        TempDirTest::SetUp();
        return why_not;
    }
    // Starts a script of the kit on a terminal of its own.
    void start_kit(Terminal& t, const std::string& script, std::vector<std::string> args)
    {
        args.insert(args.begin(), path("kit/scripts/" + script));
        start_terminal(t, path("tour"), args);
    }
    // The entries left in path("tmp").
    std::string left_in_tmp()
    {
        std::string left;
        DIR* tmp = opendir(path("tmp").c_str());
        while (dirent* entry = tmp != nullptr ? readdir(tmp) : nullptr)
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                left += std::string(entry->d_name) + " ";
        if (tmp != nullptr)
            closedir(tmp);
        return left;
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

    for (const char* stop : {"nosuchstop", "sem_counter server"}) {
        run_script("tour.sh", stop);
        expect_exit(run.end, 2);
        EXPECT_EQ(run.err_text.rfind("tour: no stop named '" + std::string(stop) + "' (stops: copyfile atm_sim", 0), 0u)
            << run.err_text;
    }
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
    for (const char* script : {"tour.sh", "setup.sh", "wrap.sh", "wrap.awk"}) {
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
    // (the lines wrapped where the user's name puts the ends)
    EXPECT_NE(unwrapped(run.out_text).find("(skipped: /tmp/new is a FIFO of "), std::string::npos) << run.out_text;
    EXPECT_NE(unwrapped(run.out_text).find(" root can remove it (rm /tmp/new)"), std::string::npos) << run.out_text;
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

// The trace view of a copy: each read and write under the line of
// copyfile.cpp that made it, write_all's inlined into main named as itself,
// the copy loop's pairs folded after the first, the end of the source.
TEST_F(Tour, TraceMapsTheCopysReadsAndWritesToTheirLines)
{
    if (std::string why = cannot_trace(); !why.empty())
        GTEST_SKIP() << why;
    write_file(path("source"), pattern_bytes(10 * 1024 + 100));
    std::string view = trace_view("copyfile", {"expect:source file path: ", "type:source\\n",
                                               "expect:destination file path: ", "type:copy\\n",
                                               "expect:Copying complete!", "end"});
    EXPECT_EQ(read_file(path("copy")), read_file(path("source")));
    const char* file = "file_copy/copyfile.cpp";
    std::string loop_read = heading(file, "len = read(src, buffer, sizeof buffer);");
    expect_in_order(view, {"  Before main: ", " calls: ", heading(file, "ssize_t got = read(STDIN_FILENO, &c, 1);").c_str(),
                           "   [in read_path, from line ", "\n    read(0, \"s\", 1) = 1",
                           heading(file, "ssize_t len = read(src, buffer, sizeof buffer);").c_str(),
                           "\n    read(3, ", ", 1024) = 1024\n",
                           heading(file, "ssize_t written = write(fd, buf, len);").c_str(), "   [in write_all, from line ",
                           "\n    write(4, ", loop_read.c_str(), "\n    read(3, ",
                           "\n    ... 8 more times these two, one after the other\n", "1024) = 100\n",
                           ", 100) = 100\n", loop_read.c_str(), "\n    read(3, \"\", 1024) = 0\n"});
}

// A signal's handler: its calls under its own lines, with the line of the
// wait the signal broke into, and the exit it ends with.
TEST_F(Tour, TraceShowsTheHandlerInsideTheWaitItBrokeInto)
{
    if (std::string why = cannot_trace(); !why.empty())
        GTEST_SKIP() << why;
    std::string view = trace_view("sigint_loop", {"expect:program...\\n", "key:^C",
                                                  "expect:terminating safely.", "end"});
    const char* file = "signals/sigint_loop.cpp";
    std::string wait = heading(file, "ppoll(nullptr, 0, &interval, &waiting);");
    // (a heading too wide for 80 columns has its note on the next line)
    std::string inside = "   [handler, running inside the ppoll of line " +
                         std::to_string(line_of(file, "ppoll(nullptr, 0, &interval, &waiting);")) + "]\n";
    expect_in_order(view, {wait.c_str(), "\n    ppoll(NULL, 0, {tv_sec=2, tv_nsec=0}, [], 8) = ? ERESTART",
                           "\n    --- SIGINT ",
                           (heading(file, "printf(\"\\nSIGINT caught, terminating safely.\\n\");") + "\n").c_str(),
                           inside.c_str(), " -> write(1, \"SIGINT caught, ",
                           (heading(file, "exit(0);") + inside).c_str(), "\n    exit -> exit_group(0) = ?\n"});
}

// Into a pipe, records writes nothing until it ends: its one write is
// exit's, after main has returned.
TEST_F(Tour, TraceShowsThePipedRunsOneWriteAfterMain)
{
    if (std::string why = cannot_trace(); !why.empty())
        GTEST_SKIP() << why;
    // strace as the tour runs it on records fed from a pipe (scripts/tour.sh)
    run_piped(run, "/usr/bin/env", "3\n42\n4\n", 60, {},
              {"strace", "-ffqqkTI4", "-ttt", "-s24", "-o", path("trace"), program("records")});
    expect_exit(run.end, 0);
    std::string view = view_of("records", path("trace"));
    expect_in_order(view, {"\n  After main returned, in exit (the C library)\n",
                           "\n    exit -> write(1, \"\\nMORV Management System\\n\"...", "exit -> exit_group(0)"});
    EXPECT_EQ(view.find("write(1,"), view.rfind("write(1,")) << "more than one write:\n" << view;
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

// What the C library does of its own accord, before main, at the first use
// of a standard stream and in exit after main, is named the same from glibc
// 2.36 (Debian 12) and 2.41 (Debian 13), whose calls differ: traces recorded
// on each (tests/traces/, by trace_view.py --save).
TEST_F(Tour, TraceNamesTheCLibrarysOwnWorkTheSameOnGlibc236And241)
{
    for (const char* glibc : {"2.36", "2.41"}) {
        SCOPED_TRACE(glibc);
        std::string traces = std::string(SOURCE_DIR) + "/tests/traces/";
        // (the notes are cut into lines at spaces: each piece stays on one)
        expect_in_order(view_of("copyfile", traces + "copyfile-glibc-" + glibc + ".trace"),
                        {"\n  Before main: the loader maps the program and the C library; the C library\n"
                         "      readies itself:\n    ",
                         "\n    # Before its first use of standard output, the C library asks what it is:", "a",
                         "terminal, so it goes", "\n    printf -> ", "stat", "(1, ", "{st_mode=S_IFCHR",
                         "\n  After main returned, in exit (the C library)\n",
                         "\n    exit -> write(1, \"Copying complete!\", 17) = 17\n"});
        expect_in_order(view_of("records", traces + "records-piped-glibc-" + glibc + ".trace"),
                        {"\n  Before main: ", "\n    # Before its first use of standard output, the C library asks",
                         "not", "a terminal, so it", "in blocks\n    puts -> ", "stat", "(1, ", "{st_mode=S_IFIFO",
                         "\n    # Before its first use of standard input, the C library asks", "not",
                         "a terminal, so it", "in blocks\n    getc -> ", "stat", "(0, ", "{st_mode=S_IFIFO",
                         "\n  After main returned, in exit (the C library)\n", "\n    exit -> write(1, ",
                         "\n    exit -> lseek(0, -1, SEEK_CUR) = -1 ESPIPE"});
    }
}

// The number of characters (of UTF-8) of the widest line of text, and that line.
std::pair<size_t, std::string> widest_line(const std::string& text)
{
    std::pair<size_t, std::string> widest{0, ""};
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        size_t width = std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; });
        if (width > widest.first)
            widest = {width, line};
    }
    return widest;
}

// Run from another directory than the root, into a pipe: the tour, its
// trace view and a what-if keep every line within 80 columns, and go from
// one stop to the next without waiting for a key. The what-ifs say what
// their totals count, and that a stop has none.
TEST_F(Tour, RunsFromAnyDirectoryWithinEightyColumns)
{
    make_kit();
    std::vector<std::vector<std::string>> runs = {{"atm_sim", "sem_counter", "records"}};
    if (cannot_trace().empty())
        runs.push_back({"--trace", "copyfile", "sigint_loop"});
    runs.push_back({"--what-if", "sem_counter", "pause_timer"});  // the last: its lines are looked at below
    for (const std::vector<std::string>& args : runs) {
        SCOPED_TRACE(args[0]);
        start_kit(run, "tour.sh", args);
        finish(run, 240);
        expect_exit(run.end, 0);
        auto [width, line] = widest_line(run.out_text);
        EXPECT_LE(width, 80u) << line << "\n" << run.out_text;
        EXPECT_EQ(run.out_text.find("(Enter for the next"), std::string::npos) << run.out_text;
    }
    std::string flat = unwrapped(run.out_text);  // the what-ifs' lines joined again
    EXPECT_NE(flat.find(" of 9000000: 3 threads each counting to 3000000)"), std::string::npos) << run.out_text;
    EXPECT_NE(flat.find("(no what-if for pause_timer: none of its lessons is taken out in scripts/what-if/)"),
              std::string::npos)
        << run.out_text;
}

// On a terminal the tour waits for Enter between stops, and says so, and
// its lines fit the terminal's width.
TEST_F(Tour, WaitsForEnterBetweenStopsAndFitsTheTerminal)
{
    make_kit();
    Terminal t;
    start_kit(t, "tour.sh", {"mutex_counter", "sem_counter"});
    // Enter pressed before the question is no answer to it.
    type(t, "\n");
    size_t after = 0;
    ASSERT_GE(wait_screen(t, "Final value: 500", 60, 0, &after), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "(Enter for the next stop, Ctrl-C to end)", 20, after), 0) << t.screen;
    read_output(t, 1);
    EXPECT_EQ(t.screen.find("=== sem_counter"), std::string::npos) << "went on without Enter:\n" << t.screen;
    type(t, "\n");
    wait_end(t, 60);
    expect_exit(t.end, 0);
    EXPECT_NE(t.screen.find("Final value: 750"), std::string::npos) << t.screen;
    auto [width, line] = widest_line(t.screen);
    EXPECT_LE(width, 60u) << line << "\n" << t.screen;
}

// The terminal closed (the shell at it hangs up the tour's processes) while
// the tour builds the programs (a stand-in build that waits), for the tour
// and its what-ifs, and in the middle of a what-if's run: the tour's
// temporary files and the what-ifs' builds are removed all the same.
TEST_F(Tour, ClosingTheTerminalLeavesNoTemporaryFiles)
{
    make_kit();
    fake("cmake", "[ -f CMakePresets.json ] || exit 1\n[ \"$1\" != --build ] || exec sleep 60");
    struct Case {
        const char* script;
        std::vector<std::string> args;
        const char* running;  // in a command line, or on the screen, once it is under way
    };
    for (const Case& c : {Case{"tour.sh", {"atm_sim"}, "sleep 60"}, Case{"tour.sh", {"--what-if", "atm_sim"}, "sleep 60"},
                          Case{"what_if.sh", {"show", "atm_sim--unlock-before-the-turn"},
                               "(five turns of two seconds each: about ten seconds)"}}) {
        SCOPED_TRACE(c.script + (" " + c.args[0]));
        Terminal t;
        start_kit(t, c.script, c.args);
        double deadline = now_seconds() + 60;
        while (descendants(t.pid, c.running).empty() && t.screen.find(c.running) == std::string::npos &&
               now_seconds() < deadline)
            read_output(t, 0.05);
        ASSERT_LT(now_seconds(), deadline) << t.screen;
        ASSERT_NE(left_in_tmp(), "") << "no temporary files to see removed";
        pid_t leader = t.pid;
        ASSERT_EQ(kill(-leader, SIGHUP), 0);
        close(t.master);
        t.master = -1;
        wait_end(t, 20);
        EXPECT_FALSE(t.end.timed_out) << "still running after the hang-up";
        EXPECT_EQ(left_in_tmp(), "");
        EXPECT_EQ(left_in_session(leader), "");
    }
}

// Ctrl-C as a what-if that runs its program under a time limit begins its
// run ends the run, the tour and the what-if at once, with status 130, and
// leaves no process behind.
TEST_F(Tour, CtrlCEndsTheWhatIfsRunUnderATimeLimit)
{
    make_kit();
    struct Case {
        const char* script;
        std::vector<std::string> args;
        const char* running;  // in strace's command line once the what-if's run has begun
    };
    for (const Case& c :
         {Case{"tour.sh", {"--what-if", "sigusr_toggle"}, "/changed-sigusr_toggle--signal-let-in-any-time/"},
          Case{"what_if.sh", {"show", "server--no-flush"}, "/changed-server--no-flush/"}}) {
        SCOPED_TRACE(c.args[1]);
        Terminal t;
        start_kit(t, c.script, c.args);
        auto begun = [&] {
            std::vector<Process> found = descendants(t.pid, c.running);
            return std::any_of(found.begin(), found.end(),
                               [](const Process& p) { return p.command.rfind("strace ", 0) == 0; });
        };
        double deadline = now_seconds() + 120;
        while (!begun() && now_seconds() < deadline)
            read_output(t, 0.1);
        ASSERT_LT(now_seconds(), deadline) << "the run did not begin:\n" << t.screen;
        type(t, "\x03");
        double typed = now_seconds();
        pid_t leader = t.pid;
        wait_end(t, 30);
        // (left to run, the what-if would go on for seconds more)
        EXPECT_LT(now_seconds() - typed, 4) << t.screen;
        expect_exit(t.end, 130);
        EXPECT_EQ(left_in_session(leader), "");
    }
}

// Two tours reach the server stop together (their servers held back until
// both are there): one runs it, the other finds that one's server reading
// /tmp/new and skips the stop, and neither fails. In a /tmp of the test's own.
TEST_F(Tour, OfTwoToursAtOnceOneRunsTheServer)
{
    if (std::string why = private_tmp(); !why.empty())
        GTEST_SKIP() << "no /tmp of the test's own to make /tmp/new in (" << why << ")";
    make_kit(true);
    Piped tours[2];
    for (Piped& tour : tours)
        start_kit(tour, "tour.sh", {"server"});
    double deadline = now_seconds() + 60;
    for (Piped& tour : tours)
        while (descendants(tour.pid, "/build/plain/bin/server reader:/tmp/new").empty() && now_seconds() < deadline)
            read_output(tour, 0.05);
    ASSERT_LT(now_seconds(), deadline) << "not both at the server stop:\n" << tours[0].out_text << tours[1].out_text;
    write_file(path("go"), "");
    int ran = 0, skipped = 0;
    for (Piped& tour : tours) {
        finish(tour, 90);
        expect_exit(tour.end, 0);
        ran += tour.out_text.find("(25 bytes are read as 20") != std::string::npos;
        skipped += tour.out_text.find("(skipped: a server is already reading /tmp/new") != std::string::npos;
    }
    EXPECT_EQ(ran, 1) << tours[0].out_text << tours[1].out_text;
    EXPECT_EQ(skipped, 1) << tours[0].out_text << tours[1].out_text;
}

// Root's tour writes only into a FIFO of its own at /tmp/new. In a /tmp of
// the test's own, without the sticky bit (so the kernel's protection of
// links there does not apply), nobody swaps /tmp/new for a link to a file of
// root's once the tour's server has it open: a FIFO of nobody's, and one the
// server made. The file stays as it was.
TEST_F(Tour, WritesOnlyIntoAFifoOfItsOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: to act as a second user (nobody) in a /tmp of the test's own";
    if (std::string why = private_tmp(); !why.empty())
        GTEST_SKIP() << "no /tmp of the test's own to make /tmp/new in (" << why << ")";
    ASSERT_EQ(chmod("/tmp", 0777), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    make_kit();
    write_file(path("victim"), "root's own\n");
    for (bool nobodys : {true, false}) {
        SCOPED_TRACE(nobodys ? "a FIFO of nobody's" : "the server's FIFO");
        unlink("/tmp/new");
        if (nobodys) {
            ASSERT_EQ(mkfifo("/tmp/new", 0666), 0);
            ASSERT_EQ(chmod("/tmp/new", 0666), 0);
            ASSERT_EQ(chown("/tmp/new", 65534, 65534), 0);
        }
        Piped tour;
        start_kit(tour, "tour.sh", {"server"});
        double deadline = now_seconds() + 60;
        while (!has_ended(tour) && !has_open(tour.pid, "/tmp/new") && now_seconds() < deadline)
            read_output(tour, 0.02);
        bool opened = !has_ended(tour) && now_seconds() < deadline;
        if (opened) {
            Piped swap;
            run_piped(swap, "/usr/bin/setpriv", "", 20, {},
                      {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
                       "ln -s " + path("victim") + " /tmp/new.swap && mv -T /tmp/new.swap /tmp/new"});
            expect_exit(swap.end, 0);
        }
        finish(tour, 90);
        EXPECT_EQ(read_file(path("victim")), "root's own\n") << tour.out_text;
        if (nobodys)
            EXPECT_NE(tour.out_text.find("(skipped: /tmp/new is a FIFO of nobody's"), std::string::npos)
                << tour.out_text;
        else
            EXPECT_TRUE(opened) << "the server never opened its FIFO:\n" << tour.out_text;
    }
}

}  // namespace
