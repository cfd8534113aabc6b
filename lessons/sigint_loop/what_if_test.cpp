// sigint_loop's what-if (lessons/sigint_loop/what-if.sh): the lines that
// _exit leaves in the buffer.
#include "what_if_test.h"

namespace {

using SigintLoopWhatIf = WhatIf;

WHAT_IF_TEST(SigintLoopWhatIf, LostLinesAreFoundInTheChangedProgramAlone, "sigint_loop--_exit-in-the-handler")
{
    check();
}

}  // namespace
