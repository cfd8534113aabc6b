// pause_timer, which has no what-if, as the tour's --what-if takes it.
#include "tour_test.h"

namespace {

class PauseTimerTour : public Tour {};

// The tour's --what-if, on a pipe and within 80 columns, says that the
// program has none, and where one would be.
TEST_F(PauseTimerTour, WhatIfSaysThereIsNone)
{
    make_kit();
    std::string flat = unwrapped(tour_on_a_pipe({"--what-if", "pause_timer"}));  // its lines joined again
    EXPECT_NE(flat.find("(no what-if for pause_timer: none of its lessons is taken out in "
                        "lessons/pause_timer/what-if/)"),
              std::string::npos)
        << run.out_text;
}

}  // namespace
