// server's what-ifs (lessons/server/what-if.sh): the flood of verdicts with
// no write end held, and the late verdict with no flush.
#include "what_if_test.h"

namespace {

using ServerWhatIf = WhatIf;

WHAT_IF_TEST(ServerWhatIf, TheFloodOfVerdictsIsFoundInTheChangedServerAlone, "server--no-write-end")
{
    check();
}

WHAT_IF_TEST(ServerWhatIf, TheLateVerdictIsFoundInTheServerWithoutItsFlushAlone, "server--no-flush")
{
    check();
}

}  // namespace
