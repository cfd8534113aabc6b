// copyfile's exercise: what a failed check's report shows of its runs, the
// hint made for the test of short writes, the trace beside of the starter,
// and the learner's program played by the tour.
#include "exercise_test.h"
#include "tour_test.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// For the starter, what was sent, the prompt, what was expected and what
// came; for a copy whose fault shows under a setting of the test's, the
// setting; for a run that never ends, that it did not end, in words.
[[maybe_unused]] const bool parts =
    in_report("copyfile", "starter",
              {"\n    sent     \"", "\n    prompt   \"Enter source file path: \"", "\n    expected  ",
               "\n    came      ", "\n    ended    exit status "}) &&
    in_report("copyfile", "wrong/short-write-rest-from-the-start", {"\n    setting  the I/O shim let each write take "}) &&
    in_report("copyfile", "wrong/zero-byte-write-asked-again",
              {"\n    setting  the I/O shim let each write take no bytes",
               "\n    copyfile did not end within 5 s of its input's close"});

class CopyfileExercise : public Exercise {};

// A copy that fails a test that a hint is made for gets that hint, not the
// next in line: the real program with a short write's rest written from the
// chunk's start fails the test of short writes, and its hint comes.
TEST_F(CopyfileExercise, HintFitsTheFailure)
{
    exercise({"start", "copyfile"});
    const std::string copy = last_line();
    const std::string wrong = lesson("copyfile") + "/wrong/short-write-rest-from-the-start.patch";
    write_file(copy, read_file(std::string(SOURCE_DIR) + "/" + target_of(wrong)));
    run_piped(run, "/usr/bin/patch", "", 60, {}, {"--batch", "--silent", copy, wrong});
    expect_exit(run.end, 0);
    exercise({"check", "copyfile"});
    expect_exit(run.end, 1);
    EXPECT_NE(run.out_text.find("failed (plain build; Copyfile.ShortWritesAreCompleted)"), std::string::npos)
        << run.out_text;
    EXPECT_NE(run.out_text.find("\nHint: A write may take fewer bytes than it was asked to"), std::string::npos)
        << run.out_text;
}

// The starter's copy loop is missing: where the real program writes the
// chunk it read, the copy closes the source.
TEST_F(CopyfileExercise, TraceBesideSaysWhereTheStarterParts)
{
    expect_starter_traced("copyfile", "your copy calls close at line", "where the real program calls write at line");
}

// The tour with the learner's own program (a tour's kit: tests/tour_test.h).
class CopyfileMine : public Tour {
protected:
    void exercise(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{std::string(SOURCE_DIR) + "/scripts/exercise.sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        run_piped(run, "/bin/bash", "", 600, env(), argv);
    }
    // The kit's tour.sh with args, on pipes: its status and output.
    std::string tour(const std::vector<std::string>& args, int status)
    {
        start_kit(run, "tour.sh", args, env());
        finish(run, 240);
        expect_exit(run.end, status);
        return run.out_text + run.err_text;
    }
    std::vector<std::string> env() { return {"EXERCISES_DIR=" + path("copies"), "EXERCISE_BUILD=" CHECKS_BUILD}; }
};

// A copy that builds is kept built, even when its check fails (the real
// program with its last line its own), and the check's last line says
// where. tour.sh --mine plays it in the stop, under a heading that says so;
// with --trace its calls are under the copy's own lines, read from the copy
// even once the check's link to it in its build tree is gone. A later check
// of a copy that does not build takes it away, and --mine refuses then,
// saying what to run. A copy changed since its check is said to be so.
TEST_F(CopyfileMine, TourPlaysTheProgramTheCheckBuilt)
{
    make_kit();
    exercise({"start", "copyfile"});
    const std::string copy = path("copies/copyfile/copyfile.cpp"), real = "printf(\"\\nCopying complete!\");",
                      mine = "printf(\"\\nCopying complete! (mine)\");";
    std::string text = read_file(std::string(SOURCE_DIR) + "/" + source_of("copyfile"));
    size_t at = text.find(real);
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, real.size(), mine);
    write_file(copy, text);
    exercise({"check", "copyfile"});
    expect_exit(run.end, 1);
    const std::string built = path("copies/copyfile/bin/copyfile");
    EXPECT_TRUE(run.out_text.ends_with("\nYour program, built: " + built +
                                       " (watch it at work: scripts/tour.sh --mine copyfile)\n"))
        << run.out_text;

    // (a copy saved after its check is said to be newer than its program)
    struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, copy.c_str(), later, 0), 0);
    std::string out = tour({"--mine", "copyfile"}, 0);
    EXPECT_NE(unwrapped(out).find("=== copyfile (your copy, built from " + copy + "): "), std::string::npos) << out;
    EXPECT_NE(unwrapped(out).find("(your copy has changed since it was built: scripts/exercise.sh check copyfile "
                                  "builds it anew)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nCopying complete! (mine)\n"), std::string::npos) << out;

    if (std::string why = cannot_trace(); why.empty()) {
        DIR* links = opendir(CHECKS_BUILD "/exercise-plain/copies");
        ASSERT_NE(links, nullptr);
        while (dirent* link = readdir(links)) {
            std::string name = CHECKS_BUILD "/exercise-plain/copies/" + std::string(link->d_name);
            char target[4096];
            ssize_t n = readlink(name.c_str(), target, sizeof target);
            if (n > 0 && std::string(target, n) == path("copies/copyfile"))
                EXPECT_EQ(unlink(name.c_str()), 0) << name;
        }
        closedir(links);
        out = tour({"--mine", "copyfile", "--trace"}, 0);
        const std::string line = "\n  copyfile.cpp:" + std::to_string(std::count(text.begin(), text.begin() + at, '\n') + 1) +
                                 "  " + mine + "\n    printf -> write(1, ";
        EXPECT_NE(out.find(line), std::string::npos) << line << " not in:\n" << out;
    }

    write_file(copy, "int main() { return undeclared; }\n");
    exercise({"check", "copyfile"});
    expect_exit(run.end, 1);
    EXPECT_NE(access(built.c_str(), F_OK), 0) << "the program of the check before is still there";
    EXPECT_EQ(run.out_text.find("Your program, built"), std::string::npos) << run.out_text;
    out = tour({"--mine", "copyfile"}, 2);
    EXPECT_EQ(run.err_text, "tour: no program built from your copy of copyfile yet (a check builds it): "
                            "scripts/exercise.sh check copyfile\n");
}

}  // namespace
