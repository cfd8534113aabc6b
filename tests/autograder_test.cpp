// The grading service's autograder (autograder/) and the classroom
// services' CI entry point (scripts/classroom.sh), run as the service and
// a CI job run them: the zip made, unpacked into a folder of the service's
// layout, set up, and a submission graded; the results files read back.
#include "exercise_test.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Autograder : public Exercise {
protected:
    // Runs a shell command line with words as $1, $2...; its output in run.
    void shell(const std::string& line, std::vector<std::string> words, double timeout,
               const std::vector<std::string>& env = {})
    {
        words.insert(words.begin(), {"-c", line, "sh"});
        run_piped(run, "/bin/sh", "", timeout, env, words);
    }
    // The zip for the exercises named, made and unpacked as the service does
    // into root/source, with an empty root/submission. The test's folder is
    // opened to all: the checks may run as the user nobody.
    std::string unpack(const std::vector<std::string>& names)
    {
        EXPECT_EQ(chmod(dir.c_str(), 0755), 0);
        const std::string root = path("autograder");
        std::vector<std::string> words{SOURCE_DIR, root};
        words.insert(words.end(), names.begin(), names.end());
        shell("root=$2 && mkdir -p \"$root/source\" \"$root/submission\" && cd \"$1\" && shift 2 && "
              "autograder/make_zip.sh \"$root/autograder.zip\" \"$@\"",
              words, 120);
        expect_exit(run.end, 0);
        // Unpacked with each file's mode, as the zip keeps it.
        shell("python3 -c 'import sys, zipfile, os\n"
              "with zipfile.ZipFile(sys.argv[1]) as z:\n"
              "    for i in z.infolist():\n"
              "        z.extract(i, sys.argv[2])\n"
              "        if i.external_attr >> 16: os.chmod(os.path.join(sys.argv[2], i.filename), i.external_attr >> 16)\n"
              "' \"$1/autograder.zip\" \"$1/source\"",
              {root}, 120);
        expect_exit(run.end, 0);
        return root;
    }
    // Runs run_autograder at the place given in root (source/, where the zip
    // is unpacked, or a copy at the top, as the service may run it).
    void run_autograder(const std::string& root, const std::string& place, const std::vector<std::string>& env = {})
    {
        std::vector<std::string> all{"AUTOGRADER_ROOT=" + root};
        all.insert(all.end(), env.begin(), env.end());
        shell("cd \"$1\" && { [ -e \"./$2run_autograder\" ] || cp source/run_autograder \"./$2\"; } && \"./$2run_autograder\"",
              {root, place}, 1200, all);
        expect_exit(run.end, 0);
    }
    // What results.json holds, read by a JSON parser: a first line with the
    // top-level score, the sum of the tests' scores and whether each field
    // the service reads is there; then a line for each test: its exercise
    // (its first tag), status, score and max_score; then the top-level
    // output.
    std::string results(const std::string& file)
    {
        shell("python3 -c 'import json, sys\n"
              "r = json.load(open(sys.argv[1]))\n"
              "tests = r[\"tests\"]\n"
              "keys = all(k in t for t in tests for k in (\"name\", \"number\", \"output\", \"tags\", \"visibility\", \"extra_data\"))\n"
              "print(\"score\", r[\"score\"], \"sum\", sum(t[\"score\"] for t in tests), \"fields\", keys and all(k in r for k in (\"output\", \"visibility\", \"stdout_visibility\")))\n"
              "for t in tests: print(\"test\", t[\"tags\"][0], t.get(\"status\"), t[\"score\"], t[\"max_score\"])\n"
              "print(r[\"output\"])\n"
              "' \"$1\"",
              {file}, 60);
        expect_exit(run.end, 0);
        return run.out_text;
    }
    // Whether a sandbox can be made here, as the scripts ask it.
    static bool sandboxed()
    {
        const std::string helper = std::string(SOURCE_DIR) + "/scripts/sandbox.sh";
        return access(helper.c_str(), X_OK) == 0 &&
               system(("\"" + helper + "\" --check >/dev/null 2>&1").c_str()) == 0;
    }
};

std::string file_name(const std::string& source) { return source.substr(source.rfind('/') + 1); }

// Two exercises checked in the plain build alone, the cheapest to check:
// the first, and the last.
std::vector<std::string> cheap_pair()
{
    std::vector<std::string> names{exercises().front(), exercises().back()};
    for (const std::string& name : names)
        EXPECT_EQ(registry_entry(name, "flavours"), std::vector<std::string>{"plain"}) << name;
    return names;
}

// A submission of the real program's file (in a folder, as uploaded) and
// another exercise's starter (at the top): after setup.sh, run_autograder
// leaves results.json with each field the service reads, the real copy's
// tests passed with full marks, some of the starter's failed, each test
// failed with no marks, the total the sum; and says how the student's programs were held.
TEST_F(Autograder, GradesASubmissionOfARealCopyAndAStarter)
{
    const std::vector<std::string> names = cheap_pair();
    const std::string root = unpack(names);
    shell("\"$1/source/setup.sh\"", {root}, 1200, {"AUTOGRADER_ROOT=" + root});
    // Without root it may not install: the checks then build their trees
    // themselves.
    if (run.end.status != 0 && getuid() != 0)
        std::cout << "setup.sh skipped: it could not prepare this machine without root:\n" << run.err_text;
    else
        expect_exit(run.end, 0);

    const std::string real = source_of(names[0]);
    ASSERT_EQ(mkdir((root + "/submission/mine").c_str(), 0755), 0);
    write_file(root + "/submission/mine/" + file_name(real), real_source(names[0]));
    exercise({"start", names[1]});
    write_file(root + "/submission/" + file_name(source_of(names[1])), read_file(last_line()));
    run_autograder(root, "source/");
    const std::string got = results(root + "/results/results.json");

    int real_tests = 0, starter_failed = 0;
    double total = 0;
    for (size_t at = got.find('\n') + 1, end; (end = got.find('\n', at)) != std::string::npos; at = end + 1) {
        std::istringstream line(got.substr(at, end - at));
        std::string mark, exercise, status;
        double score = -1, max_score = -1;
        if (!(line >> mark >> exercise >> status >> score >> max_score) || mark != "test")
            break;  // the top-level output
        SCOPED_TRACE(exercise);
        total += score;
        EXPECT_GT(max_score, 0);
        EXPECT_EQ(score, status == "passed" ? max_score : 0) << status;
        if (exercise == names[0]) {
            ++real_tests;
            EXPECT_EQ(status, "passed");
        } else {
            EXPECT_EQ(exercise, names[1]);
            starter_failed += status == "failed";
        }
    }
    EXPECT_GT(real_tests, 0) << got;
    EXPECT_GT(starter_failed, 0) << got;
    char first[200];
    snprintf(first, sizeof first, "score %g sum %g fields True\n", total, total);
    EXPECT_EQ(got.substr(0, got.find('\n') + 1), first) << got;
    EXPECT_NE(got.find(sandboxed()         ? "Each test ran in a sandbox."
                       : getuid() == 0     ? "the tests ran as the unprivileged user nobody, not in a sandbox."
                                           : "not in a sandbox."),
              std::string::npos)
        << got;
}

// A submission with no exercise's file in it still gets results.json: a
// score of 0, and the files that were expected named; and so does one whose
// check is ended before its verdict, with what happened. run_autograder is
// run from a copy outside the zip's folder, as the service may run it.
TEST_F(Autograder, AlwaysWritesResultsWithAScoreOfZeroWhenItCannotGrade)
{
    const std::vector<std::string> names = cheap_pair();
    const std::string root = unpack(names);
    write_file(root + "/submission/notes.txt", "nothing to grade\n");
    run_autograder(root, "");
    std::string got = results(root + "/results/results.json");
    EXPECT_EQ(got.substr(0, got.find('\n') + 1), "score 0 sum 0 fields True\n") << got;
    for (const std::string& name : names)
        EXPECT_NE(got.find(file_name(source_of(name)) + " (" + name + ")"), std::string::npos) << got;

    write_file(root + "/submission/" + file_name(source_of(names[0])), real_source(names[0]));
    run_autograder(root, "", {"AUTOGRADER_TIMEOUT=1"});
    got = results(root + "/results/results.json");
    EXPECT_EQ(got.substr(0, got.find('\n') + 1), "score 0 sum 0 fields True\n") << got;
    EXPECT_NE(got.find("the check did not finish within 1 s"), std::string::npos) << got;
}

// The classroom's CI entry point, on a copy that does not build: it fails,
// and leaves both results files in the current folder, each saying so.
TEST_F(Autograder, ClassroomFailsAFailedCopyAndLeavesTheResults)
{
    const std::string name = exercises().front();
    exercise({"start", name});
    write_file(last_line(), "int main() { return undeclared_name; }\n");
    run_piped(run, std::string(SOURCE_DIR) + "/scripts/classroom.sh", "", 1200,
              {"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" CHECKS_BUILD}, {name});
    expect_exit(run.end, 1);
    shell("python3 -c 'import json, sys, xml.etree.ElementTree as x\n"
          "print(sum(1 for c in x.parse(sys.argv[1]).iter(\"testcase\") if c.find(\"failure\") is not None or c.find(\"error\") is not None))\n"
          "print(json.load(open(sys.argv[2]))[\"score\"])\n"
          "' results/junit.xml results/results.json",
          {}, 60);
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text, "1\n0\n") << run.err_text;
}

}  // namespace
