// copyfile's exercise: what a failed check's report shows of its runs, and
// the hint made for the test of short writes, and the trace beside of the
// starter.
#include "exercise_test.h"

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

}  // namespace
