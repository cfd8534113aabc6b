// The exercises' tests (tests/exercise_test.cpp, and a lesson's own in
// lessons/NAME/exercise_test.cpp): the fixture that runs
// scripts/exercise.sh, and what the tests read of the lessons.
#pragma once

#include "harness.h"

#include <map>
#include <string>
#include <glob.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

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
    // The last line of the output: start's path of the copy.
    std::string last_line() const
    {
        std::string text = run.out_text.substr(0, run.out_text.size() - 1);
        return text.substr(text.rfind('\n') + 1);
    }
    // The trace beside of the exercise's starter: the exchange of a test
    // the starter fails, as the harness recorded it, run with the copy and
    // with the real program; both views, the first difference marked in each
    // and said in words, the copy's part first (mine), the real program's
    // after (real).
    void expect_starter_traced(const std::string& name, const std::string& mine, const std::string& real)
    {
        exercise({"start", name});
        exercise({"trace", name});
        expect_exit(run.end, 0);
        const std::string& out = run.out_text;
        size_t copy_view = out.find("\nYour copy, run through the test's exchange:\n");
        size_t real_view = out.find("\nThe real program, through the same exchange:\n");
        size_t words = out.find("\nThe first difference (==> in each view): ");
        ASSERT_LT(copy_view, real_view) << out << run.err_text;
        ASSERT_LT(real_view, words) << out;
        EXPECT_LT(out.find("\n==> ", copy_view), real_view) << "the copy's view marks no call";
        EXPECT_LT(out.find("\n==> ", real_view), words) << "the real program's view marks no call";
        std::string said = out.substr(words + 1);
        for (char& c : said)
            c = c == '\n' ? ' ' : c;
        size_t at = said.find(mine);
        EXPECT_NE(at, std::string::npos) << said;
        EXPECT_NE(said.find(real, at), std::string::npos) << said;
    }
    Piped run;
};

// The folder of a program's lesson.
inline std::string lesson(const std::string& name) { return std::string(SOURCE_DIR) + "/lessons/" + name; }

// The exercises: the programs of the registry whose lesson has a starter
// (exercise.patch), in the registry's order.
inline std::vector<std::string> exercises()
{
    std::vector<std::string> found;
    struct stat st {};
    for (const std::string& name : registry_programs())
        if (stat((lesson(name) + "/exercise.patch").c_str(), &st) == 0)
            found.push_back(name);
    return found;
}

// The patches in a folder of a program's lesson: lessons/NAME/FOLDER/*.patch.
inline std::vector<std::string> patches_of(const std::string& name, const std::string& folder)
{
    std::vector<std::string> found;
    glob_t matches{};
    std::string pattern = lesson(name) + "/" + folder + "/*.patch";
    if (glob(pattern.c_str(), 0, nullptr, &matches) == 0)
        found.assign(matches.gl_pathv, matches.gl_pathv + matches.gl_pathc);
    globfree(&matches);
    return found;
}

// The file a patch changes, as the project lays it out ("+++ b/FILE").
inline std::string target_of(const std::string& patch)
{
    std::string text = read_file(patch);
    size_t at = text.find("\n+++ b/");
    return at == std::string::npos ? "" : text.substr(at + 7, text.find('\n', at + 7) - at - 7);
}

// The real program's file that an exercise's starter changes, and its text.
inline std::string source_of(const std::string& name) { return target_of(lesson(name) + "/exercise.patch"); }
inline std::string real_source(const std::string& name)
{
    return read_file(std::string(SOURCE_DIR) + "/" + source_of(name));
}

// What the report of a failed check must show, for a copy of the exercise
// NAME: "starter", "wrong/WHAT" or "what-if/WHAT" (a patch of the lesson's).
// A lesson's exercise_test.cpp adds its own, at start-up:
//     const bool added = in_report("NAME", "wrong/WHAT", {"text it must show"});
using ReportParts = std::map<std::pair<std::string, std::string>, std::vector<std::string>>;
inline ReportParts& report_parts()
{
    static ReportParts parts;
    return parts;
}
inline bool in_report(const std::string& name, const std::string& copy, const std::vector<std::string>& parts)
{
    auto& kept = report_parts()[{name, copy}];
    kept.insert(kept.end(), parts.begin(), parts.end());
    return true;
}
// A deadlock is told as one, from what the threads were doing.
inline const std::string deadlock = ": waiting for a lock or a semaphore that is never given back (futex)";
