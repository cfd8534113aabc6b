// sigint_loop: announces its work every two seconds for ever and, on SIGINT
// (Ctrl-C), says goodbye and ends with status 0 instead of being killed.
//
// SIGINT is blocked while the program works and let in only while it waits,
// by ppoll, which swaps the mask atomically. The handler therefore only runs
// inside that wait, never in the middle of a printf, and may safely write its
// farewell into the buffered standard output and call exit, which flushes
// every work line ahead of the farewell. A SIGINT that comes while the
// program works stays pending and ends the very next wait at once.
// (ppoll is in POSIX since POSIX.1-2024; pselect, in POSIX for longer, is
// the same pattern where ppoll is missing.)

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>

static void handler([[maybe_unused]] int signum)
{
    printf("\nSIGINT caught, terminating safely.\n");
    exit(0);
}

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
