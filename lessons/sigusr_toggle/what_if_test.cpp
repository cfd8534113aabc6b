// sigusr_toggle's what-if (lessons/sigusr_toggle/what-if.sh): the wake-up
// lost when SIGUSR1 is let in at any time.
#include "what_if_test.h"

namespace {

using SigusrToggleWhatIf = WhatIf;

WHAT_IF_TEST(SigusrToggleWhatIf, TheLostWakeUpIsFoundInTheChangedToggleAlone, "sigusr_toggle--signal-let-in-any-time")
{
    check();
}

}  // namespace
