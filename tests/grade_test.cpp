// Grading a class (scripts/grade.sh): every student's copy checked in a
// sandbox, a row of the table each, the results files as graders' and CI
// systems' tools read them; a copy that attacks the grading is stopped, is
// marked in its row, and leaves nothing running.
#include "exercise_test.h"

#include <csignal>
#include <dirent.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Text appended to a copy, a constructor that runs before main each time the
// program starts: what a hostile copy would do.
std::string before_main(const std::string& includes, const std::string& body)
{
    return "\n" + includes + "\n__attribute__((constructor)) static void hostile()\n{\n" + body + "\n}\n";
}

// The processes whose program lies under a folder, or whose command line
// names it (a sandbox's, around a program there), as "PID PATH" lines.
std::string processes_under(const std::string& folder)
{
    std::string found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return "/proc cannot be read";
    while (dirent* entry = readdir(proc)) {
        char target[4096];
        std::string link = std::string("/proc/") + entry->d_name + "/exe";
        ssize_t size = readlink(link.c_str(), target, sizeof target - 1);
        std::string program = size > 0 ? std::string(target, static_cast<size_t>(size)) : "";
        std::string command = read_file(std::string("/proc/") + entry->d_name + "/cmdline");
        if (program.rfind(folder + "/", 0) == 0 || command.find(folder + "/") != std::string::npos)
            found += std::string(entry->d_name) + " " + program + "\n";
    }
    closedir(proc);
    return found;
}

class Grading : public Exercise {
protected:
    void copy(const std::string& student, const std::string& name, const std::string& text)
    {
        std::string folder = path("students/" + student + "/" + name);
        run_piped(run, "/bin/mkdir", "", 20, {}, {"-p", folder});
        write_file(folder + "/" + source_of(name).substr(source_of(name).rfind('/') + 1), text);
    }
};

// Reads results files back with Python's XML and JSON parsers (and xmllint),
// checking the formats' rules; says what breaks them, nothing when none does.
std::string broken_rules(const std::string& junit, const std::string& results = "")
{
        const char* check = R"(
import json, re, sys, xml.etree.ElementTree as tree
problems = []
raw = open(sys.argv[1], 'rb').read()
if re.search(rb'[\x00-\x08\x0b\x0c\x0e-\x1f]', raw):
    problems.append('a control byte in the XML')
root = tree.fromstring(raw)
if root.tag != 'testsuites':
    problems.append('root ' + root.tag)
def counts(element, cases):
    for kind, tag in (('failures', 'failure'), ('errors', 'error'), ('skipped', 'skipped')):
        if int(element.get(kind)) != sum(1 for case in cases if case.find(tag) is not None):
            problems.append(kind + ' of ' + element.get('name'))
    if int(element.get('tests')) != len(cases):
        problems.append('tests of ' + element.get('name'))
    float(element.get('time'))
counts(root, list(root.iter('testcase')))
for suite in root.iter('testsuite'):
    counts(suite, list(suite.iter('testcase')))
    for key in ('timestamp', 'hostname'):
        if not suite.get(key):
            problems.append(key + ' of ' + suite.get('name'))
    for case in suite.iter('testcase'):
        float(case.get('time'))
        if len([child for child in case if child.tag in ('failure', 'error', 'skipped')]) > 1:
            problems.append('two results in ' + case.get('name'))
results = json.load(open(sys.argv[2])) if sys.argv[2] else {'score': 0, 'execution_time': 0, 'output': '', 'tests': []}
for key in ('score', 'execution_time', 'output', 'tests'):
    if key not in results:
        problems.append('results.json without ' + key)
for test in results['tests']:
    for key in ('score', 'max_score', 'name', 'number', 'output', 'tags', 'visibility', 'extra_data'):
        if key not in test:
            problems.append(test.get('name', '?') + ' without ' + key)
    if test['extra_data']['result'] == 'skipped' and (test['score'] or test.get('status') == 'passed'):
        problems.append(test['name'] + ' counted as passed, skipped')
    if '\x1b' in test['output']:
        problems.append(test['name'] + ' output has an escape')
if abs(results['score'] - sum(test['score'] for test in results['tests'])) > 1e-9:
    problems.append('score is not the sum')
if sys.argv[2] and len(results['tests']) != len(list(root.iter('testcase'))):
    problems.append('not the same tests in both')
sys.stdout.write(''.join(problem + '\n' for problem in problems))
)";
        Piped parse;
        run_piped(parse, "/usr/bin/python3", "", 60, {}, {"-c", check, junit, results});
        Piped lint;
        run_piped(lint, "/usr/bin/xmllint", "", 60, {}, {"--noout", junit});
        return parse.out_text + parse.err_text + lint.err_text + (lint.end.exited && lint.end.status == 0 ? "" : "xmllint refused it\n");
}

// Six students: the real program, the starter, a wrong copy, and three
// attacks: a copy that would pass by writing over another student's copy,
// the grader's results and a file of the project; one that opens a network
// socket; one that forks without end, and prints without end in a second
// exercise. Each row is right, each attack stopped and failed, the files
// readable as their formats say, and nothing of any copy left running.
TEST_F(Grading, AClassIsGradedInASandboxAttacksStoppedAndMarked)
{
    const std::string first = exercises().at(0);
    std::string second;
    for (const std::string& name : exercises())
        if (name != first && registry_entry(name, "flavours") == std::vector<std::string>{"plain"})
            second = name;
    ASSERT_NE(second, "") << "no second exercise checked in the plain build alone";
    const std::string real = real_source(first);
    const std::string canary = std::string(CHECKS_BUILD) + "-canary";
    write_file(canary, "as it was\n");

    copy("ada", first, real);
    exercise({"start", first}, {"EXERCISES_DIR=" + path("students/ben")});
    const std::string starter = read_file(last_line());
    const std::vector<std::string> wrong = patches_of(first, "wrong");
    ASSERT_FALSE(wrong.empty());
    copy("cy", first, patched(source_of(first), wrong.front()));
    copy("dee", first, starter + before_main("#include <fcntl.h>\n#include <unistd.h>", R"(
    const char* targets[] = {")" + path("students/ada/" + first + "/" + source_of(first).substr(source_of(first).rfind('/') + 1)) + R"(",
                             ")" + path("out/ada/report.txt") + R"(", ")" + canary + R"("};
    for (const char* target : targets) {
        int fd = open(target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            (void)!write(fd, "dee was here\n", 13);
            close(fd);
        }
    })"));
    copy("eve", first, real + before_main("#include <sys/socket.h>", "    (void)!socket(AF_INET, SOCK_STREAM, 0);"));
    copy("fay", first, real + before_main("#include <unistd.h>", "    for (;;)\n        (void)!fork();"));
    copy("fay", second, real_source(second) + before_main("#include <unistd.h>", R"(
    static const char line[4096] = {'y'};
    for (;;)
        (void)!write(1, line, sizeof line);)"));
    const std::string ada_copy = read_file(path("students/ada/" + first + "/" +
                                                source_of(first).substr(source_of(first).rfind('/') + 1)));

    Piped grade;
    run_piped(grade, "/bin/bash", "", 1200,
              {"GRADE_BUILD=" CHECKS_BUILD "-grade", "GRADE_JOBS=2", "SANDBOX_PROCESSES=32"},
              {std::string(SOURCE_DIR) + "/scripts/grade.sh", path("students"), path("out")});
    if (grade.end.exited && grade.end.status == 2 && grade.err_text.find("no sandbox can be made here") != std::string::npos)
        GTEST_SKIP() << grade.err_text;
    expect_exit(grade.end, 0);
    EXPECT_NE(grade.out_text.find("grade: 7 of 7 copies checked"), std::string::npos) << grade.out_text << grade.err_text;

    // The table: a row each, in order, the counts adding up to the tests of
    // the exercise, the score the points of those passed.
    std::istringstream rows(read_file(path("out/grades.csv")));
    std::string line;
    std::getline(rows, line);
    EXPECT_EQ(line, "student,exercise,passed,failed,skipped,score,seconds");
    std::vector<std::vector<std::string>> table;
    while (std::getline(rows, line)) {
        std::vector<std::string> fields;
        std::istringstream row(line);
        for (std::string field; std::getline(row, field, ',');)
            fields.push_back(field);
        ASSERT_EQ(fields.size(), 7u) << line;
        table.push_back(fields);
    }
    const std::vector<std::pair<std::string, std::string>> order = {{"ada", first}, {"ben", first}, {"cy", first},
                                                                    {"dee", first}, {"eve", first}, {"fay", first},
                                                                    {"fay", second}};
    ASSERT_EQ(table.size(), order.size()) << read_file(path("out/grades.csv"));
    const int tests = std::stoi(table[0][2]);
    EXPECT_GT(tests, 0);
    for (size_t i = 0; i < order.size(); ++i) {
        SCOPED_TRACE(order[i].first + " " + order[i].second);
        EXPECT_EQ(table[i][0], order[i].first);
        EXPECT_EQ(table[i][1], order[i].second);
        int passed = std::stoi(table[i][2]), failed = std::stoi(table[i][3]), skipped = std::stoi(table[i][4]);
        EXPECT_EQ(table[i][5], table[i][2]) << "a point a test passed";
        EXPECT_GT(std::stod(table[i][6]), 0);
        if (i == 0)
            EXPECT_EQ(failed + skipped, 0);
        else
            EXPECT_GT(failed, 0) << read_file(path("out/" + order[i].first + "/report.txt"));
        if (order[i].second == first)
            EXPECT_EQ(passed + failed + skipped, tests);
        EXPECT_EQ(broken_rules(path("out/" + order[i].first + "/junit.xml"), path("out/" + order[i].first + "/results.json")), "");
    }
    // Each attack was stopped and said so in the report.
    EXPECT_EQ(read_file(path("students/ada/" + first + "/" + source_of(first).substr(source_of(first).rfind('/') + 1))), ada_copy);
    EXPECT_EQ(read_file(canary), "as it was\n");
    EXPECT_EQ(read_file(path("out/ada/report.txt")).find("dee was here"), std::string::npos);
    // (In each test's report: the verdict shows the first failure only,
    // and which fails first is the machine's choice.)
    EXPECT_NE(read_file(path("out/eve/results.json")).find("refused (a sandbox forbids it)"), std::string::npos)
        << read_file(path("out/eve/report.txt"));
    EXPECT_NE(read_file(path("out/fay/results.json")).find("MB to its standard output, so killed at once"), std::string::npos)
        << read_file(path("out/fay/report.txt"));
    // Nothing of any copy is left running: no process of a program built
    // from one.
    EXPECT_EQ(processes_under(CHECKS_BUILD "-grade"), "");
}

// A copy that would forge its tests' results by tracing the test that runs
// it (its parent) cannot: in the grader's sandbox the test process is not
// dumpable. The copy ends at once where it could; so every test would fail.
TEST_F(Grading, ACopyCannotTraceTheTestThatRunsIt)
{
    const std::string first = exercises().at(0);
    copy("zed", first, real_source(first) + before_main("#include <sys/ptrace.h>\n#include <unistd.h>", R"(
    if (ptrace(PTRACE_ATTACH, getppid(), 0, 0) == 0)
        _exit(42);)"));
    Piped grade;
    run_piped(grade, "/bin/bash", "", 1200, {"GRADE_BUILD=" CHECKS_BUILD "-grade"},
              {std::string(SOURCE_DIR) + "/scripts/grade.sh", path("students"), path("out")});
    if (grade.end.exited && grade.end.status == 2 && grade.err_text.find("no sandbox can be made here") != std::string::npos)
        GTEST_SKIP() << grade.err_text;
    expect_exit(grade.end, 0);
    const std::string rows = read_file(path("out/grades.csv"));
    EXPECT_EQ(rows.find("\nzed," + first + ",0,"), std::string::npos) << rows << read_file(path("out/zed/report.txt"));
}

// A grading stopped (SIGINT, as Ctrl-C sends it, or a runner's SIGTERM)
// ends every check it started, with all their processes, and writes no
// table. The copy here waits for ever, so its checks are running when the
// signal comes.
TEST_F(Grading, StoppedItLeavesNothingRunning)
{
    const std::string first = exercises().at(0);
    copy("hal", first, real_source(first) + before_main("#include <unistd.h>", "    pause();"));
    Piped grade;
    start_piped(grade, "/bin/bash", {"GRADE_BUILD=" CHECKS_BUILD "-grade"},
                {std::string(SOURCE_DIR) + "/scripts/grade.sh", path("students"), path("out")});
    std::string running;
    for (int tenth = 0; tenth < 6000 && running.empty() && process_stat(grade.pid).state != 'Z'; ++tenth) {
        usleep(100000);
        running = processes_under(CHECKS_BUILD "-grade");
    }
    if (running.empty()) {
        finish(grade, 60);
        if (grade.err_text.find("no sandbox can be made here") != std::string::npos)
            GTEST_SKIP() << grade.err_text;
        FAIL() << "no program of the copy ever ran: " << grade.out_text << grade.err_text;
    }
    send_signal(grade.pid, SIGINT);
    finish(grade, 120);
    expect_exit(grade.end, 130);
    EXPECT_NE(grade.err_text.find("grade: stopped; 0 of 1 copies were checked, and no table was written"),
              std::string::npos)
        << grade.err_text;
    for (int tenth = 0; tenth < 100 && !running.empty(); ++tenth) {
        usleep(100000);
        running = processes_under(CHECKS_BUILD "-grade");
    }
    EXPECT_EQ(running, "");
    EXPECT_EQ(read_file(path("out/grades.csv")), "");
}

// Where no sandbox can be made (here: no user namespace may be made, in one
// of the test's own), nothing is graded, and it says why.
TEST_F(Grading, NothingIsGradedWithoutASandbox)
{
    copy("ada", exercises().at(0), real_source(exercises().at(0)));
    Piped grade;
    run_piped(grade, "/usr/bin/unshare", "", 600, {"GRADE_BUILD=" CHECKS_BUILD "-grade"},
              {"--user", "--map-root-user", "/bin/sh", "-c",
               "echo 1 >/proc/sys/user/max_user_namespaces && exec unshare --user --map-user=1000 --map-group=1000 \"$@\"",
               "sh", std::string(SOURCE_DIR) + "/scripts/grade.sh", path("students"), path("out")});
    if (grade.err_text.find("max_user_namespaces:") != std::string::npos || grade.err_text.find("unshare:") != std::string::npos)
        GTEST_SKIP() << "no user namespace here to lower the limit in: " << grade.err_text;
    expect_exit(grade.end, 2);
    EXPECT_NE(grade.err_text.find("grade: no sandbox can be made here, so nothing is graded: sandbox: cannot make the "
                                  "sandbox: bwrap: Creating new namespace failed"),
              std::string::npos)
        << grade.err_text;
    EXPECT_EQ(read_file(path("out/grades.csv")), "");
}

// CTest's JUnit file, as test.sh --junit writes it again for CI systems:
// whole under a <testsuites> that sums it up, named, its counts right, and
// the escape codes and control bytes a test printed, which XML 1.0 does not
// allow, taken out.
class Results : public TempDirTest {};
TEST_F(Results, CTestsFileIsMadeFitForCiSystems)
{
    write_file(path("ctest.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                        "<testsuite name=\"(empty)\" tests=\"2\" failures=\"1\" disabled=\"0\" skipped=\"0\" hostname=\"\" time=\"1\">\n"
                                        "<testcase name=\"A.Passes\" classname=\"A.Passes\" time=\"0.1\" status=\"run\">"
                                        "<system-out>ok \x1b[31mred\x1b[0m</system-out></testcase>\n"
                                        "<testcase name=\"A.Fails\" classname=\"A.Fails\" time=\"0.2\" status=\"fail\">"
                                        "<failure message=\"Failed\"/><system-out>bell\x07</system-out></testcase>\n"
                                        "</testsuite>\n");
    Piped run;
    run_piped(run, std::string(SOURCE_DIR) + "/scripts/results.py", "", 60, {},
              {"--ctest", "plain", path("ctest.xml"), path("plain.xml")});
    expect_exit(run.end, 0);
    EXPECT_EQ(broken_rules(path("plain.xml")), "");
    const std::string made = read_file(path("plain.xml"));
    EXPECT_NE(made.find("<testsuites name=\"plain\" tests=\"2\" failures=\"1\" errors=\"0\" skipped=\"0\""), std::string::npos) << made;
    EXPECT_NE(made.find("<system-out>ok red</system-out>"), std::string::npos) << made;
    EXPECT_NE(made.find("<system-out>bell</system-out>"), std::string::npos) << made;
}

}  // namespace
