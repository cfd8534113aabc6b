// atm_sim, mutex_counter and sem_counter, driven through pipes and on a terminal.
#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

class Threads : public TempDirTest {
protected:
    std::vector<std::string> with_lock_shim(const std::string& setting);
    bool lock_shim_was_loaded();
    void expect_exact_runs(const std::string& path, const std::string& line, int batches, int at_once,
                           double bound);
};

// Reads the user numbers of the five turns out of atm_sim's output, checking
// that every turn is its accessing line followed at once by its finished line.
// Returns the numbers in the order of the turns (empty if the shape is wrong).
std::vector<int> turns_of(const std::string& text, const std::string& start,
                          const std::string& end)
{
    std::vector<int> turns;
    if (text.compare(0, start.size(), start) != 0)
        return {};
    size_t at = start.size();
    for (int turn = 0; turn < 5; ++turn) {
        int id = 0;
        if (sscanf(text.c_str() + at, "\nUser %d is accessing", &id) != 1)
            return {};
        char expected[128];
        snprintf(expected, sizeof expected,
                 "\nUser %d is accessing the ATM\nUser %d has finished using the ATM\n", id, id);
        if (text.compare(at, strlen(expected), expected) != 0)
            return {};
        turns.push_back(id);
        at += strlen(expected);
    }
    return text.substr(at) == end ? turns : std::vector<int>{};
}

bool every_user_once(std::vector<int> turns)
{
    std::sort(turns.begin(), turns.end());
    return turns == std::vector<int>{1, 2, 3, 4, 5};
}

// The lock shim (tests/lock_shim.c) in a program started by the test: the
// environment entries that load it with its settings, and a log it creates
// at its start, which the test checks (ld.so only warns when it cannot load
// it). A sanitizer runtime is told to accept a library loaded ahead of it.
std::vector<std::string> Threads::with_lock_shim(const std::string& setting)
{
    unlink(path("lock_shim.log").c_str());
    return {"LD_PRELOAD=" + reachable_copy(LOCK_SHIM), "LOCK_SHIM_LOG=" + path("lock_shim.log"),
            "ASAN_OPTIONS=verify_asan_link_order=0", setting};
}

bool Threads::lock_shim_was_loaded()
{
    return access(path("lock_shim.log").c_str(), F_OK) == 0;
}

// Read first, as a learner's copy goes wrong at the first turn or soon
// after: each turn's lines as they appear. A user's turn is its accessing
// line and, as the very next line, its finished line two seconds later;
// the next turn begins soon after (its user was waiting for the lock). The
// lock shim holds a user who gives the ATM to a waiting user until that
// user's turn has begun (its sleep): a line written after the unlock then
// comes inside the next turn, where a right program has nothing to write.
TEST_F(Threads, AtmTurnsTakeTwoSecondsOnATerminal)
{
    Terminal t;
    {
        // The terminal's program takes the test's environment.
        std::vector<std::string> shim = with_lock_shim("LOCK_SHIM_HAND_OVER=1");
        for (const std::string& entry : shim)
            putenv(const_cast<char*>(entry.c_str()));
        start_terminal(t, program("atm_sim"));
        report_setting("the lock shim held a user who gave the ATM to a waiting user until that user's turn "
                       "had begun");
        for (const std::string& entry : shim)
            unsetenv(entry.substr(0, entry.find('=')).c_str());
    }
    size_t at = 0;
    // The next line on the screen and the second it was complete; "" if
    // none came in time.
    auto next_line = [&](double timeout, double& when) {
        size_t after = 0;
        when = wait_screen(t, "\n", timeout, at, &after);
        if (when < 0)
            return std::string("(no line in ") + std::to_string(static_cast<int>(timeout)) + " s)";
        std::string line = t.screen.substr(at, after - 1 - at);
        at = after;
        return line;
    };
    double previous_end = 0;
    ASSERT_EQ(next_line(5, previous_end), "Starting simulation...");
    ASSERT_TRUE(lock_shim_was_loaded());
    std::vector<int> users;
    for (int turn = 0; turn < 5; ++turn) {
        SCOPED_TRACE("turn " + std::to_string(turn + 1));
        double accessing = 0, finished = 0;
        ASSERT_EQ(next_line(3, accessing), "") << "a turn should begin within 3 s of the last one's end";
        std::string line = next_line(1, accessing);
        int user = 0;
        ASSERT_EQ(sscanf(line.c_str(), "User %d is accessing the ATM", &user), 1) << line;
        ASSERT_EQ(line, "User " + std::to_string(user) + " is accessing the ATM");
        ASSERT_EQ(next_line(5, finished), "User " + std::to_string(user) + " has finished using the ATM")
            << "the next line after a user's first: its last, two seconds later";
        EXPECT_GE(finished - accessing, 1.9);
        EXPECT_LE(finished - accessing, 5);
        EXPECT_GE(accessing, previous_end);
        previous_end = finished;
        users.push_back(user);
    }
    EXPECT_TRUE(every_user_once(users));
    ASSERT_GE(wait_screen(t, "\nSimulation complete.", 3, at, &at), 0);
    wait_end(t, 3);
    expect_exit(t.end, 0);
    EXPECT_EQ(t.screen.substr(at), "");
}

// Through a pipe the output comes all at once at the end: its shape, and the
// time five turns of two seconds take, one after another.
TEST_F(Threads, AtmTurnsThroughAPipe)
{
    Piped run;
    double started = now_seconds();
    run_piped(run, program("atm_sim"), "", 16);
    double took = now_seconds() - started;
    std::vector<int> turns = turns_of(run.out_text, "Starting simulation...\n", "\nSimulation complete.");
    EXPECT_TRUE(every_user_once(turns)) << in_quotes(run.out_text);
    EXPECT_EQ(run.err_text, "");
    expect_exit(run.end, 0);
    EXPECT_GE(took, 9.9);
}

// Runs of a counter, at_once at a time so that the threads of each compete
// for the cores, each with the lock shim holding the thread inside on the
// first three times a thread gets the lock, until another thread arrives:
// every run then has two threads meet at the lock, and a fault of the
// locking shows. Every run must write line alone and end with status 0
// within bound seconds of its batch's start (a right one takes well under a
// second); the test stops at the first that does not, which the report
// describes. In the thread configuration ThreadSanitizer reports a race on
// the program's standard error, as the shim does what it sees.
void Threads::expect_exact_runs(const std::string& path, const std::string& line, int batches, int at_once,
                                double bound)
{
    for (int batch = 0; batch < batches; ++batch) {
        SCOPED_TRACE("batch " + std::to_string(batch + 1));
        std::vector<std::string> env = with_lock_shim("LOCK_SHIM_HOLD=3");
        std::vector<Piped> runs(at_once);
        double deadline = now_seconds() + bound;
        for (Piped& run : runs) {
            start_piped(run, path, env);
            report_setting("the lock shim held the thread inside the lock, the first 3 times one got it, "
                           "until another thread came to it");
        }
        for (int i = 0; i < at_once; ++i) {
            SCOPED_TRACE("run " + std::to_string(i + 1) + " of " + std::to_string(at_once));
            Piped& run = runs[i];
            finish(run, std::max(deadline - now_seconds(), 0.1));
            ASSERT_FALSE(run.end.timed_out) << "the program did not end within " << bound << " s of its start";
            ASSERT_EQ(run.err_text, "");
            ASSERT_EQ(run.out_text, line);
            ASSERT_TRUE(run.end.exited && run.end.status == 0) << "how it ended: " << describe(run.end);
        }
        ASSERT_TRUE(lock_shim_was_loaded());
    }
}

// Under ThreadSanitizer a run takes a few tenths of a second, and six at
// once on two busy cores about two seconds.
TEST_F(Threads, MutexCounterIsAlwaysExact)
{
    expect_exact_runs(program("mutex_counter"), "Final value: 500\n", SANITIZED ? 3 : 2, 6, 6);
}

TEST_F(Threads, SemaphoreCounterIsAlwaysExact)
{
    expect_exact_runs(program("sem_counter"), "Final value: 750\n", SANITIZED ? 3 : 2, 6, 6);
}

// The counter built from the same source with each thread's count raised
// to 100000 (tests/CMakeLists.txt): the threads then share the counter for
// most of the run, not only where the shim makes them meet.
TEST_F(Threads, MutexCounterIsExactCountingToAHundredThousand)
{
    expect_exact_runs(RAISED_DIR "/mutex_counter_raised", "Final value: 200000\n", 1, 2, 6);
}

TEST_F(Threads, SemaphoreCounterIsExactCountingToAHundredThousand)
{
    expect_exact_runs(RAISED_DIR "/sem_counter_raised", "Final value: 300000\n", 1, 2, 6);
}

// With too little address space for a thread's stack the start fails: the
// program says so and ends with status 1 instead of joining a thread that
// does not exist or printing a short total.
TEST_F(Threads, AFailedThreadStartIsReported)
{
    if (SANITIZED)
        GTEST_SKIP() << "a sanitizer runtime needs far more address space than the limit";
    for (const char* name : {"atm_sim", "mutex_counter", "sem_counter"}) {
        SCOPED_TRACE(name);
        Piped run;
        run_piped(run, "/bin/sh", "", 60, {},
                  {"-c", "ulimit -v 8000 && exec \"$0\"", program(name)});
        EXPECT_EQ(run.err_text, "pthread_create: Resource temporarily unavailable\n");
        EXPECT_EQ(run.out_text.find("Final value"), std::string::npos);
        EXPECT_EQ(run.out_text.find("complete"), std::string::npos);
        expect_exit(run.end, 1);
    }
}

}  // namespace
