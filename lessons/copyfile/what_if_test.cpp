// copyfile's what-ifs (lessons/copyfile/what-if.sh): each fault of the copy
// found in the changed copy alone.
#include "what_if_test.h"

namespace {

using CopyfileWhatIf = WhatIf;

WHAT_IF_TEST(CopyfileWhatIf, FaultsAreFoundInTheChangedCopyAlone, "copyfile--truncate-first",
             "copyfile--read-error-as-end", "copyfile--write-unfinished")
{
    check();
}

}  // namespace
