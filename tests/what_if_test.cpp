// The what-ifs (scripts/what_if.sh) over the registry: each what-if has its
// patch, its run and a test (the lessons' own, lessons/NAME/what_if_test.cpp,
// where each patch is checked to apply and build, and its tool to find the
// fault in the changed program on every run and nothing in the real one
// under the same conditions); and the script takes only the names it lists.
#include "what_if_test.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

std::map<std::string, std::vector<std::string>>& what_if_tests()
{
    static std::map<std::string, std::vector<std::string>> tests;
    return tests;
}

bool enter_what_if_test(const std::string& test, const std::vector<std::string>& names)
{
    what_if_tests()[test] = names;
    return true;
}

std::string WhatIf::check()
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    auto entered = what_if_tests().find(std::string(test->test_suite_name()) + "." + test->name());
    if (entered == what_if_tests().end() || entered->second.empty())
        ADD_FAILURE() << "no what-if entered for this test (WHAT_IF_TEST names them)";
    std::string verdicts;
    for (const std::string& name : entered == what_if_tests().end() ? std::vector<std::string>{} : entered->second) {
        SCOPED_TRACE(name);
        for (const char* kind : {"changed", "changed", "changed", "real"}) {
            Piped run;
            run_piped(run, "/bin/bash", "", 180, {"WHAT_IF_WORK=" + path("work"), "ONSCREEN=" ONSCREEN},
                      {std::string(SOURCE_DIR) + "/scripts/what_if.sh", "verdict", name, kind});
            expect_exit(run.end, strcmp(kind, "real") == 0 ? 1 : 0);
            EXPECT_EQ(run.err_text, "") << kind;
            EXPECT_NE(run.out_text, "") << kind << ": no verdict";
            verdicts += kind + (" " + run.out_text);
        }
    }
    return verdicts;
}

void WhatIf::SetUp()
{
    TempDirTest::SetUp();
    if (strace_path().empty())
        GTEST_SKIP() << "strace is not installed (scripts/setup.sh test installs it)";
    ASSERT_EQ(mkdir(path("work").c_str(), 0755), 0);
}

namespace {

// The registry's what-ifs, PROGRAM--WHAT.
std::vector<std::string> registry_what_ifs()
{
    std::vector<std::string> names;
    for (const std::string& program : registry_programs())
        for (const std::string& line : registry_entry(program, "what-if"))
            names.push_back(program + "--" + line.substr(0, line.find_first_of(" \t")));
    return names;
}

// Each what-if of the registry has its patch, its run in its lesson's
// what-if.sh, and a test; and no test checks a what-if the registry lacks.
TEST_F(WhatIf, EveryWhatIfIsChecked)
{
    std::vector<std::string> names = registry_what_ifs();
    ASSERT_FALSE(names.empty());
    std::set<std::string> tested;
    for (const auto& [test, checked] : what_if_tests())
        tested.insert(checked.begin(), checked.end());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::string program = name.substr(0, name.find("--")), what = name.substr(name.find("--") + 2);
        std::string lesson = std::string(SOURCE_DIR) + "/lessons/" + program;
        EXPECT_EQ(access((lesson + "/what-if/" + what + ".patch").c_str(), R_OK), 0) << "no patch";
        Piped run;
        run_piped(run, "/bin/bash", "", 20, {},
                  {"-c", "root=$1; . \"$root/scripts/registry.sh\"; . \"$2/what-if.sh\"; declare -F \"run_$3\"", "-",
                   SOURCE_DIR, lesson, what});
        expect_exit(run.end, 0);
        EXPECT_EQ(run.err_text, "");
        EXPECT_EQ(tested.erase(name), 1u) << "no test checks it (WHAT_IF_TEST in " << lesson << "/what_if_test.cpp)";
    }
    for (const std::string& name : tested)
        ADD_FAILURE() << "a test checks " << name << ", which the registry does not have";
}

// Only the names list gives are taken (no path to a patch elsewhere), and
// a verdict only of the changed program or the real one.
TEST_F(WhatIf, TakesOnlyTheNamesListGives)
{
    std::string name = registry_what_ifs().at(0);
    for (std::vector<std::string> args : {std::vector<std::string>{"show", "../" + name},
                                          {"verdict", name + "/../" + name, "changed"},
                                          {"verdict", name, "x"}}) {
        SCOPED_TRACE(args[1] + " " + (args.size() > 2 ? args[2] : ""));
        Piped run;
        args.insert(args.begin(), std::string(SOURCE_DIR) + "/scripts/what_if.sh");
        run_piped(run, "/bin/bash", "", 60, {"WHAT_IF_WORK=" + path("work")}, args);
        expect_exit(run.end, 2);
        EXPECT_EQ(run.out_text, "");
        EXPECT_NE(run.err_text, "");
    }
}

// --help prints the script's whole header, the comment under its first line.
TEST_F(WhatIf, HelpPrintsTheWholeHeader)
{
    std::string script = std::string(SOURCE_DIR) + "/scripts/what_if.sh", source = read_file(script), header;
    for (size_t at = source.find('\n') + 1; source.compare(at, 1, "#") == 0; at = source.find('\n', at) + 1) {
        size_t text = at + (source.compare(at, 2, "# ") == 0 ? 2 : 1);
        header += source.substr(text, source.find('\n', at) + 1 - text);
    }
    Piped run;
    run_piped(run, "/bin/bash", "", 20, {}, {script, "--help"});
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text, header);
}

}  // namespace
