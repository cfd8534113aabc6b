// The what-ifs (scripts/what_if.sh): each patch applies and builds, and its
// tool finds the fault in the changed program on every run, and nothing in
// the real program under the same conditions.
#include "harness.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class WhatIf : public TempDirTest {
protected:
    // Checks the what-ifs named: their verdicts on three runs of the changed
    // program (each must find the fault) and one of the real one (none).
    // Returns the verdicts, each line after "changed " or "real ".
    std::string check(std::initializer_list<const char*> names)
    {
        std::string verdicts;
        for (const char* name : names) {
            SCOPED_TRACE(name);
            for (const char* kind : {"changed", "changed", "changed", "real"}) {
                Piped run;
                run_piped(run, "/bin/bash", "", 120, {"WHAT_IF_WORK=" + path("work"), "ONSCREEN=" ONSCREEN},
                          {std::string(SOURCE_DIR) + "/scripts/what_if.sh", "verdict", name, kind});
                expect_exit(run.end, strcmp(kind, "real") == 0 ? 1 : 0);
                EXPECT_EQ(run.err_text, "") << kind;
                EXPECT_NE(run.out_text, "") << kind << ": no verdict";
                verdicts += kind + (" " + run.out_text);
            }
        }
        return verdicts;
    }
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (access("/usr/bin/strace", X_OK) != 0 && access("/bin/strace", X_OK) != 0)
            GTEST_SKIP() << "strace is not installed (scripts/setup.sh test installs it)";
        ASSERT_EQ(mkdir(path("work").c_str(), 0755), 0);
    }
};

TEST_F(WhatIf, CopyfileFaultsAreFoundInTheChangedCopyAlone)
{
    check({"copyfile--truncate-first", "copyfile--read-error-as-end", "copyfile--write-unfinished"});
}

TEST_F(WhatIf, ThreadSanitizerFindsTheRaceInTheChangedCountersAlone)
{
    check({"sem_counter--starts-at-2"});
    // Without the lock, of nine totals counted the long way at least one
    // comes out short; with it, every one is exact.
    std::string verdicts = check({"mutex_counter--no-lock"});
    int changed_exact = 0, real_exact = 0;
    for (size_t at = 0, end; (end = verdicts.find('\n', at)) != std::string::npos; at = end + 1) {
        bool exact = verdicts.substr(at, end - at).find("the totals: 0 of 3 short") != std::string::npos;
        (verdicts.compare(at, 5, "real ") == 0 ? real_exact : changed_exact) += exact;
    }
    EXPECT_LT(changed_exact, 3) << verdicts;
    EXPECT_EQ(real_exact, 1) << verdicts;
}

TEST_F(WhatIf, TheTimeLineFindsTheTurnsOverlappingInTheChangedAtmAlone)
{
    check({"atm_sim--unlock-before-the-turn"});
}

TEST_F(WhatIf, LostLinesAndTheEndlessMenuAreFoundInTheChangedProgramsAlone)
{
    check({"sigint_loop--_exit-in-the-handler", "records--unchecked-scanf"});
}

TEST_F(WhatIf, TheLostWakeUpIsFoundInTheChangedToggleAlone)
{
    check({"sigusr_toggle--signal-let-in-any-time"});
}

TEST_F(WhatIf, TheFloodOfVerdictsIsFoundInTheChangedServerAlone)
{
    check({"server--no-write-end"});
}

TEST_F(WhatIf, TheLateVerdictIsFoundInTheServerWithoutItsFlushAlone)
{
    check({"server--no-flush"});
}

// Only the names list gives are taken (no path to a patch elsewhere), and
// a verdict only of the changed program or the real one.
TEST_F(WhatIf, TakesOnlyTheNamesListGives)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"show", "../what-if/copyfile--truncate-first"},
                                          {"verdict", "../what-if/copyfile--truncate-first", "changed"},
                                          {"verdict", "copyfile--truncate-first", "x"}}) {
        SCOPED_TRACE(args[1] + " " + (args.size() > 2 ? args[2] : ""));
        Piped run;
        args.insert(args.begin(), std::string(SOURCE_DIR) + "/scripts/what_if.sh");
        run_piped(run, "/bin/bash", "", 60, {"WHAT_IF_WORK=" + path("work")}, args);
        expect_exit(run.end, 2);
        EXPECT_EQ(run.out_text, "");
        EXPECT_NE(run.err_text, "");
    }
}

// Every patch kept is checked by one of the tests above.
TEST_F(WhatIf, EveryWhatIfIsChecked)
{
    Piped run;
    run_piped(run, "/bin/bash", "", 20, {}, {std::string(SOURCE_DIR) + "/scripts/what_if.sh", "list"});
    expect_exit(run.end, 0);
    std::string names;
    for (size_t at = 0; at < run.out_text.size();) {
        size_t end = run.out_text.find('\n', at);
        names += run.out_text.substr(at, run.out_text.find(' ', at) - at) + "\n";
        at = end == std::string::npos ? run.out_text.size() : end + 1;
    }
    EXPECT_EQ(names, "atm_sim--unlock-before-the-turn\ncopyfile--read-error-as-end\ncopyfile--truncate-first\n"
                     "copyfile--write-unfinished\nmutex_counter--no-lock\nrecords--unchecked-scanf\n"
                     "sem_counter--starts-at-2\nserver--no-flush\nserver--no-write-end\nsigint_loop--_exit-in-the-handler\n"
                     "sigusr_toggle--signal-let-in-any-time\n");
}

}  // namespace
