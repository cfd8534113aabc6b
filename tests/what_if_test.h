// The what-ifs' checks (scripts/what_if.sh): the fixture that tests/what_if_test.cpp
// and each lesson's own checks, lessons/NAME/what_if_test.cpp, share.
#pragma once

#include "harness.h"

#include <map>
#include <string>
#include <vector>

// The what-ifs each test checks, by the test's name ("Suite.Test"), as
// WHAT_IF_TEST enters them: what EveryWhatIfIsChecked holds the registry to.
std::map<std::string, std::vector<std::string>>& what_if_tests();
bool enter_what_if_test(const std::string& test, const std::vector<std::string>& names);

class WhatIf : public TempDirTest {
protected:
    // Checks the what-ifs entered for the running test: their verdicts on
    // three runs of the changed program (each must find the fault) and one
    // of the real one (none). Returns the verdicts, each line after
    // "changed " or "real ".
    std::string check();
    void SetUp() override;
};

// WHAT_IF_TEST(Suite, Test, "PROGRAM--WHAT"...) { check(); ... }: a test of
// the what-ifs named, of the fixture WhatIf (Suite is an alias of it, one
// per program: CopyfileWhatIf, say).
#define WHAT_IF_TEST(suite, test, ...)                                                                          \
    [[maybe_unused]] const bool suite##_##test##_entered = enter_what_if_test(#suite "." #test, {__VA_ARGS__}); \
    TEST_F(suite, test)
