// pause_timer: counts down from 10, one step a second. SIGINT (Ctrl-C)
// pauses the count and SIGTSTP (Ctrl-Z) resumes it; neither ends or stops
// the program, and each announces itself.
//
// Both signals are blocked while the program works and let in only while it
// waits, by ppoll, which swaps in the waiting mask and back atomically: a
// handler only ever runs inside that wait. A signal that comes while the
// program works stays pending and cuts the very next wait short, so no
// wake-up is lost; a handled signal always ends the current wait, and the
// rest of that second is not waited for. (ppoll is in POSIX since
// POSIX.1-2024; pselect, in POSIX for longer, is the same pattern where ppoll
// is missing.)

#include <csignal>
#include <cstdio>
#include <poll.h>

static volatile sig_atomic_t paused = 0;

// SIGINT (Ctrl-C): pauses the count, and says so.
// printf is not safe in a handler as a rule: the signal may have broken into
// the loop's own printf, half way through its work on standard output's
// buffer, and the handler's printf would then write lines twice, lose or
// garble them, or hang on the stream's lock. It is safe here only because of
// the mask: the signal is let in only while the program waits in ppoll, when
// no printf is running (and sa_mask holds the other signal back while this
// handler runs), so the announcement lands whole, in the order of events, on
// a terminal or in a file.
static void handle_sigint([[maybe_unused]] int signum)
{
    paused = 1;
    printf("\nTimer paused.\n");
}

// SIGTSTP (Ctrl-Z): resumes the count, and says so; its printf is safe for
// the same reason as handle_sigint's, the mask, and only for that reason.
static void handle_sigtstp([[maybe_unused]] int signum)
{
    paused = 0;
    printf("\nTimer resumed.\n");
}

// Counts down, letting the two signals in only while it waits.
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
