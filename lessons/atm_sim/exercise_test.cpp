// atm_sim's exercise: what a failed check's report shows of its runs.
#include "exercise_test.h"

namespace {

// A lock never given back is told as a deadlock.
[[maybe_unused]] const bool parts = in_report("atm_sim", "wrong/never-unlocked", {deadlock});

}  // namespace
