// mutex_counter's exercise: what a failed check's report shows of its runs.
#include "exercise_test.h"

namespace {

// A lock given back too early shows under the lock shim, which the report
// names; a lock never given back is told as a deadlock.
[[maybe_unused]] const bool parts =
    in_report("mutex_counter", "wrong/unlocked-before-the-store", {"\n    setting  the lock shim held the thread inside"}) &&
    in_report("mutex_counter", "wrong/never-unlocked", {deadlock});

}  // namespace
