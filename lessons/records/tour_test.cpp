// records' tour stop: the trace view of its piped run, of a run and of the recorded ones.
#include "tour_test.h"

namespace {

class RecordsTour : public Tour {};

// Into a pipe, records writes nothing until it ends: its one write is
// exit's, after main has returned.
TEST_F(RecordsTour, TraceShowsThePipedRunsOneWriteAfterMain)
{
    if (std::string why = cannot_trace(); !why.empty())
        GTEST_SKIP() << why;
    // traced as the tour runs it fed from a pipe (lessons/records/tour.sh)
    run_piped(run, std::string(SOURCE_DIR) + "/scripts/traced.sh", "3\n42\n4\n", 60, {},
              {path("trace"), program("records")});
    expect_exit(run.end, 0);
    std::string view = view_of("records", path("trace"));
    expect_in_order(view, {"\n  After main returned, in exit (the C library)\n",
                           "\n    exit -> write(1, \"\\nMORV Management System\\n\"...", "exit -> exit_group(0)"});
    EXPECT_EQ(view.find("write(1,"), view.rfind("write(1,")) << "more than one write:\n" << view;
}

// What the C library does of its own accord with standard input and output
// both pipes, before main, at their first use and in exit after main, is
// named the same from glibc 2.36 (Debian 12) and 2.41 (Debian 13), whose
// calls differ: traces recorded on each (lessons/records/traces/, by
// trace_view.py --save).
TEST_F(RecordsTour, TraceNamesTheCLibrarysOwnWorkTheSameOnGlibc236And241)
{
    for (const char* glibc : {"2.36", "2.41"}) {
        SCOPED_TRACE(glibc);
        // (the notes are cut into lines at spaces: each piece stays on one)
        expect_in_order(view_of("records", std::string(SOURCE_DIR) + "/lessons/records/traces/piped-glibc-" + glibc +
                                               ".trace"),
                        {"\n  Before main: ", "\n    # Before its first use of standard output, the C library asks",
                         "not", "a terminal, so it", "in blocks\n    puts -> ", "stat", "(1, ", "{st_mode=S_IFIFO",
                         "\n    # Before its first use of standard input, the C library asks", "not",
                         "a terminal, so it", "in blocks\n    getc -> ", "stat", "(0, ", "{st_mode=S_IFIFO",
                         "\n  After main returned, in exit (the C library)\n", "\n    exit -> write(1, ",
                         "\n    exit -> lseek(0, -1, SEEK_CUR) = -1 ESPIPE"});
    }
}

}  // namespace
