// sem_counter's what-if, as the tour shows it.
#include "tour_test.h"

namespace {

class SemCounterTour : public Tour {};

// The what-if, from the tour on a pipe, within 80 columns, says what its
// totals count.
TEST_F(SemCounterTour, WhatIfSaysWhatItsTotalsCount)
{
    make_kit();
    std::string flat = unwrapped(tour_on_a_pipe({"--what-if", "sem_counter"}));  // its lines joined again
    EXPECT_NE(flat.find(" of 9000000: 3 threads each counting to 3000000)"), std::string::npos) << run.out_text;
}

}  // namespace
