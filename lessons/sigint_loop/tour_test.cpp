// sigint_loop's tour stop: the trace view of its handler.
#include "tour_test.h"

namespace {

class SigintLoopTour : public Tour {};

// A signal's handler: its calls under its own lines, with the line of the
// wait the signal broke into, and the exit it ends with.
TEST_F(SigintLoopTour, TraceShowsTheHandlerInsideTheWaitItBrokeInto)
{
    if (std::string why = cannot_trace(); !why.empty())
        GTEST_SKIP() << why;
    std::string view = trace_view("sigint_loop", {"expect:program...\\n", "key:^C",
                                                  "expect:terminating safely.", "end"});
    const char* file = "signals/sigint_loop.cpp";
    std::string wait = heading(file, "ppoll(nullptr, 0, &interval, &waiting);");
    // (a heading too wide for 80 columns has its note on the next line)
    std::string inside = "   [handler, running inside the ppoll of line " +
                         std::to_string(line_of(file, "ppoll(nullptr, 0, &interval, &waiting);")) + "]\n";
    expect_in_order(view, {wait.c_str(), "\n    ppoll(NULL, 0, {tv_sec=2, tv_nsec=0}, [], 8) = ? ERESTART",
                           "\n    --- SIGINT ",
                           (heading(file, "printf(\"\\nSIGINT caught, terminating safely.\\n\");") + "\n").c_str(),
                           inside.c_str(), " -> write(1, \"SIGINT caught, ",
                           (heading(file, "exit(0);") + inside).c_str(), "\n    exit -> exit_group(0) = ?\n"});
}

// With --trace, the tour's stop and its trace view keep every line within
// 80 columns on a pipe.
TEST_F(SigintLoopTour, TracedStopFitsEightyColumns)
{
    traced_stop_on_a_pipe("sigint_loop");
}

}  // namespace
