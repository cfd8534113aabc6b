// The tour's test fixture, shared by tests/tour_test.cpp and each lesson's
// lessons/NAME/tour_test.cpp: a copy of the kit to run the tour from, the
// trace view of a run, and what is left behind once a run has ended.
#pragma once

#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

// A text's lines joined again as they were before they were wrapped: each
// run of spaces and line ends one space.
inline std::string unwrapped(const std::string& text)
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
inline std::vector<Process> processes()
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
inline std::vector<Process> descendants(pid_t ancestor, const std::string& text)
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
inline bool has_open(pid_t ancestor, const std::string& path)
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
inline std::string left_in_session(pid_t leader)
{
    std::string left;
    for (const Process& p : processes())
        if (p.session == leader)
            left += p.command + "\n";
    return left;
}

// The number of characters (of UTF-8) of the widest line of text, and that line.
inline std::pair<size_t, std::string> widest_line(const std::string& text)
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
    // A copy of the kit to run the tour from, path("kit"): its scripts,
    // registry, lessons and programs' sources the project's (linked), its
    // build the tests' programs and driver, and for cmake a stand-in that,
    // as CMake does, reads the presets from the directory it runs in. The
    // tour runs with its temporary files in path("tmp"), through path("tour")
    // on a terminal 60 columns wide.
    void make_kit()
    {
        for (const char* name : {"kit", "kit/build", "kit/build/plain", "kit/build/plain/bin", "kit/build/plain/tools",
                                 "bin", "tmp"})
            ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0) << name;
        std::vector<std::string> linked = {"scripts", "lessons", "registry.txt", "CMakePresets.json", "CMakeLists.txt",
                                           "tools"};
        for (const std::string& name : registry_programs()) {
            ASSERT_EQ(symlink(program(name.c_str()).c_str(), path("kit/build/plain/bin/" + name).c_str()), 0) << name;
            std::vector<std::string> folder = registry_entry(name, "folder");
            ASSERT_EQ(folder.size(), 1u) << name;
            if (std::find(linked.begin(), linked.end(), folder[0]) == linked.end())
                linked.push_back(folder[0]);
        }
        for (const std::string& name : linked)
            ASSERT_EQ(symlink((std::string(SOURCE_DIR) + "/" + name).c_str(), path("kit/" + name).c_str()), 0) << name;
        ASSERT_EQ(symlink(ONSCREEN, path("kit/build/plain/tools/onscreen").c_str()), 0);
        write_file(path("kit/build/plain/CMakeCache.txt"), "");
        fake_cmake("[ -f CMakePresets.json ] || { echo \"CMake Error: Could not read presets from $PWD\" >&2; exit 1; }");
        write_file(path("tour"), "#!/bin/sh\nstty cols 60\nexport PATH=" + kit_path() + " TMPDIR=" + path("tmp") +
                                     "\nexec /bin/bash \"$@\"\n");
        ASSERT_EQ(chmod(path("tour").c_str(), 0755), 0);
    }
    // The stand-in for cmake, doing body; the what-ifs' builds, each in a
    // build tree of its own (cmake-BUILD), are left to the real CMake.
    void fake_cmake(const std::string& body)
    {
        fake("cmake", "case \"$*\" in *-DEXERCISE=* | \"--build \"*/cmake-*) PATH=/usr/local/bin:/usr/bin:/bin exec cmake "
                      "\"$@\" ;; esac\n" + body);
    }
    std::string kit_path() { return path("bin") + ":/usr/bin:/bin"; }
    // Starts a script of the kit on pipes, from the test's directory, with
    // env besides.
    void start_kit(Piped& p, const std::string& script, std::vector<std::string> args,
                   std::vector<std::string> env = {})
    {
        args.insert(args.begin(), path("kit/scripts/" + script));
        env.insert(env.begin(), {"PATH=" + kit_path(), "TMPDIR=" + path("tmp"), "CI=true"});
        start_piped(p, "/bin/bash", env, args);
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
    // The tour run from the kit (make_kit) with args, on pipes: it ends
    // well, keeps every line within 80 columns and goes from one stop to the
    // next without waiting for a key. Returns its output.
    std::string tour_on_a_pipe(std::vector<std::string> args)
    {
        start_kit(run, "tour.sh", args);
        finish(run, 240);
        expect_exit(run.end, 0);
        auto [width, line] = widest_line(run.out_text);
        EXPECT_LE(width, 80u) << line << "\n" << run.out_text;
        EXPECT_EQ(run.out_text.find("(Enter for the next"), std::string::npos) << run.out_text;
        return run.out_text;
    }
    // The stop of the program name, with --trace, as tour_on_a_pipe runs it
    // (skipped where there is no trace view).
    void traced_stop_on_a_pipe(const std::string& name)
    {
        if (std::string why = cannot_trace(); !why.empty())
            GTEST_SKIP() << why;
        make_kit();
        tour_on_a_pipe({"--trace", name});
    }
    // The terminal closed (the shell at it hangs up the tour's processes)
    // once script of the kit, run with args on a terminal, is under way
    // (running in a command line of its, or on the screen): its temporary
    // files and the what-ifs' builds are removed all the same, and no
    // process is left.
    void expect_hang_up_leaves_nothing(const char* script, const std::vector<std::string>& args, const char* running)
    {
        Terminal t;
        start_kit(t, script, args);
        double deadline = now_seconds() + 60;
        while (descendants(t.pid, running).empty() && t.screen.find(running) == std::string::npos &&
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
    // Ctrl-C once script of the kit, run with args on a terminal, has begun
    // a what-if's run under a time limit (running in strace's command line)
    // ends the run, the script and the what-if at once, with status 130, and
    // leaves no process behind.
    void expect_ctrl_c_ends_the_what_if(const char* script, const std::vector<std::string>& args, const char* running)
    {
        Terminal t;
        start_kit(t, script, args);
        auto begun = [&] {
            std::vector<Process> found = descendants(t.pid, running);
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
    Piped run;
};

