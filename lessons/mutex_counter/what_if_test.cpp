// mutex_counter's what-if (lessons/mutex_counter/what-if.sh): the race
// without the lock, found by ThreadSanitizer and in the totals.
#include "what_if_test.h"

namespace {

using MutexCounterWhatIf = WhatIf;

// Without the lock, of nine totals counted the long way at least one comes
// out short; with it, every one is exact.
WHAT_IF_TEST(MutexCounterWhatIf, ThreadSanitizerAndTheTotalsFindTheRaceInTheChangedCounterAlone,
             "mutex_counter--no-lock")
{
    std::string verdicts = check();
    int changed_exact = 0, real_exact = 0;
    for (size_t at = 0, end; (end = verdicts.find('\n', at)) != std::string::npos; at = end + 1) {
        bool exact = verdicts.substr(at, end - at).find("the totals: 0 of 3 short") != std::string::npos;
        (verdicts.compare(at, 5, "real ") == 0 ? real_exact : changed_exact) += exact;
    }
    EXPECT_LT(changed_exact, 3) << verdicts;
    EXPECT_EQ(real_exact, 1) << verdicts;
}

}  // namespace
