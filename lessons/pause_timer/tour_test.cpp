// pause_timer, which has no what-if, as the tour's --what-if takes it, and
// the record of its stop.
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

// The record of the stop, traced: its asciicast holds each key typed in its
// place among the screen's lines, and asciinema shows it as the tour did;
// its page is valid HTML, needs no other file, and links the trace view's
// lines to the source. A second record is not made over the first.
TEST_F(PauseTimerTour, RecordKeepsTheScreenTheKeysAndAPage)
{
    if (std::string why = cannot_trace(); !why.empty())
        GTEST_SKIP() << why;
    if (access("/usr/bin/asciinema", X_OK) != 0)
        GTEST_SKIP() << "asciinema is not installed (scripts/setup.sh test installs it)";
    make_kit();
    std::string out = tour_on_a_pipe({"--record", path("record"), "--trace", "pause_timer"});
    std::string cast = read_file(path("record/01-pause_timer.cast"));
    EXPECT_EQ(cast.rfind("{\"version\": 2, \"width\": 80, \"height\": 24, ", 0), 0u) << cast.substr(0, 300);
    // (a line may share its event with the next, when both came at once)
    expect_in_order(cast, {"Countdown: 8\\r\\n", "\"i\", \"\\u0003\"]", "Timer paused.\\r\\n",
                           "\"i\", \"\\u001a\"]", "Timer resumed.\\r\\n"});

    Terminal cat;
    start_terminal(cat, "/usr/bin/asciinema", {"cat", path("record/01-pause_timer.cast")});
    wait_end(cat, 60);
    expect_exit(cat.end, 0);
    std::string shown;
    for (char c : cat.screen)
        if (c != '\r')
            shown += c;
    EXPECT_NE(shown.find("$ pause_timer\nCountdown: 10\n"), std::string::npos) << shown;
    std::string ppoll = heading("signals/pause_timer.cpp", "ppoll(nullptr, 0, &tick, &waiting);");
    EXPECT_NE(shown.find(ppoll), std::string::npos) << shown;
    EXPECT_NE(out.find(shown), std::string::npos) << "asciinema's screen is not the tour's:\n" << shown << "\n---\n" << out;

    std::string checker = std::string(SOURCE_DIR) + "/tests/check_page.py";
    run_piped(run, checker, "", 60, {}, {path("record/index.html")});
    expect_exit(run.end, 0);
    EXPECT_EQ(run.out_text, "");
    run_piped(run, checker, "", 60, {}, {path("record/index.html"), "a.line"});
    EXPECT_NE(run.out_text.find(ppoll + "\f"), std::string::npos) << run.out_text;
    run_piped(run, checker, "", 60, {}, {path("record/index.html"), "pre.screen"});
    EXPECT_NE(run.out_text.find("Timer paused.\n^Z\nTimer resumed."), std::string::npos) << run.out_text;

    start_kit(run, "tour.sh", {"--record", path("record"), "pause_timer"});
    finish(run, 60);
    expect_exit(run.end, 2);
    EXPECT_NE(run.err_text.find("holds files already"), std::string::npos) << run.err_text;
    EXPECT_EQ(read_file(path("record/01-pause_timer.cast")), cast);
}

}  // namespace
