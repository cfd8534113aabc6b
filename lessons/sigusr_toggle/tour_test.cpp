// sigusr_toggle's what-if, as the tour shows it.
#include "tour_test.h"

namespace {

class SigusrToggleTour : public Tour {};

// Ctrl-C as the tour's what-if begins its run under a time limit ends the
// run, the what-if and the tour at once, with status 130, and leaves no
// process behind.
TEST_F(SigusrToggleTour, CtrlCEndsTheWhatIfsRunUnderATimeLimit)
{
    make_kit();
    expect_ctrl_c_ends_the_what_if("tour.sh", {"--what-if", "sigusr_toggle"},
                                   "/changed-sigusr_toggle--signal-let-in-any-time/");
}

}  // namespace
