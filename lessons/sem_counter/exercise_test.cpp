// sem_counter's exercise: what a failed check's report shows of its runs.
#include "exercise_test.h"

namespace {

// A semaphore never posted, or started at 0, is told as a deadlock.
[[maybe_unused]] const bool parts =
    in_report("sem_counter", "wrong/never-posted", {deadlock}) && in_report("sem_counter", "wrong/starts-at-0", {deadlock});

}  // namespace
