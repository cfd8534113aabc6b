// The exercises (scripts/exercise.sh): each starter builds and fails its
// check, and so does every wrong copy kept for it and every what-if of its
// program; the real program, put in its place, passes it; a copy that exists
// is never overwritten; a check leaves the build that the tour and the tests
// use alone, and its failure says what was sent, what was expected and what
// came.
#include "harness.h"

#include <cstdlib>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Exercise : public TempDirTest {
protected:
    // Runs scripts/exercise.sh with the copies in the test's directory and
    // the checks' builds in a tree of this build's.
    void exercise(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{std::string(SOURCE_DIR) + "/scripts/exercise.sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        run_piped(run, "/bin/bash", "", 600, {"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" CHECKS_BUILD},
                  argv);
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

// Every starter kept is checked by the test above.
TEST_F(Exercise, EveryExerciseIsChecked)
{
    exercise({"list"});
    expect_exit(run.end, 0);
    std::string names;
    for (size_t at = 0; at < run.out_text.size(); at = run.out_text.find('\n', at) + 1)
        if (run.out_text[at] != '(')
            names += run.out_text.substr(at, run.out_text.find(' ', at) - at) + " ";
    EXPECT_EQ(names, "atm_sim copyfile mutex_counter pause_timer records sem_counter server sigint_loop sigusr_toggle ");
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
    };
    for (const auto& [sample, parts] : expected)
        for (const std::string& part : parts)
            EXPECT_NE((report_of(sample) + "[ end").find(part), std::string::npos)
                << in_quotes(part) << " missing from the report of " << sample << ":\n" << report_of(sample);
}

}  // namespace
