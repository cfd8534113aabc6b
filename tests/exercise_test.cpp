// The exercises (scripts/exercise.sh): each starter builds and fails its
// check, and so does every wrong copy kept for it and every what-if of its
// program; the real program, put in its place, passes it; a copy that exists
// is never overwritten; a check leaves the build that the tour and the tests
// use alone, and its failure says what was sent, what was expected and what
// came.
#include "harness.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Exercise : public TempDirTest {
protected:
    // Runs scripts/exercise.sh (of another tree, if given) with the copies in
    // the test's directory and the checks' builds in a tree of this build's,
    // or as env says.
    void exercise(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  const std::string& tree = SOURCE_DIR)
    {
        start_exercise(run, args, env, tree);
        finish(run, 600);
    }
    void start_exercise(Piped& p, const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                        const std::string& tree = SOURCE_DIR)
    {
        std::vector<std::string> argv{tree + "/scripts/exercise.sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> all{"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" CHECKS_BUILD};
        all.insert(all.end(), env.begin(), env.end());
        start_piped(p, "/bin/bash", all, argv);
    }
    // The last line of the output: start's path of the copy.
    std::string last_line() const
    {
        std::string text = run.out_text.substr(0, run.out_text.size() - 1);
        return text.substr(text.rfind('\n') + 1);
    }
    Piped run;
};

// The real build's program and cache, as they stand.
std::string real_build_state(const char* name)
{
    struct stat st {};
    stat(program(name).c_str(), &st);
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
           read_file(std::string(PROGRAM_DIR) + "/../CMakeCache.txt");
}

// The file a patch changes, as the project lays it out ("+++ b/FILE").
std::string target_of(const std::string& patch)
{
    std::string text = read_file(patch);
    size_t at = text.find("\n+++ b/");
    return at == std::string::npos ? "" : text.substr(at + 7, text.find('\n', at + 7) - at - 7);
}

// The patches kept in a folder of the project for a program: FOLDER/NAME--*.patch.
std::vector<std::string> patches_of(const std::string& folder, const std::string& name)
{
    std::vector<std::string> found;
    glob_t matches{};
    std::string pattern = std::string(SOURCE_DIR) + "/" + folder + "/" + name + "--*.patch";
    if (glob(pattern.c_str(), 0, nullptr, &matches) == 0)
        found.assign(matches.gl_pathv, matches.gl_pathv + matches.gl_pathc);
    globfree(&matches);
    return found;
}

class EveryCopy : public Exercise, public testing::WithParamInterface<const char*> {
protected:
    // The real program's file with a patch applied, as a learner would have it.
    std::string patched(const std::string& source, const std::string& patch)
    {
        std::string tree = path("patched");
        run_piped(run, "/bin/sh", "", 60, {},
                  {"-c", "rm -rf \"$1\" && mkdir -p \"$1/$(dirname \"$2\")\" && cp \"$3/$2\" \"$1/$2\" && cd \"$1\" && git apply \"$4\"",
                   "sh", tree, source, SOURCE_DIR, patch});
        EXPECT_EQ(run.err_text, "") << patch;
        return read_file(tree + "/" + source);
    }
};

// What a failure's report must show of the run, for a starter (by the
// program's name) or a wrong copy (by its patch): for copyfile's starter,
// what was sent, the prompt, what was expected and what came; for
// pause_timer's, the signal sent and the count that came; for a copy whose
// fault shows under a setting of the test's, the setting; for a run that
// never ends, that it did not end, in words.
const std::vector<std::pair<std::string, std::vector<std::string>>> report_parts = {
    {"copyfile",
     {"\n    sent     \"", "\n    prompt   \"Enter source file path: \"", "\n    expected  ", "\n    came      ",
      "\n    ended    exit status "}},
    {"pause_timer", {"\n    signal   SIG", "\n    came     \"Countdown: 10\\n", "\n    expected  ", "\n    came      "}},
    {"copyfile--short-write-rest-from-the-start.patch", {"\n    setting  the I/O shim let each write take "}},
    {"copyfile--zero-byte-write-asked-again.patch",
     {"\n    setting  the I/O shim let each write take no bytes",
      "\n    copyfile did not end within 5 s of its input's close"}},
    {"mutex_counter--unlocked-before-the-store.patch", {"\n    setting  the lock shim held the thread inside"}},
};

// The starter, each wrong copy kept beside it (scripts/exercise/wrong/) and
// each what-if of the program fail its check, each with a report and never
// for want of building; the real program passes. A check leaves the tour's
// and the tests' build alone.
TEST_P(EveryCopy, FailsEachWrongCopyAndPassesTheRealProgram)
{
    const std::string name = GetParam();
    std::string before = real_build_state(name.c_str());
    exercise({"start", name});
    expect_exit(run.end, 0);
    const std::string copy = last_line();
    const std::string source = target_of(std::string(SOURCE_DIR) + "/scripts/exercise/" + name + ".patch");
    const std::string real = read_file(std::string(SOURCE_DIR) + "/" + source);
    ASSERT_FALSE(real.empty()) << source;
    EXPECT_NE(read_file(copy), real) << "no lesson taken out";

    std::vector<std::pair<std::string, std::string>> wrong = {{"the starter", read_file(copy)}};
    for (const char* folder : {"scripts/exercise/wrong", "scripts/what-if"})
        for (const std::string& patch : patches_of(folder, name))
            if (target_of(patch) == source)  // a what-if may change another file of the program
                wrong.emplace_back(patch.substr(patch.rfind('/') + 1), patched(source, patch));
    for (const auto& [label, text] : wrong) {
        SCOPED_TRACE(label);
        write_file(copy, text);
        exercise({"check", name});
        expect_exit(run.end, 1);
        EXPECT_NE(run.out_text.find("\u2717 The test "), std::string::npos) << run.out_text;
        EXPECT_NE(run.out_text.find("\n  The check that failed ("), std::string::npos) << run.out_text;
        EXPECT_EQ(run.out_text.find("does not build"), std::string::npos) << "it must build:\n" << run.out_text;
        // A deadlock is told as one, from what the threads were doing.
        for (const char* deadlock : {"--never-unlocked", "--never-posted", "--starts-at-0"}) {
            if (label.find(deadlock) != std::string::npos) {
                EXPECT_NE(run.out_text.find(": waiting for a lock or a semaphore that is never given back (futex)"),
                          std::string::npos)
                    << run.out_text;
            }
        }
        for (const auto& [copy_of, parts] : report_parts) {
            for (const std::string& part : parts) {
                if (copy_of == (label == "the starter" ? name : label)) {
                    EXPECT_NE(run.out_text.find(part), std::string::npos) << part << " missing from:\n" << run.out_text;
                }
            }
        }
    }
    write_file(copy, real);
    exercise({"check", name});
    expect_exit(run.end, 0);
    EXPECT_NE(run.out_text.find("\u2713 Every test of " + name + " passes"), std::string::npos) << run.out_text;
    // It showed how it went: the build, then the tests passed as they
    // passed, up to all of them (but those skipped in a build).
    size_t building = run.out_text.find("\nbuilding (plain build)...\n");
    size_t first = run.out_text.find("\n1 of ");
    size_t verdict = run.out_text.find("\n\u2713 ");
    ASSERT_NE(verdict, std::string::npos) << run.out_text;
    EXPECT_LT(building, first) << run.out_text;
    EXPECT_LT(first, verdict) << run.out_text;
    std::string last = run.out_text.substr(0, verdict);
    EXPECT_TRUE(std::regex_match(last.substr(last.rfind('\n') + 1), std::regex("([0-9]+) of \\1 tests passed(, [0-9]+ skipped)?")))
        << run.out_text;
    // And where to go next: what goes wrong without the lesson, where the
    // program has a what-if.
    EXPECT_NE(run.out_text.find(patches_of("scripts/what-if", name).empty()
                                    ? "\nNow watch it at work: scripts/tour.sh " + name + "\n"
                                    : "\nNow see what goes wrong without it: scripts/tour.sh --what-if " + name + "\n"),
              std::string::npos)
        << run.out_text;
    EXPECT_EQ(real_build_state(name.c_str()), before) << "the check changed the tour's and the tests' build";
}

INSTANTIATE_TEST_SUITE_P(, EveryCopy,
                         testing::Values("atm_sim", "copyfile", "mutex_counter", "pause_timer", "records",
                                         "sem_counter", "server", "sigint_loop", "sigusr_toggle"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// A second start keeps the copy as the learner left it.
TEST_F(Exercise, StartKeepsTheCopy)
{
    exercise({"start", "copyfile"});
    std::string copy = last_line();
    write_file(copy, "// mine\n");
    exercise({"start", "copyfile"});
    expect_exit(run.end, 0);
    EXPECT_EQ(last_line(), copy);
    EXPECT_EQ(read_file(copy), "// mine\n");
    EXPECT_NE(run.out_text.find("kept as it is"), std::string::npos) << run.out_text;
}

// Every starter kept is checked by the test above; the list shows each with
// its title whole, in lines of at most 80 columns when not on a terminal.
TEST_F(Exercise, EveryExerciseIsChecked)
{
    exercise({"list"});
    expect_exit(run.end, 0);
    std::string names, shown, expected;
    for (size_t at = 0; at < run.out_text.size(); at = run.out_text.find('\n', at) + 1) {
        std::string line = run.out_text.substr(at, run.out_text.find('\n', at) - at);
        EXPECT_LE(line.size(), 80u) << line;
        if (line[0] == '(')
            continue;
        if (line[0] != ' ')
            names += line.substr(0, line.find(' ')) + " ";
        shown += line + " ";
    }
    EXPECT_EQ(names, "atm_sim copyfile mutex_counter pause_timer records sem_counter server sigint_loop sigusr_toggle ");
    for (size_t at = 0; at < names.size(); at = names.find(' ', at) + 1) {
        std::string name = names.substr(at, names.find(' ', at) - at);
        std::string hints = read_file(std::string(SOURCE_DIR) + "/scripts/exercise/" + name + ".hints");
        expected += name + " not started " + hints.substr(0, hints.find('\n')) + " ";
    }
    EXPECT_EQ(std::regex_replace(shown, std::regex(" +"), " "), expected);
}

// Only the names the list gives are exercises: a name that reaches out of
// the folders ("../exercise/copyfile" names a starter all the same) is
// refused by every verb, and nothing is written.
TEST_F(Exercise, AcceptsOnlyTheListedNames)
{
    for (const char* verb : {"start", "check", "hint", "solution"}) {
        exercise({verb, "../exercise/copyfile"});
        expect_exit(run.end, 2);
        EXPECT_NE(run.err_text.find("no exercise named '../exercise/copyfile'"), std::string::npos) << run.err_text;
    }
    struct stat st {};
    EXPECT_NE(stat(path("exercise").c_str(), &st), 0) << "start wrote outside the folder of copies";
    EXPECT_NE(stat(path("copies").c_str(), &st), 0) << "a verb wrote into the folder of copies";
}

// The folders an exercise writes into are its own: a folder of copies that
// is the clone itself (where records/ would be "your copy") or lies in a
// build is refused, and so is a checks' tree that is, through a link, the
// tour's and the tests' own build; the project's files stay as they were.
// A copy that start did not make is never offered for removal.
TEST_F(Exercise, RefusesTheProjectsOwnFoldersAndRemovesNothingItDidNotMake)
{
    // A throwaway tree of the project (without its builds), so that the
    // script, even wrong, has only that to harm.
    const std::string tree = path("tree");
    run_piped(run, "/bin/sh", "", 120, {},
              {"-c", "mkdir \"$2\" && tar -C \"$1\" --exclude=./build --exclude=./.git --exclude=./exercises -cf - . | "
                     "tar -C \"$2\" -xf -",
               "sh", SOURCE_DIR, tree});
    expect_exit(run.end, 0);
    auto digest = [&] {
        Piped sums;
        run_piped(sums, "/bin/sh", "", 120, {}, {"-c", "cd \"$1\" && find . -exec ls -ld --time-style=+%s.%N {} + | sort", "sh", tree});
        return sums.out_text;
    };
    const std::string before = digest();
    for (const std::string& copies : {tree, tree + "/records/..", tree + "/build/mine"}) {
        for (const char* verb : {"start", "hint", "check", "list"}) {
            SCOPED_TRACE(copies + " " + verb);
            exercise({verb, "records"}, {"EXERCISES_DIR=" + copies}, tree);
            expect_exit(run.end, 2);
            EXPECT_NE(run.err_text.find("must lie outside the project's"), std::string::npos) << run.err_text;
            EXPECT_EQ(run.out_text.find("rm "), std::string::npos) << run.out_text;
        }
    }
    EXPECT_EQ(digest(), before) << "the project's files changed";

    // A checks' tree that is the tests' own build, through a link.
    std::string real_before = real_build_state("copyfile");
    exercise({"start", "copyfile"});
    ASSERT_EQ(mkdir(path("builds").c_str(), 0755), 0);
    ASSERT_EQ(symlink((std::string(PROGRAM_DIR) + "/..").c_str(), path("builds/exercise-plain").c_str()), 0);
    exercise({"check", "copyfile"}, {"EXERCISE_BUILD=" + path("builds")});
    expect_exit(run.end, 2);
    EXPECT_NE(run.err_text.find("is a build of the real programs"), std::string::npos) << run.err_text;
    EXPECT_EQ(real_build_state("copyfile"), real_before) << "the check changed the tour's and the tests' build";

    // A file in the copy's place that start did not make.
    ASSERT_EQ(mkdir(path("theirs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("theirs/copyfile").c_str(), 0755), 0);
    write_file(path("theirs/copyfile/copyfile.cpp"), "// not start's\n");
    exercise({"start", "copyfile"}, {"EXERCISES_DIR=" + path("theirs")});
    expect_exit(run.end, 0);
    EXPECT_NE(run.out_text.find("kept as it is"), std::string::npos) << run.out_text;
    EXPECT_EQ(run.out_text.find("rm "), std::string::npos) << run.out_text;
}

// What the compiler said shows whatever characters the folder of copies has
// in its path, with a hint on reading it; a copy that fails a test that a
// hint is made for gets that hint, not the next in line.
TEST_F(Exercise, HintFitsTheFailure)
{
    const std::string copies = path("a|b(c[d");
    exercise({"start", "copyfile"}, {"EXERCISES_DIR=" + copies});
    const std::string copy = last_line();
    write_file(copy, "int main() { return undeclared_name; }\n");
    exercise({"check", "copyfile"}, {"EXERCISES_DIR=" + copies});
    expect_exit(run.end, 1);
    EXPECT_NE(run.out_text.find("does not build (plain build). What the compiler said:\n    copyfile.cpp:1:21: error: "),
              std::string::npos)
        << run.out_text;
    EXPECT_NE(run.out_text.find("undeclared_name"), std::string::npos) << run.out_text;
    EXPECT_NE(run.out_text.find("Hint: read the compiler's first error first"), std::string::npos) << run.out_text;

    // The real program with a short write's rest written from the chunk's
    // start: the test of short writes fails, and its hint comes.
    const std::string wrong = std::string(SOURCE_DIR) + "/scripts/exercise/wrong/copyfile--short-write-rest-from-the-start.patch";
    write_file(copy, read_file(std::string(SOURCE_DIR) + "/" + target_of(wrong)));
    run_piped(run, "/usr/bin/patch", "", 60, {}, {"--batch", "--silent", copy, wrong});
    expect_exit(run.end, 0);
    exercise({"check", "copyfile"}, {"EXERCISES_DIR=" + copies});
    expect_exit(run.end, 1);
    EXPECT_NE(run.out_text.find("failed (plain build; Copyfile.ShortWritesAreCompleted)"), std::string::npos)
        << run.out_text;
    EXPECT_NE(run.out_text.find("\nHint: A write may take fewer bytes than it was asked to"), std::string::npos)
        << run.out_text;
}

// start, list, hint and solution need none of what a check needs: with no
// git, strace, CMake or compiler to be found, and no apt-get to bring them,
// they work.
TEST_F(Exercise, StartNeedsNoCheckingTools)
{
    exercise({"start", "records"});  // brings what start needs, where missing
    expect_exit(run.end, 0);
    ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
    const std::vector<std::string> left_out = {"git", "strace", "cmake", "make", "gcc", "g++", "c++", "cc",
                                                "clang", "clang++", "apt-get", "apt", "dpkg-query", "sudo"};
    for (const char* folder : {"/usr/bin", "/bin"}) {
        DIR* d = opendir(folder);
        ASSERT_NE(d, nullptr) << folder;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            bool out = name[0] == '.' || std::find(left_out.begin(), left_out.end(), name) != left_out.end() ||
                       name.rfind("gcc", 0) == 0 || name.rfind("clang", 0) == 0 || name.rfind("g++", 0) == 0 || name.find("-linux-gnu-") != std::string::npos;
            if (!out)
                symlink((std::string(folder) + "/" + name).c_str(), path("bin/" + name).c_str());
        }
        closedir(d);
    }
    const std::vector<std::string> env = {"PATH=" + path("bin")};
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"start", "copyfile"}, {"list"}, {"hint", "copyfile"}, {"solution", "server"}}) {
        SCOPED_TRACE(args[0]);
        exercise(args, env);
        expect_exit(run.end, 0);
        EXPECT_EQ(run.err_text, "");
    }
    exercise({"start", "copyfile"}, env);
    EXPECT_NE(read_file(last_line()).find("EXERCISE"), std::string::npos) << run.out_text;
}

// Where user namespaces are refused and the learner is not root, the
// server's tests that take the write permission from the server cannot run:
// the check names them, says why, and is no pass. Made so in a user
// namespace of the test's own, where the test is root and may lower the
// namespaces' limit: to the one namespace then made inside it, where the
// check runs as an ordinary user (uid 1000) and can make none; with a /tmp
// of its own, so that the server's tests leave a learner's /tmp/new alone.
TEST_F(Exercise, ACheckWithTestsThatCouldNotRunIsNoPass)
{
    Piped probe;
    run_piped(probe, "/usr/bin/unshare", "", 20, {}, {"--user", "--map-root-user", "/bin/true"});
    if (!probe.end.exited || probe.end.status != 0)
        GTEST_SKIP() << "no user namespace here to lower the limit in: " << probe.err_text;
    exercise({"start", "server"});
    const std::string copy = last_line();
    write_file(copy, read_file(std::string(SOURCE_DIR) + "/" +
                               target_of(std::string(SOURCE_DIR) + "/scripts/exercise/server.patch")));
    // The folders under /tmp that the check uses are kept in the new /tmp.
    const char* script = R"(
        set -e
        tops=() fds=()
        while [ "$1" != -- ]; do
            case $1 in /tmp/?*) rest=${1#/tmp/}; tops+=("/tmp/${rest%%/*}"); exec {fd}<"/tmp/${rest%%/*}"; fds+=("$fd") ;; esac
            shift
        done
        shift
        mount -t tmpfs tmpfs /tmp
        for i in "${!tops[@]}"; do
            mkdir -p "${tops[$i]}"
            mount --no-canonicalize --bind "/proc/self/fd/${fds[$i]}" "${tops[$i]}"
        done
        echo 1 >/proc/sys/user/max_user_namespaces
        exec unshare --user --map-user=1000 --map-group=1000 "$@"
    )";
    run_piped(run, "/usr/bin/unshare", "", 600,
              {"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" CHECKS_BUILD},
              {"--user", "--map-root-user", "--mount", "/bin/bash", "-c", script, "bash", dir, CHECKS_BUILD,
               SOURCE_DIR, "--", "/bin/bash", std::string(SOURCE_DIR) + "/scripts/exercise.sh", "check", "server"});
    expect_exit(run.end, 1);
    EXPECT_NE(run.out_text.find("\u2717 Not every test of server could run here, so this is not a pass."),
              std::string::npos)
        << run.out_text << run.err_text;
    EXPECT_NE(run.out_text.find("\n    Server.WaitsQuietlyWithoutWritePermission (plain build): no user namespace here"),
              std::string::npos)
        << run.out_text;
    EXPECT_EQ(read_file(path("copies/server/.last-check")), "failed\n");
}

// Two checks at once each test their own copy: the second waits for the
// first, which is held in its build (by a cmake that waits for the test)
// until the second has started.
TEST_F(Exercise, TwoChecksAtOnceEachCheckTheirOwnCopy)
{
    exercise({"start", "copyfile"});
    exercise({"start", "records"});
    ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(path("hold").c_str(), 0600), 0);
    // The first build waits for a line on the FIFO hold; cmake is the next
    // one on PATH.
    write_file(path("bin/cmake"), "#!/bin/sh\n"
                                  "if [ \"$1\" = --build ] && mkdir \"$HOLD.taken\" 2>/dev/null; then\n"
                                  "    : >\"$HOLD.held\"\n"
                                  "    read -r _ <\"$HOLD\"\n"
                                  "fi\n"
                                  "PATH=${PATH#*:} exec cmake \"$@\"\n");
    ASSERT_EQ(chmod(path("bin/cmake").c_str(), 0755), 0);
    const std::vector<std::string> env = {"PATH=" + path("bin") + ":" + getenv("PATH"), "HOLD=" + path("hold")};
    Piped first, second;
    start_exercise(first, {"check", "copyfile"}, env);
    struct stat st {};
    for (double deadline = now_seconds() + 600; stat(path("hold.held").c_str(), &st) != 0;) {
        ASSERT_LT(now_seconds(), deadline) << "the first check never came to its build";
        ASSERT_FALSE(has_ended(first)) << first.out_text << first.err_text;
        usleep(20000);
    }
    start_exercise(second, {"check", "records"}, env);
    EXPECT_TRUE(wait_output(second, "waiting for another check (PID " + std::to_string(first.pid) + ") to end", 600))
        << second.out_text;
    int hold = open(path("hold").c_str(), O_WRONLY);
    ASSERT_GE(hold, 0);
    ASSERT_EQ(write(hold, "\n", 1), 1);
    close(hold);
    finish(first, 600);
    finish(second, 600);
    expect_exit(first.end, 1);
    expect_exit(second.end, 1);
    EXPECT_NE(first.out_text.find("\u2717 The test "), std::string::npos) << first.out_text;
    EXPECT_NE(first.out_text.find("(plain build; Copyfile."), std::string::npos) << first.out_text;
    EXPECT_NE(second.out_text.find("(plain build; Records."), std::string::npos) << second.out_text;
}


// Failures on purpose, each with the report a learner would read: tests
// only in a run with REPORT_SAMPLES set, which ReportsReadInWords below
// makes in a process of its own.
class ReportSample : public testing::Test {
public:
    explicit ReportSample(void (*body)()) : body(body) {}
    void TestBody() override { body(); }
    void (*body)();
};

[[maybe_unused]] const bool samples = getenv("REPORT_SAMPLES") != nullptr && [] {
    const std::pair<const char*, void (*)()> bodies[] = {
        {"HostileBytesFromAProgramThatEnded",
         [] {
             // Set the terminal's title, clear it, go back to the line's
             // start; a byte that is not UTF-8; and, on standard error,
             // UTF-8 with a carriage return.
             Piped p;
             start_piped(p, "/bin/sh", {},
                         {"-c", "printf 'Countdown: 10\\n\\033]0;pwned\\007\\033[2J\\rEverything passed\\377\\n'; "
                                "printf 'caf\\303\\251\\rEverything passed\\n' >&2; exit 1"});
             EXPECT_TRUE(wait_output(p, "Countdown: 9", 5)) << "what came: " << p.out_text;
             EXPECT_EQ(p.err_text, "");
         }},
        {"LongTextsThatDifferInTheMiddle",
         [] {
             std::string expected, came;
             for (int line = 1; line <= 40; ++line) {
                 expected += "line " + std::to_string(line) + "\n";
                 came += "line " + std::to_string(line) + (line == 17 ? ", changed\n" : "\n");
             }
             EXPECT_EQ(came, expected) << "the test's own words";
         }},
        {"AConditionWithWords",
         [] {
             struct stat st {};
             ASSERT_EQ(stat(".", &st), 0);
             EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "no FIFO at the test's directory: a directory";
         }},
        {"AConditionExpectedFalse",
         [] {
             bool timed_out = !testing::Test::HasFailure();
             EXPECT_FALSE(timed_out);
         }},
        {"AFailureAfterAWaitThatPassed",
         [] {
             Piped p;
             start_piped(p, "/bin/cat");
             EXPECT_FALSE(wait_output(p, "nothing yet", 0.2));
             feed(p, "one\n");
             ADD_FAILURE() << "a later check";
         }},
        {"AComparisonOfQuotedParentheses",
         [] {
             std::string said = "ended (killed";
             EXPECT_NE(said.find("(killed"), 6u);
         }},
    };
    for (auto [name, body] : bodies)
        testing::RegisterTest("ReportSample", name, nullptr, nullptr, __FILE__, __LINE__,
                              [body = body]() -> testing::Test* { return new ReportSample(body); });
    return true;
}();

// The report of each sample failure above: nothing in it or in gtest's
// messages that a terminal would act on, though the program wrote such
// bytes; how a program that had ended ended; long texts cut around their
// first difference, with where it is, and the test's words, not gtest's
// diff; a condition in the test's words, or said the right way round; a
// wait that passed not told as a failure.
TEST_F(Exercise, ReportsReadInWords)
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    run_piped(run, std::string(self, length), "", 60, {"REPORT_SAMPLES=1"}, {"--gtest_filter=ReportSample.*"});
    const std::string& out = run.out_text;
    EXPECT_EQ(out.find_first_of("\x1b\x07\r\xff"), std::string::npos) << "raw bytes in:\n" << in_quotes(out);
    EXPECT_NE(out.find("Everything passed"), std::string::npos) << "the sample did not run:\n" << out;
    auto report_of = [&](const std::string& sample) {
        size_t at = out.find("[ RUN      ] ReportSample." + sample + "\n");
        at = out.find("[ report ]\n", at);
        return at == std::string::npos ? "(no report)" : out.substr(at, out.find("[ end of report ]", at) - at);
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
        {"HostileBytesFromAProgramThatEnded", {"\n  ended    exit status 1\n"}},
        {"LongTextsThatDifferInTheMiddle",
         {"\n  they differ from byte 126 on (line 17); 311 bytes expected, 320 came\n", ", changed\\n",
          "\n  the test's own words\n"}},
        {"AConditionWithWords", {":\n  no FIFO at the test's directory: a directory\n[ end"}},
        {"AConditionExpectedFalse", {"\n  expected  timed_out to be false\n  came      true\n"}},
        {"AFailureAfterAWaitThatPassed", {"for \"nothing yet\": none came, and the test went on\n"}},
        {"AComparisonOfQuotedParentheses",
         {"\n  expected  said.find(\"(killed\") != 6u\n  came      said.find(\"(killed\") = 6\n"}},
    };
    for (const auto& [sample, parts] : expected)
        for (const std::string& part : parts)
            EXPECT_NE((report_of(sample) + "[ end").find(part), std::string::npos)
                << in_quotes(part) << " missing from the report of " << sample << ":\n" << report_of(sample);
}

}  // namespace
