// pause_timer's exercise: what a failed check's report shows of its runs.
#include "exercise_test.h"

namespace {

// For the starter, the signal sent and the count that came.
[[maybe_unused]] const bool parts = in_report(
    "pause_timer", "starter", {"\n    signal   SIG", "\n    came     \"Countdown: 10\\n", "\n    expected  ", "\n    came      "});

}  // namespace
