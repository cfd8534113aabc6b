// records' what-if (lessons/records/what-if.sh): the menu that comes again
// and again when its choice is not a number.
#include "what_if_test.h"

namespace {

using RecordsWhatIf = WhatIf;

WHAT_IF_TEST(RecordsWhatIf, TheEndlessMenuIsFoundInTheChangedProgramAlone, "records--unchecked-scanf")
{
    check();
}

}  // namespace
