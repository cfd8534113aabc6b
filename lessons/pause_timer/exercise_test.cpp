// pause_timer's exercise: what a failed check's report shows of its runs, and
// the trace beside of the starter.
#include "exercise_test.h"

namespace {

// For the starter, the signal sent and the count that came.
[[maybe_unused]] const bool parts = in_report(
    "pause_timer", "starter", {"\n    signal   SIG", "\n    came     \"Countdown: 10\\n", "\n    expected  ", "\n    came      "});

class PauseTimerExercise : public Exercise {};

// The starter sleeps with both signals blocked: where the real program
// waits in ppoll, which lets them in, the copy sleeps in nanosleep.
TEST_F(PauseTimerExercise, TraceBesideSaysWhereTheStarterParts)
{
    expect_starter_traced("pause_timer", "your copy calls nanosleep", "where the real program calls ppoll at line");
}

}  // namespace
