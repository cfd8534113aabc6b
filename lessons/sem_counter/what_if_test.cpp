// sem_counter's what-if (lessons/sem_counter/what-if.sh): the race that a
// semaphore started at 2 lets in, found by ThreadSanitizer.
#include "what_if_test.h"

namespace {

using SemCounterWhatIf = WhatIf;

WHAT_IF_TEST(SemCounterWhatIf, ThreadSanitizerFindsTheRaceInTheChangedCounterAlone, "sem_counter--starts-at-2")
{
    check();
}

}  // namespace
