// The exercises (scripts/exercise.sh): each starter builds and fails its
// check, and the real program, put in its place, passes it; a copy that
// exists is never overwritten; a check leaves the build that the tour and
// the tests use alone, and its failure says what was sent, what was
// expected and what came.
#include "harness.h"

#include <sys/stat.h>

namespace {

class Exercise : public TempDirTest {
protected:
    // Runs scripts/exercise.sh with the copies and the checks' builds in the
    // test's directory.
    void exercise(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{std::string(SOURCE_DIR) + "/scripts/exercise.sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        run_piped(run, "/bin/bash", "", 600, {"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" + path("build")},
                  argv);
    }
    // The last line of the output: start's path of the copy.
    std::string last_line() const
    {
        std::string text = run.out_text.substr(0, run.out_text.size() - 1);
        return text.substr(text.rfind('\n') + 1);
    }
    // The starter fails its check; the real source, put in its place, passes.
    // Returns the failing check's output.
    std::string check_both_ways(const std::string& name, const std::string& source)
    {
        SCOPED_TRACE(name);
        exercise({"start", name});
        expect_exit(run.end, 0);
        std::string copy = last_line();
        EXPECT_NE(read_file(copy), read_file(std::string(SOURCE_DIR) + "/" + source)) << "no lesson taken out";
        exercise({"check", name});
        expect_exit(run.end, 1);
        EXPECT_NE(run.out_text.find("\u2717 "), std::string::npos) << run.out_text;
        EXPECT_EQ(run.out_text.find("does not build"), std::string::npos) << "the starter must build:\n"
                                                                            << run.out_text;
        std::string failed = run.out_text;
        write_file(copy, read_file(std::string(SOURCE_DIR) + "/" + source));
        exercise({"check", name});
        expect_exit(run.end, 0);
        EXPECT_NE(run.out_text.find("\u2713 Every test of " + name + " passes"), std::string::npos) << run.out_text;
        return failed;
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

TEST_F(Exercise, CopyfileReportsWhatWasSentExpectedAndCameAndKeepsTheCopy)
{
    std::string before = real_build_state("copyfile");
    std::string failed = check_both_ways("copyfile", "file_copy/copyfile.cpp");
    for (const char* part : {"\n    sent     \"", "\n    prompt   \"Enter source file path: \"",
                             "\n    expected  ", "\n    came      ", "\n    ended    exit status "})
        EXPECT_NE(failed.find(part), std::string::npos) << part << " missing from:\n" << failed;
    EXPECT_EQ(real_build_state("copyfile"), before) << "the check changed the tour's and the tests' build";

    // A second start keeps the copy as the learner left it.
    exercise({"start", "copyfile"});
    std::string copy = last_line();
    write_file(copy, "// mine\n");
    exercise({"start", "copyfile"});
    expect_exit(run.end, 0);
    EXPECT_EQ(last_line(), copy);
    EXPECT_EQ(read_file(copy), "// mine\n");
    EXPECT_NE(run.out_text.find("kept as it is"), std::string::npos) << run.out_text;
}

TEST_F(Exercise, PauseTimerReportsTheKeysAndSignalsSent)
{
    std::string failed = check_both_ways("pause_timer", "signals/pause_timer.cpp");
    for (const char* part : {"\n    signal   SIGINT\n", "\n    came     \"Countdown: 10\\n", "\n    expected  ",
                             "\n    came      ", "\n    ended    exit status 0"})
        EXPECT_NE(failed.find(part), std::string::npos) << part << " missing from:\n" << failed;
}

TEST_F(Exercise, EachOtherStarterFailsAndTheRealProgramPasses)
{
    for (const auto& [name, source] : std::vector<std::pair<std::string, std::string>>{
             {"records", "records/find_roster_entry.cpp"},
             {"server", "fifo/server.cpp"},
             {"sigint_loop", "signals/sigint_loop.cpp"},
             {"sigusr_toggle", "signals/sigusr_toggle.cpp"}})
        check_both_ways(name, source);
}

TEST_F(Exercise, EachThreadStarterFailsAndTheRealProgramPasses)
{
    for (const char* name : {"atm_sim", "mutex_counter", "sem_counter"})
        check_both_ways(name, std::string("threads/") + name + ".cpp");
}

// Every starter kept is checked by one of the tests above.
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

}  // namespace
