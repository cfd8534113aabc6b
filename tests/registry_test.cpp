// The registry (registry.txt): each program named only in its own places,
// and a new program added with nothing but those places.
#include "harness.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

class Registry : public TempDirTest {
protected:
    // Runs a shell command line with words as $1, $2...; its output in run.
    void shell(const std::string& line, const std::vector<std::string>& words, double timeout,
               const std::vector<std::string>& env = {})
    {
        std::vector<std::string> args{"-c", line, "sh"};
        args.insert(args.end(), words.begin(), words.end());
        run_piped(run, "/bin/sh", "", timeout, env, args);
    }
    Piped run;
};

bool starts_with(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// A program's name stands, outside its own folder, in its lesson's folder,
// its tests, the registry and the README alone: no script, tool or kit test
// has a case of its own for it.
TEST_F(Registry, EachProgramIsNamedOnlyInItsOwnPlaces)
{
    struct stat st {};
    if (stat((std::string(SOURCE_DIR) + "/.git").c_str(), &st) != 0)
        GTEST_SKIP() << "the project is not a git clone here: git grep has no files to search";
    for (const std::string& name : registry_programs()) {
        SCOPED_TRACE(name);
        std::vector<std::string> own{registry_entry(name, "folder").at(0) + "/", "lessons/" + name + "/",
                                     "registry.txt", "README.md"};
        std::string tests = registry_entry(name, "tests").at(0);
        own.push_back("tests/" + tests.substr(0, tests.find(' ')) + ".cpp");
        for (const std::string& helper : registry_entry(name, "helper"))
            own.push_back("tests/" + helper.substr(0, helper.find(' ')) + ".cpp");
        shell("git -C \"$1\" grep -lw -e \"$2\"", {SOURCE_DIR, name}, 60);
        ASSERT_EQ(run.end.status, 0) << run.err_text;
        std::string stray;
        size_t at = 0;
        for (size_t end; (end = run.out_text.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string file = run.out_text.substr(at, end - at);
            if (std::none_of(own.begin(), own.end(), [&](const std::string& place) {
                    return place.back() == '/' ? starts_with(file, place) : file == place;
                }))
                stray += " " + file;
        }
        EXPECT_EQ(stray, "") << "files that name " << name << " outside its own places";
    }
}

// A tenth program, upcase, that reads a line whole, however many reads it
// takes, and writes it back in capitals.
const char upcase_source[] = R"cpp(// upcase: one line from standard input, written back in capitals.
#include <cctype>
#include <cstdio>
#include <unistd.h>

int main()
{
    char line[256];
    size_t len = 0;
    // A line may come in several pieces: read until its end.
    while (len < sizeof line) {
        ssize_t got = read(STDIN_FILENO, line + len, sizeof line - len);
        if (got < 0) {
            perror("read");
            return 1;
        }
        if (got == 0)
            break;
        len += static_cast<size_t>(got);
        if (line[len - 1] == '\n')
            break;
    }
    for (size_t i = 0; i < len; ++i)
        line[i] = static_cast<char>(toupper(static_cast<unsigned char>(line[i])));
    if (write(STDOUT_FILENO, line, len) != static_cast<ssize_t>(len)) {
        perror("write");
        return 1;
    }
    return 0;
}
)cpp";

// Its exercise's starter: one read, where the line may take several.
std::string upcase_starter()
{
    const std::string source = upcase_source;
    const std::string loop_start = "    // A line may come", loop_end = "    for (size_t i";
    size_t from = source.find(loop_start), to = source.find(loop_end);
    return source.substr(0, from) +
           "    // EXERCISE: a line may come in several pieces: read until its end.\n"
           "    ssize_t got = read(STDIN_FILENO, line, sizeof line);\n"
           "    if (got > 0)\n"
           "        len = static_cast<size_t>(got);\n" +
           source.substr(to);
}

// Its tests: a line written in two pieces comes back whole.
const char upcase_test[] = R"cpp(#include "harness.h"

#include <sys/ioctl.h>
#include <unistd.h>

class Upcase : public TempDirTest {};

// The second piece is sent only once the program has read the first: the
// pipe then holds nothing (FIONREAD), so the two are never read as one.
TEST_F(Upcase, ALineInTwoPiecesComesBackWhole)
{
    Piped p;
    start_piped(p, program("upcase"));
    feed(p, "hel");
    int left = 3;
    for (int tries = 0; tries < 1000 && ioctl(p.in, FIONREAD, &left) == 0 && left > 0; ++tries)
        usleep(10000);
    ASSERT_EQ(left, 0) << "the program never read the first piece";
    feed(p, "lo\n");
    finish(p, 10);
    EXPECT_EQ(p.out_text, "HELLO\n");
    expect_exit(p.end, 0);
}
)cpp";

const char upcase_entry[] = R"cpp(
program upcase
    folder    upcase
    sources   upcase.cpp
    tests     upcase_test Upcase.*
    flavours  plain
    tour      a line read whole, however many reads it takes, and written back in capitals
    exercise  the loop that reads until the end of the line
)cpp";

const char upcase_stop[] = R"cpp(# shellcheck shell=bash
stop() {
    on_terminal upcase 'type:hello\n' 'expect:HELLO' end
}
)cpp";

const char upcase_hints[] = R"cpp(read(2) returns what has come so far: loop until the line's end.
)cpp";

// A tenth program added as the README says: its folder, its registry entry,
// its lesson's folder and its tests. In a throwaway copy of the project,
// the tour shows its stop, the trace view its calls under its lines, and its
// exercise fails the starter and passes the real program.
TEST_F(Registry, ATenthProgramNeedsOnlyItsFolderEntryLessonAndTests)
{
    const std::string tree = path("tree");
    shell("mkdir \"$2\" && tar -C \"$1\" --exclude=./build --exclude=./.git --exclude=./exercises -cf - . | "
          "tar -C \"$2\" -xf -",
          {SOURCE_DIR, tree}, 120);
    ASSERT_EQ(run.end.status, 0) << run.err_text;
    ASSERT_EQ(mkdir((tree + "/upcase").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((tree + "/lessons/upcase").c_str(), 0755), 0);
    write_file(tree + "/upcase/upcase.cpp", upcase_source);
    write_file(tree + "/tests/upcase_test.cpp", upcase_test);
    write_file(tree + "/registry.txt", read_file(tree + "/registry.txt") + upcase_entry);
    write_file(tree + "/lessons/upcase/tour.sh", upcase_stop);
    write_file(tree + "/lessons/upcase/exercise.hints", upcase_hints);
    write_file(path("starter.cpp"), upcase_starter());
    shell("cd \"$1\" && diff -u --label a/upcase/upcase.cpp --label b/upcase/upcase.cpp upcase/upcase.cpp \"$2\" "
          ">lessons/upcase/exercise.patch; [ $? -eq 1 ]",
          {tree, path("starter.cpp")}, 30);
    ASSERT_EQ(run.end.status, 0) << run.err_text;

    shell("\"$1/scripts/tour.sh\" upcase </dev/null", {tree}, 600);
    EXPECT_EQ(run.end.status, 0) << run.out_text << run.err_text;
    EXPECT_NE(run.out_text.find("=== upcase: a line read whole"), std::string::npos) << run.out_text;
    EXPECT_NE(run.out_text.find("HELLO"), std::string::npos) << run.out_text;

    if (strace_path().empty()) {
        std::cout << "(the trace view is not checked: strace is not installed)\n";
    } else {
        shell("\"$1/scripts/tour.sh\" --trace upcase </dev/null", {tree}, 600);
        EXPECT_EQ(run.end.status, 0) << run.out_text << run.err_text;
        // The read is shown under the line that made it.
        size_t line = run.out_text.find("ssize_t got = read(STDIN_FILENO, line + len");
        EXPECT_NE(line, std::string::npos) << run.out_text;
        EXPECT_NE(run.out_text.find("read(", line == std::string::npos ? 0 : line + 1), std::string::npos)
            << run.out_text;
    }

    const std::vector<std::string> env{"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" + path("checks")};
    shell("\"$1/scripts/exercise.sh\" start upcase </dev/null", {tree}, 120, env);
    ASSERT_EQ(run.end.status, 0) << run.out_text << run.err_text;
    shell("\"$1/scripts/exercise.sh\" check upcase </dev/null", {tree}, 900, env);
    EXPECT_NE(run.end.status, 0) << "the starter passed its check:\n" << run.out_text;
    EXPECT_NE(run.out_text.find("ALineInTwoPiecesComesBackWhole"), std::string::npos) << run.out_text;
    write_file(path("copies/upcase/upcase.cpp"), upcase_source);
    shell("\"$1/scripts/exercise.sh\" check upcase </dev/null", {tree}, 900, env);
    EXPECT_EQ(run.end.status, 0) << "the real program failed its check:\n" << run.out_text << run.err_text;
}

}  // namespace
