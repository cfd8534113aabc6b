// atm_sim's tour stop: its time line, its what-if closed mid-run, and the
// what-if's record.
#include "tour_test.h"

namespace {

class AtmSimTour : public Tour {};

// The ATM timeline, drawn from the times atm_sim's lines appeared: five
// rows, one turn each of about two seconds, no column taken by two turns.
TEST_F(AtmSimTour, AtmTimelineShowsFiveTurnsOneAtATime)
{
    run_piped(run, ONSCREEN, "", 60, {},
              {"--lines", path("lines"), program("atm_sim"), "expect:Simulation complete.", "end"});
    expect_exit(run.end, 0);
    run_piped(run, "/usr/bin/env", "", 20, {},
              {"awk", "-f", std::string(SOURCE_DIR) + "/lessons/atm_sim/timeline.awk", path("lines")});
    expect_exit(run.end, 0);
    std::vector<std::string> rows;
    for (size_t at = 0, end; (end = run.out_text.find('\n', at)) != std::string::npos; at = end + 1)
        if (run.out_text.compare(at, 5, "User ") == 0)
            rows.push_back(run.out_text.substr(at + 8, end - at - 8));
    ASSERT_EQ(rows.size(), 5u) << run.out_text;
    std::string taken;
    for (const std::string& row : rows) {
        size_t from = row.find('=');
        size_t to = row.find_last_of('=') + 1;
        ASSERT_NE(from, std::string::npos) << run.out_text;
        EXPECT_EQ(row.find(' ', from), std::string::npos) << "a turn in pieces:\n" << run.out_text;
        EXPECT_GE(to - from, 9u) << run.out_text;  // two seconds are ten columns
        EXPECT_LE(to - from, 15u) << run.out_text;
        taken.resize(std::max(taken.size(), to), ' ');
        for (size_t c = from; c < to; ++c) {
            EXPECT_EQ(taken[c], ' ') << "two turns at once:\n" << run.out_text;
            taken[c] = '=';
        }
    }
    EXPECT_NE(run.out_text.find("5 turns of "), std::string::npos) << run.out_text;
}

// The terminal closed in the middle of the what-if's run: its build and
// the temporary files are removed all the same, and no process is left.
TEST_F(AtmSimTour, ClosingTheTerminalDuringTheWhatIfLeavesNoTemporaryFiles)
{
    make_kit();
    expect_hang_up_leaves_nothing("what_if.sh", {"show", "atm_sim--unlock-before-the-turn"},
                                  "(five turns of two seconds each: about ten seconds)");
}

// The record of the what-if: its page draws each run's time line, the
// changed program's turns overlapping, the real one's never, each drawing
// with its caption, and needs no other file.
TEST_F(AtmSimTour, WhatIfRecordDrawsBothTimeLines)
{
    make_kit();
    tour_on_a_pipe({"--record", path("record"), "--what-if", "atm_sim"});
    std::string checker = std::string(SOURCE_DIR) + "/tests/check_page.py";
    std::string page = path("record/index.html");
    run_piped(run, checker, "", 60, {}, {page});
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text, "");
    run_piped(run, checker, "", 60, {}, {page, "svg"});
    expect_in_order(run.out_text, {"5 turns, some overlapping", "\f", "5 turns, never two at once", "\f"});
    run_piped(run, checker, "", 60, {}, {page, "rect"});
    EXPECT_EQ(std::count(run.out_text.begin(), run.out_text.end(), '\f'), 10) << run.out_text;
    run_piped(run, checker, "", 60, {}, {page, "figcaption"});
    EXPECT_EQ(run.out_text, "The changed program's turns in time\fThe real program's turns in time\f");
}

}  // namespace
