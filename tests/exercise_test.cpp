// The exercises (scripts/exercise.sh), each as the registry and its lesson
// give it: each starter builds and fails its check, and so does every wrong
// copy kept for it and every what-if of its program; the real program, put in
// its place, passes it; a copy that exists is never overwritten; a check
// leaves the build that the tour and the tests use alone, and its failure
// says what was sent, what was expected and what came. What a check of one
// program's copy must show is in its lesson (lessons/NAME/exercise_test.cpp).
#include "exercise_test.h"
#include "tour_test.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The real build's program and cache, as they stand.
std::string real_build_state(const std::string& name)
{
    struct stat st {};
    stat(program(name.c_str()).c_str(), &st);
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
           read_file(std::string(PROGRAM_DIR) + "/../CMakeCache.txt");
}

class EveryCopy : public Exercise, public testing::WithParamInterface<std::string> {};

// The starter, each wrong copy kept beside it (lessons/NAME/wrong/) and each
// what-if of the program fail its check, each with a report (with what the
// lesson's exercise_test.cpp says it must show: report_parts) and never for
// want of building; the real program passes. A check leaves the tour's and
// the tests' build alone.
TEST_P(EveryCopy, FailsEachWrongCopyAndPassesTheRealProgram)
{
    const std::string name = GetParam();
    std::string before = real_build_state(name);
    exercise({"start", name});
    expect_exit(run.end, 0);
    const std::string copy = last_line();
    const std::string source = source_of(name);
    const std::string real = real_source(name);
    ASSERT_FALSE(real.empty()) << source;
    EXPECT_NE(read_file(copy), real) << "no lesson taken out";

    std::vector<std::pair<std::string, std::string>> wrong = {{"starter", read_file(copy)}};
    for (const char* folder : {"wrong", "what-if"})
        for (const std::string& patch : patches_of(name, folder))
            if (target_of(patch) == source)  // a what-if may change another file of the program
                wrong.emplace_back(std::string(folder) + "/" + patch.substr(patch.rfind('/') + 1, patch.size() - patch.rfind('/') - 7),
                                   patched(source, patch));
    for (const auto& [label, text] : wrong) {
        SCOPED_TRACE(label);
        write_file(copy, text);
        exercise({"check", name});
        expect_exit(run.end, 1);
        EXPECT_NE(run.out_text.find("\u2717 The test "), std::string::npos) << run.out_text;
        EXPECT_NE(run.out_text.find("\n  The check that failed ("), std::string::npos) << run.out_text;
        EXPECT_EQ(run.out_text.find("does not build"), std::string::npos) << "it must build:\n" << run.out_text;
        auto parts = report_parts().find({name, label});
        if (parts != report_parts().end()) {
            for (const std::string& part : parts->second) {
                EXPECT_NE(run.out_text.find(part), std::string::npos) << part << " missing from:\n" << run.out_text;
            }
        }
    }
    // What a lesson says a report must show is of a copy that is there.
    for (const auto& [copy_of, parts] : report_parts()) {
        if (copy_of.first == name) {
            EXPECT_TRUE(std::any_of(wrong.begin(), wrong.end(), [&](const auto& kept) { return kept.first == copy_of.second; }))
                << name << " has no copy " << copy_of.second << " to check";
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
    EXPECT_NE(run.out_text.find(registry_entry(name, "what-if").empty()
                                    ? "\nNow watch it at work: scripts/tour.sh " + name + "\n"
                                    : "\nNow see what goes wrong without it: scripts/tour.sh --what-if " + name + "\n"),
              std::string::npos)
        << run.out_text;
    EXPECT_EQ(real_build_state(name), before) << "the check changed the tour's and the tests' build";
}

INSTANTIATE_TEST_SUITE_P(, EveryCopy, testing::ValuesIn(exercises()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

// A program's name, and things of it, as the tests below need them: the
// first exercise, and the one after it.
std::string first_exercise() { return exercises().at(0); }
std::string second_exercise() { return exercises().at(1); }
// A copy's file name: that of the program's file it stands in for.
std::string file_name(const std::string& source) { return source.substr(source.rfind('/') + 1); }

// A second start keeps the copy as the learner left it.
TEST_F(Exercise, StartKeepsTheCopy)
{
    const std::string name = first_exercise();
    exercise({"start", name});
    std::string copy = last_line();
    write_file(copy, "// mine\n");
    exercise({"start", name});
    expect_exit(run.end, 0);
    EXPECT_EQ(last_line(), copy);
    EXPECT_EQ(read_file(copy), "// mine\n");
    EXPECT_NE(run.out_text.find("kept as it is"), std::string::npos) << run.out_text;
}

// Every starter kept is checked by the test above; the list shows each,
// in the registry's order, with its title (the registry's) whole, in lines
// of at most 80 columns when not on a terminal.
TEST_F(Exercise, EveryExerciseIsChecked)
{
    exercise({"list"});
    expect_exit(run.end, 0);
    std::string names, shown, expected_names, expected;
    bool listed = true;
    for (size_t at = 0; at < run.out_text.size(); at = run.out_text.find('\n', at) + 1) {
        std::string line = run.out_text.substr(at, run.out_text.find('\n', at) - at);
        EXPECT_LE(line.size(), 80u) << line;
        // What follows the list: where the copies are, how far you are.
        listed = listed && line[0] != '(';
        if (!listed)
            continue;
        if (line[0] != ' ')
            names += line.substr(0, line.find(' ')) + " ";
        shown += line + " ";
    }
    for (const std::string& name : exercises()) {
        expected_names += name + " ";
        std::vector<std::string> title = registry_entry(name, "exercise");
        ASSERT_EQ(title.size(), 1u) << name << ": an exercise has one title in the registry";
        expected += name + " not started " + title[0] + " ";
    }
    EXPECT_EQ(names, expected_names);
    EXPECT_EQ(std::regex_replace(shown, std::regex(" +"), " "), expected);
}

// The list ends with how many exercises have passed of all, and the next:
// the first in its order not passed, to start, or to check again (a copy
// whose last check failed, or that was never checked); or that every one
// has passed.
TEST_F(Exercise, ListSaysHowFarAndWhatIsNext)
{
    const std::vector<std::string> all = exercises();
    const std::string count = std::to_string(all.size());
    auto last_check = [&](const std::string& name, const std::string& verdict) {
        write_file(path("copies/" + name + "/.last-check"), verdict + "\n");  // as a check leaves it
    };
    auto progress = [&] {
        exercise({"list"});
        expect_exit(run.end, 0);
        std::string out = std::regex_replace(run.out_text, std::regex("\n +"), " ");
        return out.substr(out.rfind('\n', out.size() - 2) + 1);
    };
    for (const std::string& name : all)
        exercise({"start", name});
    last_check(all[0], "passed");
    last_check(all[1], "failed");
    EXPECT_EQ(progress(), "Passed: 1 of " + count + ". Next: " + all[1] + "; check it: scripts/exercise.sh check " + all[1] + "\n");
    last_check(all[1], "passed");
    ASSERT_NE(access(path("copies/" + all[3] + "/.last-check").c_str(), F_OK), 0) << "started, never checked";
    ASSERT_EQ(unlink(path("copies/" + all[2] + "/" + file_name(source_of(all[2]))).c_str()), 0);
    EXPECT_EQ(progress(), "Passed: 2 of " + count + ". Next: " + all[2] + "; start it: scripts/exercise.sh start " + all[2] + "\n");
    exercise({"start", all[2]});
    last_check(all[2], "passed");
    EXPECT_EQ(progress(), "Passed: 3 of " + count + ". Next: " + all[3] + "; check it: scripts/exercise.sh check " + all[3] + "\n");
    for (const std::string& name : all)
        last_check(name, "passed");
    EXPECT_EQ(progress(), "Passed: " + count + " of " + count + ", every exercise.\n");
}

// Only the names the list gives are exercises: a name that reaches out of
// the folders ("../lessons/NAME" names a lesson all the same) is refused
// by every verb, and nothing is written.
TEST_F(Exercise, AcceptsOnlyTheListedNames)
{
    const std::string outside = "../lessons/" + first_exercise();
    for (const char* verb : {"start", "check", "hint", "solution", "built"}) {
        exercise({verb, outside});
        expect_exit(run.end, 2);
        EXPECT_NE(run.err_text.find("no exercise named '" + outside + "'"), std::string::npos) << run.err_text;
    }
    struct stat st {};
    EXPECT_NE(stat(path("lessons").c_str(), &st), 0) << "start wrote outside the folder of copies";
    EXPECT_NE(stat(path("copies").c_str(), &st), 0) << "a verb wrote into the folder of copies";
}

// The folders an exercise writes into are its own: a folder of copies that
// is the clone itself (where a program named as its folder would have "your
// copy" in its folder), or the clone reached from a program's folder, or
// lies in a build is refused, and so is a checks' tree that is, through a
// link, the tour's and the tests' own build; the project's files stay as
// they were. A copy that start did not make is never offered for removal.
// A starter whose file is not one of the program's sources is refused.
TEST_F(Exercise, RefusesTheProjectsOwnFoldersAndRemovesNothingItDidNotMake)
{
    const std::string name = first_exercise();
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
    for (const std::string& copies : {tree, tree + "/" + registry_entry(name, "folder").at(0) + "/..", tree + "/build/mine"}) {
        for (const char* verb : {"start", "hint", "check", "list"}) {
            SCOPED_TRACE(copies + " " + verb);
            exercise({verb, name}, {"EXERCISES_DIR=" + copies}, tree);
            expect_exit(run.end, 2);
            EXPECT_NE(run.err_text.find("must lie outside the project's"), std::string::npos) << run.err_text;
            EXPECT_EQ(run.out_text.find("rm "), std::string::npos) << run.out_text;
        }
    }
    EXPECT_EQ(digest(), before) << "the project's files changed";

    // A starter that changes a file the registry does not give as one of
    // the program's sources, which a check would not put in its place.
    std::string registry = read_file(tree + "/registry.txt");
    size_t sources = registry.find("\n    sources ", registry.find("program " + name + "\n"));
    registry.replace(sources, registry.find('\n', sources + 1) - sources, "\n    sources   elsewhere.cpp");
    write_file(tree + "/registry.txt", registry);
    exercise({"start", name}, {}, tree);
    expect_exit(run.end, 2);
    EXPECT_NE(run.err_text.find("not one of the sources of " + name + " in the registry"), std::string::npos) << run.err_text;

    // A checks' tree that is the tests' own build, through a link.
    std::string real_before = real_build_state(name);
    exercise({"start", name});
    ASSERT_EQ(mkdir(path("builds").c_str(), 0755), 0);
    ASSERT_EQ(symlink((std::string(PROGRAM_DIR) + "/..").c_str(), path("builds/exercise-plain").c_str()), 0);
    exercise({"check", name}, {"EXERCISE_BUILD=" + path("builds")});
    expect_exit(run.end, 2);
    EXPECT_NE(run.err_text.find("is a build of the real programs"), std::string::npos) << run.err_text;
    EXPECT_EQ(real_build_state(name), real_before) << "the check changed the tour's and the tests' build";

    // A file in the copy's place that start did not make.
    ASSERT_EQ(mkdir(path("theirs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("theirs/" + name).c_str(), 0755), 0);
    write_file(path("theirs/" + name + "/" + file_name(source_of(name))), "// not start's\n");
    exercise({"start", name}, {"EXERCISES_DIR=" + path("theirs")});
    expect_exit(run.end, 0);
    EXPECT_NE(run.out_text.find("kept as it is"), std::string::npos) << run.out_text;
    EXPECT_EQ(run.out_text.find("rm "), std::string::npos) << run.out_text;
}

// A folder that cannot be made ends start and check there, saying which:
// the copy's, under a path that is a file, and the check's own in its
// build, where a file stands; the check goes no further (no build).
TEST_F(Exercise, AFolderThatCannotBeMadeEndsTheVerb)
{
    const std::string name = first_exercise();
    write_file(path("file"), "");
    exercise({"start", name}, {"EXERCISES_DIR=" + path("file/copies")});
    expect_exit(run.end, 2);
    EXPECT_NE(run.err_text.find("exercise: cannot make the folder " + path("file/copies/" + name)), std::string::npos)
        << run.err_text;

    exercise({"start", name});
    expect_exit(run.end, 0);
    ASSERT_EQ(mkdir(path("builds").c_str(), 0755), 0);
    write_file(path("builds/exercise-plain"), "");
    exercise({"check", name}, {"EXERCISE_BUILD=" + path("builds")});
    expect_exit(run.end, 2);
    EXPECT_NE(run.err_text.find("exercise: cannot make the folder " + path("builds/exercise-plain/copies")),
              std::string::npos)
        << run.err_text;
    EXPECT_EQ(run.out_text.find("configuring"), std::string::npos) << run.out_text;
}

// The real program's file with the comment lines the starter's patch puts in
// (its EXERCISE comments) kept, as a learner who wrote the real code under
// them, and left them in, has it: the real program's lines, in their order,
// with the patch's added comment lines where the patch puts them.
std::string solved_keeping_comments(const std::string& real, const std::string& patch)
{
    std::vector<std::string> lines;
    std::istringstream in(real), hunks(patch);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::string out;
    size_t next = 0;
    bool in_hunk = false;
    for (std::string line; std::getline(hunks, line);) {
        if (line.rfind("@@ -", 0) == 0) {
            for (size_t from = std::stoul(line.substr(4)) - 1; next < from && next < lines.size();)
                out += lines[next++] + "\n";
            in_hunk = true;
        } else if (in_hunk && (line[0] == ' ' || line[0] == '-') && next < lines.size()) {
            out += lines[next++] + "\n";
        } else if (in_hunk && line[0] == '+' && line.find_first_not_of(" \t", 1) != std::string::npos &&
                   line.compare(line.find_first_not_of(" \t", 1), 2, "//") == 0) {
            out += line.substr(1) + "\n";
        }
    }
    while (next < lines.size())
        out += lines[next++] + "\n";
    return out;
}

// solution takes a copy that is the real program with the starter's
// EXERCISE comments left in for the real program, and says so; the starter
// itself it does not.
TEST_F(Exercise, SolutionSeesTheRealProgramUnderTheStartersComments)
{
    for (const std::string& name : exercises()) {
        SCOPED_TRACE(name);
        exercise({"start", name});
        const std::string copy = last_line();
        exercise({"solution", name});
        expect_exit(run.end, 0);
        EXPECT_EQ(run.out_text.find("is the real program"), std::string::npos) << run.out_text;
        const std::string solved = solved_keeping_comments(real_source(name), read_file(lesson(name) + "/exercise.patch"));
        ASSERT_NE(solved, real_source(name));
        ASSERT_NE(solved.find("EXERCISE"), std::string::npos) << solved;
        write_file(copy, solved);
        exercise({"solution", name});
        expect_exit(run.end, 0);
        EXPECT_NE(run.out_text.find("your copy is the real program"), std::string::npos) << run.out_text;
    }
}

// What the compiler said shows whatever characters the folder of copies has
// in its path, with a hint on reading it.
TEST_F(Exercise, CompilerWordsWhateverThePath)
{
    const std::string name = first_exercise();
    const std::string copies = path("a|b(c[d");
    exercise({"start", name}, {"EXERCISES_DIR=" + copies});
    const std::string copy = last_line();
    write_file(copy, "int main() { return undeclared_name; }\n");
    exercise({"check", name}, {"EXERCISES_DIR=" + copies});
    expect_exit(run.end, 1);
    EXPECT_NE(run.out_text.find("does not build (plain build). What the compiler said:\n    " + file_name(source_of(name)) +
                                ":1:21: error: "),
              std::string::npos)
        << run.out_text;
    EXPECT_NE(run.out_text.find("undeclared_name"), std::string::npos) << run.out_text;
    EXPECT_NE(run.out_text.find("Hint: read the compiler's first error first"), std::string::npos) << run.out_text;
}

// A check's record: its page shows the report whole, as the check said
// it, and the copy's bytes that the compiler quotes as text, never as the
// page's own (a script in a copy stays words on the screen and in the
// report).
TEST_F(Exercise, RecordShowsTheReportAndACopysMarkupAsText)
{
    const std::string name = first_exercise();
    exercise({"start", name});
    write_file(last_line(), "int main() { return \"</pre><script>alert(1)</script>\"; }\n");
    exercise({"check", name, "--record", path("record")});
    expect_exit(run.end, 1);
    // The check's own words, after any wait for another check's lock,
    // which comes before the check begins.
    ASSERT_NE(run.out_text.find("Checking your "), std::string::npos) << run.out_text;
    const std::string said = run.out_text.substr(run.out_text.find("Checking your "));
    ASSERT_NE(said.find("<script>alert(1)</script>"), std::string::npos) << said;
    EXPECT_EQ(read_file(path("record/01-check-" + name + ".cast")).rfind("{\"version\": 2, ", 0), 0u);
    std::string checker = std::string(SOURCE_DIR) + "/tests/check_page.py";
    run_piped(run, checker, "", 60, {}, {path("record/index.html")});
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text, "");
    run_piped(run, checker, "", 60, {}, {path("record/index.html"), "pre.report"});
    EXPECT_EQ(run.out_text, said + "\f");
    run_piped(run, checker, "", 60, {}, {path("record/index.html"), "pre.screen"});
    EXPECT_EQ(run.out_text, said + "\f");
}

// start, list, hint and solution need none of what a check needs: with no
// git, strace, CMake or compiler to be found, and no apt-get to bring them,
// they work.
TEST_F(Exercise, StartNeedsNoCheckingTools)
{
    const std::string name = first_exercise(), other = exercises().back();
    exercise({"start", other});  // brings what start needs, where missing
    expect_exit(run.end, 0);
    ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
    const std::vector<std::string> left_out = {"git", "strace", "cmake", "make", "gcc", "g++", "c++", "cc",
                                                "clang", "clang++", "apt-get", "apt", "dpkg-query", "sudo"};
    for (const char* folder : {"/usr/bin", "/bin"}) {
        DIR* d = opendir(folder);
        ASSERT_NE(d, nullptr) << folder;
        while (dirent* e = readdir(d)) {
            std::string file = e->d_name;
            bool out = file[0] == '.' || std::find(left_out.begin(), left_out.end(), file) != left_out.end() ||
                       file.rfind("gcc", 0) == 0 || file.rfind("clang", 0) == 0 || file.rfind("g++", 0) == 0 || file.find("-linux-gnu-") != std::string::npos;
            if (!out)
                symlink((std::string(folder) + "/" + file).c_str(), path("bin/" + file).c_str());
        }
        closedir(d);
    }
    const std::vector<std::string> env = {"PATH=" + path("bin")};
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"start", name}, {"list"}, {"hint", name}, {"solution", second_exercise()}}) {
        SCOPED_TRACE(args[0]);
        exercise(args, env);
        expect_exit(run.end, 0);
        EXPECT_EQ(run.err_text, "");
    }
    exercise({"start", name}, env);
    EXPECT_NE(read_file(last_line()).find("EXERCISE"), std::string::npos) << run.out_text;
}

// Two checks at once each test their own copy: the second waits for the
// first, which is held in its build (by a cmake that waits for the test)
// until the second has started. Two exercises checked in the plain build
// alone, whose tests are in two executables.
TEST_F(Exercise, TwoChecksAtOnceEachCheckTheirOwnCopy)
{
    std::vector<std::string> plain;
    for (const std::string& name : exercises())
        if (registry_entry(name, "flavours") == std::vector<std::string>{"plain"})
            plain.push_back(name);
    ASSERT_FALSE(plain.empty());
    auto tests_of = [](const std::string& name) { return registry_entry(name, "tests").at(0); };
    auto suite_of = [&](const std::string& name) {
        std::string tests = tests_of(name);
        return tests.substr(tests.find(' ') + 1, tests.find('.') - tests.find(' '));
    };
    const std::string one = plain.front();
    auto other = std::find_if(plain.rbegin(), plain.rend(), [&](const std::string& name) {
        return tests_of(name).substr(0, tests_of(name).find(' ')) != tests_of(one).substr(0, tests_of(one).find(' '));
    });
    ASSERT_NE(other, plain.rend()) << "no two exercises of the plain build with tests in two executables";
    const std::string two = *other;
    exercise({"start", one});
    exercise({"start", two});
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
    start_exercise(first, {"check", one}, env);
    struct stat st {};
    for (double deadline = now_seconds() + 600; stat(path("hold.held").c_str(), &st) != 0;) {
        ASSERT_LT(now_seconds(), deadline) << "the first check never came to its build";
        ASSERT_FALSE(has_ended(first)) << first.out_text << first.err_text;
        usleep(20000);
    }
    start_exercise(second, {"check", two}, env);
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
    EXPECT_NE(first.out_text.find("(plain build; " + suite_of(one)), std::string::npos) << first.out_text;
    EXPECT_NE(second.out_text.find("(plain build; " + suite_of(two)), std::string::npos) << second.out_text;
}

// Starts scripts/exercise.sh watch NAME on a terminal of 80 columns, with
// the copies and the checks' builds where the fixture has them.
void start_watch(Terminal& t, const std::string& name, const std::string& copies, const std::string& script)
{
    write_file(script, "#!/bin/sh\nstty cols 80 rows 24\nexport EXERCISES_DIR='" + copies +
                           "' EXERCISE_BUILD='" CHECKS_BUILD "'\nexec /bin/bash '" SOURCE_DIR
                           "/scripts/exercise.sh' watch \"$1\"\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    start_terminal(t, script, {name});
}
// Whether the terminal reads lines and echoes keys, as it was before watch.
bool cooked(const Terminal& t)
{
    termios mode{};
    return tcgetattr(t.held, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
}
// Saves text as the copy, as an editor does: a new file renamed over it.
void save(const std::string& copy, const std::string& text)
{
    write_file(copy + ".new", text);
    ASSERT_EQ(rename((copy + ".new").c_str(), copy.c_str()), 0);
}

// watch on a terminal of 80 columns: the copy checked at once, the
// starter's failure with its report, and the keys under it; h and s show
// the hint and the solution's diff in its place. Each save is checked: a
// copy that does not build, whose compiler quotes its bytes (a terminal's
// escape), shown only as "?"; then the real program, which passes. No line
// is wider than the terminal; q ends it, the terminal as it was.
TEST_F(Exercise, WatchChecksEachSaveAndAnswersKeys)
{
    const std::string name = first_exercise();
    exercise({"start", name});
    const std::string copy = last_line();
    Terminal t;
    start_watch(t, name, path("copies"), path("watch"));
    size_t at = 0;
    ASSERT_GE(wait_screen(t, "\u2717 The test \"", 600, at, &at), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "  The check that failed (", 60, at, &at), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "q quit", 60, at, &at), 0) << t.screen;
    type(t, "h");
    ASSERT_GE(wait_screen(t, "Hint 1 of ", 60, at, &at), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "(v: the verdict again)", 60, at, &at), 0) << t.screen;
    type(t, "s");
    ASSERT_GE(wait_screen(t, "+++ " + source_of(name), 60, at, &at), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "(v: the verdict again)", 60, at, &at), 0) << t.screen;

    save(copy, "int main() { return \"\x1b]0;pwned\x07\"; }\n");
    ASSERT_GE(wait_screen(t, "\u2717 Your copy does not build", 600, at, &at), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "q quit", 60, at, &at), 0) << t.screen;
    EXPECT_EQ(t.screen.find("\x1b]0;pwned"), std::string::npos) << "the copy's bytes reached the terminal";
    EXPECT_NE(t.screen.find("?]0;pwned?"), std::string::npos) << t.screen;

    save(copy, real_source(name));
    ASSERT_GE(wait_screen(t, "\u2713 Every test of " + name + " passes", 600, at, &at), 0) << t.screen;
    ASSERT_GE(wait_screen(t, "q quit", 60, at, &at), 0) << t.screen;
    // (a line written over begins after its "\r\x1b[K", its carriage return gone from the screen)
    std::string lines = std::regex_replace(t.screen, std::regex("\x1b\\[K"), "\n");
    auto [width, line] = widest_line(std::regex_replace(lines, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), ""));
    EXPECT_LE(width, 80u) << line;
    type(t, "q");
    wait_end(t, 60);
    expect_exit(t.end, 0);
    EXPECT_TRUE(cooked(t)) << "the terminal was left without echo or lines";
}

// A save while a check runs ends that check, with every process it
// started, and checks anew; Ctrl-C then ends watch at once (status 130),
// and with it everything it started: inotifywait, the check, its test and
// the program under the test, each found running before the key. A copy
// that never ends makes sure the check is running the program then.
TEST_F(Exercise, WatchEndsARunningCheckOnASaveAndAllOnCtrlC)
{
    const std::string name = first_exercise();
    exercise({"start", name});
    const std::string copy = last_line();
    const std::string never_ends = "#include <unistd.h>\nint main()\n{\n    for (;;)\n        pause();\n}\n";
    write_file(copy, never_ends);
    Terminal t;
    start_watch(t, name, path("copies"), path("watch"));
    // The check, once it runs the copy's program: its processes.
    auto running_check = [&](pid_t not_this) {
        for (double deadline = now_seconds() + 600; now_seconds() < deadline; read_output(t, 0.1)) {
            std::vector<Process> checks = descendants(t.pid, "exercise.sh check ");
            if (checks.size() == 1 && checks[0].pid != not_this && !descendants(checks[0].pid, "/bin/" + name).empty()) {
                std::vector<Process> all = descendants(checks[0].pid, "");
                all.push_back(checks[0]);
                return all;
            }
        }
        ADD_FAILURE() << "no check ran the copy's program:\n" << t.screen;
        return std::vector<Process>{};
    };
    // Those of started still running (the same process: its PID and its command line).
    auto left_of = [](const std::vector<Process>& started) {
        std::string left;
        for (const Process& now : processes())
            for (const Process& p : started)
                if (now.pid == p.pid && now.command == p.command)
                    left += p.command + "\n";
        return left;
    };
    std::vector<Process> first = running_check(0);
    ASSERT_FALSE(first.empty());
    ASSERT_NE(t.screen.find("building ("), std::string::npos) << t.screen;
    size_t saved = t.screen.size();
    save(copy, never_ends);
    // The next check's first words, whether it begins or waits for the
    // one before to end: by then, that one has ended whole.
    for (double deadline = now_seconds() + 60; t.screen.find("Checking your ", saved) == std::string::npos &&
                                               t.screen.find("waiting for another check", saved) == std::string::npos;
         read_output(t, 0.05))
        ASSERT_LT(now_seconds(), deadline) << t.screen;
    EXPECT_EQ(left_of(first), "") << "left of the check the save ended";
    ASSERT_FALSE(running_check(first.back().pid).empty());

    std::vector<Process> started = descendants(t.pid, "");
    ASSERT_FALSE(descendants(t.pid, "inotifywait").empty());
    pid_t leader = t.pid;
    type(t, "\x03");
    // What is left once watch has ended, before the test's harness ends
    // what is left in its group.
    for (double deadline = now_seconds() + 60; process_stat(leader).state != 'Z' && now_seconds() < deadline;)
        read_output(t, 0.05);
    EXPECT_EQ(left_of(started), "");
    wait_end(t, 60);
    expect_exit(t.end, 130);
    EXPECT_TRUE(cooked(t)) << "the terminal was left without echo or lines";
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
// The trace beside runs a learner's copy again: one that neither reads
// what the test sent nor ends holds the replay for its bounds alone (each
// wait 15 s at most), and nothing of it is left after.
TEST_F(Exercise, ReplayIsBoundedAndLeavesNothing)
{
    const std::string seconds = "999." + std::to_string(getpid());  // a sleep no other process has
    ASSERT_EQ(mkdir(path("exchange").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("exchange/files-1").c_str(), 0755), 0);
    write_file(path("exchange/exchange.json"),
               "{\"program\": \"sleep\", \"args\": [\"" + seconds + "\"], \"env\": [], \"blocked\": [], "
               "\"terminal\": false, \"directory\": \"" + dir + "\", \"files\": \"files-1\", \"files_whole\": true, "
               "\"private_tmp\": false, "
               "\"steps\": [{\"at\": 0, \"step\": \"send\", \"value\": \"" + std::string(300000, 'x') +
               "\", \"seconds\": 0}, {\"at\": 0, \"step\": \"close\", \"value\": \"\", \"seconds\": 0}, "
               "{\"at\": 0, \"step\": \"end\", \"value\": \"\", \"seconds\": 60}]}\n");
    run_piped(run, "/usr/bin/python3", "", 120, {},
              {SOURCE_DIR "/scripts/replay.py", path("exchange"), "/bin/sleep", path("trace")});
    expect_exit(run.end, 0);
    EXPECT_EQ(std::regex_replace(run.out_text, std::regex("sent: [0-9]+ bytes"), "sent: N bytes"),
              "(the program took not all the test sent: N bytes left)\n"
              "(the test waited 15 s for the program to end: it did not)\n");
    for (const Process& p : processes())
        EXPECT_EQ(p.command.find(seconds), std::string::npos) << "left running: " << p.command;
}

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
