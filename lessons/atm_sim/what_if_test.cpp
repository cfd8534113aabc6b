// atm_sim's what-if (lessons/atm_sim/what-if.sh): turns that overlap on the
// time line.
#include "what_if_test.h"

namespace {

using AtmSimWhatIf = WhatIf;

WHAT_IF_TEST(AtmSimWhatIf, TheTimeLineFindsTheTurnsOverlappingInTheChangedAtmAlone, "atm_sim--unlock-before-the-turn")
{
    check();
}

}  // namespace
