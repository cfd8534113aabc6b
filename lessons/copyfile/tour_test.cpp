// copyfile's tour stop: its trace view, of a run and of the recorded ones,
// and the notes its lesson gives it.
#include "tour_test.h"

#include <sstream>

namespace {

class CopyfileTour : public Tour {};

// The trace view of a copy: each read and write under the line of
// copyfile.cpp that made it, write_all's inlined into main named as itself,
// the copy loop's pairs folded after the first, the end of the source.
TEST_F(CopyfileTour, TraceMapsTheCopysReadsAndWritesToTheirLines)
{
    if (std::string why = cannot_trace(); !why.empty())
        GTEST_SKIP() << why;
    write_file(path("source"), pattern_bytes(10 * 1024 + 100));
    std::string view = trace_view("copyfile", {"expect:source file path: ", "type:source\\n",
                                               "expect:destination file path: ", "type:copy\\n",
                                               "expect:Copying complete!", "end"});
    EXPECT_EQ(read_file(path("copy")), read_file(path("source")));
    const char* file = "file_copy/copyfile.cpp";
    std::string loop_read = heading(file, "len = read(src, buffer, sizeof buffer);");
    expect_in_order(view, {"  Before main: ", " calls: ", heading(file, "ssize_t got = read(STDIN_FILENO, &c, 1);").c_str(),
                           "   [in read_path, from line ", "\n    read(0, \"s\", 1) = 1",
                           heading(file, "ssize_t len = read(src, buffer, sizeof buffer);").c_str(),
                           "\n    read(3, ", ", 1024) = 1024\n",
                           heading(file, "ssize_t written = write(fd, buf, len);").c_str(), "   [in write_all, from line ",
                           "\n    write(4, ", loop_read.c_str(), "\n    read(3, ",
                           "\n    ... 8 more times these two, one after the other\n", "1024) = 100\n",
                           ", 100) = 100\n", loop_read.c_str(), "\n    read(3, \"\", 1024) = 0\n"});
}

// What the C library does of its own accord, before main, at the first use
// of standard output and in exit after main, is named the same from glibc
// 2.36 (Debian 12) and 2.41 (Debian 13), whose calls differ: traces recorded
// on each (lessons/copyfile/traces/, by trace_view.py --save).
TEST_F(CopyfileTour, TraceNamesTheCLibrarysOwnWorkTheSameOnGlibc236And241)
{
    for (const char* glibc : {"2.36", "2.41"}) {
        SCOPED_TRACE(glibc);
        // (the notes are cut into lines at spaces: each piece stays on one)
        std::string trace = std::string(SOURCE_DIR) + "/lessons/copyfile/traces/glibc-" + glibc + ".trace";
        expect_in_order(view_of("copyfile", trace),
                        {"\n  Before main: the loader maps the program and the C library; the C library\n"
                         "      readies itself:\n    ",
                         "\n    # Before its first use of standard output, the C library asks what it is:", "a",
                         "terminal, so it goes", "\n    printf -> ", "stat", "(1, ", "{st_mode=S_IFCHR",
                         "\n  After main returned, in exit (the C library)\n",
                         "\n    exit -> write(1, \"Copying complete!\", 17) = 17\n"});
    }
}

// With --trace, the tour's stop and its trace view keep every line within
// 80 columns on a pipe.
TEST_F(CopyfileTour, TracedStopFitsEightyColumns)
{
    traced_stop_on_a_pipe("copyfile");
}

// A view with its notes ("    # ...") and its first line (which names the
// program) left out.
std::string without_notes(const std::string& view)
{
    std::istringstream lines(view);
    std::string line, kept;
    for (std::getline(lines, line); std::getline(lines, line);)
        if (line.rfind("    # ", 0) != 0)
            kept += line + "\n";
    return kept;
}

// The notes on a line of copyfile's come from its lesson
// (lessons/copyfile/trace.notes): the same recorded run viewed as a program
// with no lesson shows the same calls with the C library's notes alone.
TEST_F(CopyfileTour, TraceNotesComeFromTheLesson)
{
    std::string view[2];
    const char* names[2] = {"copyfile", "no_such_lesson"};
    for (int i = 0; i < 2; ++i) {
        Piped run;
        run_piped(run, "/usr/bin/env", "", 60, {"COLUMNS=200"},
                  {"python3", SOURCE_DIR "/scripts/trace_view.py", names[i],
                   SOURCE_DIR "/lessons/copyfile/traces/glibc-2.41.trace"});
        expect_exit(run.end, 0);
        view[i] = run.out_text;
    }
    const char* own = "\n    # A write may take fewer bytes than it was given: write_all writes the rest\n";
    const char* c_library = "\n    # Before its first use of standard output, the C library asks what it is: ";
    EXPECT_NE(view[0].find(own), std::string::npos) << view[0];
    EXPECT_EQ(view[1].find(own), std::string::npos) << view[1];
    EXPECT_NE(view[1].find(c_library), std::string::npos) << view[1];
    EXPECT_EQ(without_notes(view[1]), without_notes(view[0]));
}

}  // namespace
