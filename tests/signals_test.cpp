// pause_timer, sigint_loop and sigusr_toggle, driven with real signals:
// through pipes (fully buffered output, so the order of the text is all
// there is to see) and on a terminal with the real ^C and ^Z keys.
#include "harness.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

class Signals : public TempDirTest {};

const std::string paused_line = "\nTimer paused.\n";
const std::string resumed_line = "\nTimer resumed.\n";
const std::string farewell = "\nSIGINT caught, terminating safely.\n";
const std::string work_line = "Running Tavrin's program...\n";

std::string count_lines(int from, int to)
{
    std::string text;
    for (int n = from; n >= to; --n)
        text += "Countdown: " + std::to_string(n) + "\n";
    return text;
}

// The number of count lines before the first announcement in text.
int counted_before_pause(const std::string& text)
{
    size_t at = text.find(paused_line);
    int lines = 0;
    for (size_t i = 0; i < at && i < text.size(); ++i)
        lines += text[i] == '\n';
    return lines;
}

void sleep_seconds(double seconds)
{
    usleep(static_cast<useconds_t>(seconds * 1e6));
}

TEST_F(Signals, CountdownWithoutSignals)
{
    Piped run;
    double started = now_seconds();
    run_piped(run, program("pause_timer"), "", 60);
    double took = now_seconds() - started;
    EXPECT_EQ(run.out_text, count_lines(10, 1) + "Countdown complete.\n");
    expect_exit(run.end, 0);
    EXPECT_GE(took, 9.5);
    EXPECT_LE(took, 30);
}

// A pause after the third count line and a resume some seconds later: the
// announcements stand in their places in buffered output, and the count
// goes on where it stopped.
TEST_F(Signals, CountdownPausedAndResumedThroughAPipe)
{
    Piped run;
    start_piped(run, program("pause_timer"));
    ASSERT_TRUE(wait_caught(run.pid, {SIGINT, SIGTSTP}, 30));
    sleep_seconds(2.5);  // count lines at about 0, 1 and 2 seconds
    send_signal(run.pid, SIGINT);
    sleep_seconds(3);
    send_signal(run.pid, SIGTSTP);
    finish(run, 60);
    int before = counted_before_pause(run.out_text);
    EXPECT_GE(before, 2) << "lines before the pause; SIGINT came after about 2.5 s";
    EXPECT_LE(before, 4) << "lines before the pause; SIGINT came after about 2.5 s";
    EXPECT_EQ(run.out_text, count_lines(10, 11 - before) + paused_line + resumed_line +
                                count_lines(10 - before, 1) + "Countdown complete.\n");
    expect_exit(run.end, 0);
}

TEST_F(Signals, CountdownPausedTwiceAnnouncesTwice)
{
    Piped run;
    start_piped(run, program("pause_timer"));
    ASSERT_TRUE(wait_caught(run.pid, {SIGINT, SIGTSTP}, 30));
    sleep_seconds(1.5);
    send_signal(run.pid, SIGINT);
    sleep_seconds(1.5);
    send_signal(run.pid, SIGINT);
    sleep_seconds(1.5);
    send_signal(run.pid, SIGTSTP);
    finish(run, 60);
    int before = counted_before_pause(run.out_text);
    EXPECT_EQ(run.out_text, count_lines(10, 11 - before) + paused_line + paused_line +
                                resumed_line + count_lines(10 - before, 1) +
                                "Countdown complete.\n");
    expect_exit(run.end, 0);
}

TEST_F(Signals, CountdownOnATerminalWithTheKeys)
{
    Terminal t;
    start_terminal(t, program("pause_timer"));
    double at10 = wait_screen(t, "Countdown: 10\n", 10);
    double at9 = wait_screen(t, "Countdown: 9\n", 10);
    double at8 = wait_screen(t, "Countdown: 8\n", 10);
    ASSERT_GE(at8, 0) << t.screen;
    EXPECT_NEAR(at9 - at10, 1, 0.5);
    EXPECT_NEAR(at8 - at9, 1, 0.5);

    sleep_seconds(0.3);
    double pressed = now_seconds() - t.started;
    type(t, "\x03");  // ^C
    double announced = wait_screen(t, "Timer paused.\n", 10);
    ASSERT_GE(announced, 0) << t.screen;
    EXPECT_LT(announced - pressed, 0.8);  // well inside the one-second tick

    size_t paused_at = t.screen.size();
    sleep_seconds(2.5);
    EXPECT_LT(wait_screen(t, "Countdown", 0.1, paused_at), 0) << "counted while paused: " << t.screen;

    pressed = now_seconds() - t.started;
    type(t, "\x1a");  // ^Z
    double resumed = wait_screen(t, "Timer resumed.\n", 10, paused_at);
    double next = wait_screen(t, "Countdown: 7\n", 10, paused_at);
    ASSERT_GE(next, 0) << t.screen;
    EXPECT_LT(resumed - pressed, 0.8);
    EXPECT_LT(next - pressed, 0.8);  // at once, not a tick later

    EXPECT_GE(wait_screen(t, "Countdown complete.\n", 20), 0) << t.screen;
    wait_end(t, 10);
    expect_exit(t.end, 0);
}

TEST_F(Signals, CountdownStorm)
{
    Piped run;
    start_piped(run, program("pause_timer"));
    ASSERT_TRUE(wait_caught(run.pid, {SIGINT, SIGTSTP}, 30));
    // As fast as they can be sent, reading the output meanwhile: first
    // pauses alone for two seconds, which keeps the program paused and
    // announcing, then pauses and resumes alternating for one second, which
    // lets the count run out.
    int sent = 0;
    for (double until = now_seconds() + 2; now_seconds() < until || sent < 2000; ++sent) {
        send_signal(run.pid, SIGINT);
        if (sent % 200 == 0)
            read_output(run, 0);
    }
    for (double until = now_seconds() + 1; now_seconds() < until || sent < 4000; sent += 2) {
        send_signal(run.pid, SIGINT);
        send_signal(run.pid, SIGTSTP);
        if (sent % 200 == 0)
            read_output(run, 0);
    }
    send_signal(run.pid, SIGTSTP);  // running at the end, so the count finishes
    finish(run, 60);
    expect_exit(run.end, 0);
    ASSERT_FALSE(run.out_text.empty());
    ASSERT_EQ(run.out_text.back(), '\n');

    // Every line is one of the program's own; the count lines, taken alone,
    // are 10 down to 1 once each, and the closing line comes last.
    std::string counts;
    size_t start = 0;
    while (start < run.out_text.size()) {
        size_t end = run.out_text.find('\n', start);
        std::string line = run.out_text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("Countdown: ", 0) == 0)
            counts += line + "\n";
        else if (line != "" && line != "Timer paused." && line != "Timer resumed." &&
                 line != "Countdown complete.")
            ADD_FAILURE() << "foreign line: '" << line << "'";
    }
    EXPECT_EQ(counts, count_lines(10, 1));
    const std::string closing = "Countdown complete.\n";
    EXPECT_EQ(run.out_text.find(closing), run.out_text.size() - closing.size());
}

TEST_F(Signals, LoopEndsOnInterruptWithEveryLine)
{
    Piped run;
    start_piped(run, program("sigint_loop"));
    ASSERT_TRUE(wait_caught(run.pid, {SIGINT}, 30));
    sleep_seconds(3);  // work lines at about 0 and 2 seconds
    double sent = now_seconds();
    send_signal(run.pid, SIGINT);
    finish(run, 30);
    EXPECT_LT(now_seconds() - sent, 1.0);  // the rest of the wait is not waited for
    EXPECT_EQ(run.out_text, work_line + work_line + farewell);
    EXPECT_EQ(run.err_text, "");
    expect_exit(run.end, 0);

    start_piped(run, program("sigint_loop"));
    sleep_seconds(1);
    send_signal(run.pid, SIGTERM);
    finish(run, 30);
    expect_killed(run.end, SIGTERM);
    EXPECT_EQ(run.out_text.find("SIGINT caught"), std::string::npos);
}

TEST_F(Signals, LoopOnATerminalEndsAtOnceOnCtrlC)
{
    Terminal t;
    start_terminal(t, program("sigint_loop"));
    size_t at = 0;
    double first = wait_screen(t, work_line, 10, at, &at);
    double second = wait_screen(t, work_line, 10, at, &at);
    ASSERT_GE(second, 0) << t.screen;
    EXPECT_NEAR(second - first, 2, 0.6);
    sleep_seconds(0.5);
    double pressed = now_seconds() - t.started;
    type(t, "\x03");
    double farewell_at = wait_screen(t, farewell, 10, at);
    ASSERT_GE(farewell_at, 0) << t.screen;
    EXPECT_LT(farewell_at - pressed, 1.0);  // not at the end of the two-second wait
    wait_end(t, 10);
    expect_exit(t.end, 0);
}

TEST_F(Signals, ToggleOnATerminal)
{
    Terminal t;
    start_terminal(t, program("sigusr_toggle"));
    size_t at = 0;
    double first = wait_screen(t, "Working...\n", 10, at, &at);
    double second = wait_screen(t, "Working...\n", 10, at, &at);
    ASSERT_GE(second, 0) << t.screen;
    EXPECT_LT(first, 2);
    EXPECT_NEAR(second - first, 3, 0.6);

    // Each SIGUSR1 brings the line of the new state at once. Sending the next
    // one as soon as a line shows often lands before the program has begun
    // its wait: that wake-up must not be lost either.
    for (int flip = 1; flip <= 12; ++flip) {
        SCOPED_TRACE(flip);
        double sent = now_seconds() - t.started;
        send_signal(t.pid, SIGUSR1);
        const char* expected = flip % 2 ? "paused by SIGUSR1\n" : "Working...\n";
        double shown = wait_screen(t, expected, 10, at, &at);
        ASSERT_GE(shown, 0) << t.screen;
        EXPECT_LT(shown - sent, 1.5);  // not at the end of the three-second wait
    }
    // Twelve flips: working again, every three seconds.
    double next = wait_screen(t, "Working...\n", 10, at, &at);
    EXPECT_GE(next, 0) << t.screen;
    send_signal(t.pid, SIGTERM);
    wait_end(t, 10);
    expect_killed(t.end, SIGTERM);
}

TEST_F(Signals, ToggleStorm)
{
    Terminal t;
    start_terminal(t, program("sigusr_toggle"));
    ASSERT_GE(wait_screen(t, "Working...\n", 10), 0);
    double until = now_seconds() + 2;
    for (int sent = 0; now_seconds() < until || sent < 2000; ++sent) {
        send_signal(t.pid, SIGUSR1);
        if (sent % 500 == 0)
            read_output(t, 0.01);  // keep the terminal drained
    }
    // Still alive and still answering: one more flip shows at once.
    read_output(t, 0.5);
    size_t at = t.screen.size();
    send_signal(t.pid, SIGUSR1);
    EXPECT_GE(wait_screen(t, "\n", 2, at), 0) << "no answer after the storm";
    read_output(t, 0.2);

    size_t start = 0;
    while (start < t.screen.size()) {
        size_t end = t.screen.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unfinished line at the end";
        std::string line = t.screen.substr(start, end - start);
        EXPECT_TRUE(line == "Working..." || line == "paused by SIGUSR1") << "'" << line << "'";
        start = end + 1;
    }
    send_signal(t.pid, SIGTERM);
    wait_end(t, 10);
    expect_killed(t.end, SIGTERM);
}

}  // namespace
