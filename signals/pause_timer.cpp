// pause_timer: counts down from 10, one step a second. SIGINT (Ctrl-C)
// pauses the count and SIGTSTP (Ctrl-Z) resumes it; neither ends or stops
// the program, and each announces itself.
//
// How the handlers stay safe: both signals are blocked while the program
// works and let in only while it waits, by ppoll, which swaps in the waiting
// mask and back atomically. So a handler only ever runs inside that wait,
// never in the middle of a printf of the loop, and may itself write into the
// same buffered standard output: its announcement lands in the order of
// events, on a terminal or in a file. A signal that comes while the program
// works stays pending and cuts the very next wait short, so no wake-up is
// lost; a handled signal always ends the current wait, and the rest of that
// second is not waited for. (ppoll is in POSIX since POSIX.1-2024; pselect,
// in POSIX for longer, is the same pattern where ppoll is missing.)

#include <csignal>
#include <cstdio>
#include <poll.h>

static volatile sig_atomic_t paused = 0;

static void handle_sigint([[maybe_unused]] int signum)
{
    paused = 1;
    printf("\nTimer paused.\n");
}

static void handle_sigtstp([[maybe_unused]] int signum)
{
    paused = 0;
    printf("\nTimer resumed.\n");
}

int main()
{
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTSTP);

    // From here on the two signals wait while the program works...
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &handled, &waiting);
    // ...and are let in only by the wait, which uses this mask.
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTSTP);

    // While one handler runs, both signals are held back, so one
    // announcement never breaks into another. Handlers stay installed.
    struct sigaction action = {};
    action.sa_mask = handled;
    action.sa_handler = handle_sigint;
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = handle_sigtstp;
    sigaction(SIGTSTP, &action, nullptr);

    const timespec tick = {1, 0};
    int count = 10;
    while (count > 0) {
        if (!paused) {
            printf("Countdown: %d\n", count);
            --count;
        }
        // One second, or less when a handled signal comes.
        ppoll(nullptr, 0, &tick, &waiting);
    }
    printf("Countdown complete.\n");
    return 0;
}
