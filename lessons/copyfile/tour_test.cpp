// copyfile's own checks of its tour stop: here, its trace view's notes.
#include "harness.h"

#include <sstream>

namespace {

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
TEST(CopyfileTour, TraceNotesComeFromTheLesson)
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
