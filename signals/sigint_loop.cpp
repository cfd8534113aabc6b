// sigint_loop: announces its work every two seconds for ever and, on SIGINT
// (Ctrl-C), says goodbye and ends with status 0 instead of being killed.
//
// SIGINT is blocked while the program works and let in only while it waits,
// by ppoll, which swaps the mask atomically: the handler only ever runs
// inside that wait. A SIGINT that comes while the program works stays
// pending and ends the very next wait at once. (ppoll is in POSIX since
// POSIX.1-2024; pselect, in POSIX for longer, is the same pattern where ppoll
// is missing.)

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>

// SIGINT (Ctrl-C): says goodbye and ends the program with status 0.
// Neither printf nor exit is safe in a handler as a rule: the signal may
// have broken into the loop's own printf, half way through its work on
// standard output's buffer, and the handler's printf would then write lines
// twice, lose or garble them, or hang on the stream's lock. They are safe
// here only because of the mask: SIGINT is let in only while the program
// waits in ppoll, when no printf is running, so the farewell joins the
// buffer after every work line, and exit writes them all out, in order.
static void handler([[maybe_unused]] int signum)
{
    printf("\nSIGINT caught, terminating safely.\n");
    exit(0);
}

// Works for ever, a line every two seconds; SIGINT is let in only in the wait.
int main()
{
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &handled, &waiting);
    sigdelset(&waiting, SIGINT);

    struct sigaction action = {};
    action.sa_handler = handler;
    sigaction(SIGINT, &action, nullptr);

    const timespec interval = {2, 0};
    for (;;) {
        printf("Running Tavrin's program...\n");
        ppoll(nullptr, 0, &interval, &waiting);
    }
}
