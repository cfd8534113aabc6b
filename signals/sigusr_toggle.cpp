// sigusr_toggle: reports every three seconds whether it is working or
// paused; each SIGUSR1 handled (kill -USR1 PID) flips the state, and the line
// for the new state comes at once. Signals of one kind do not queue: one that
// comes while another is still pending is handled with it, once, so two sent
// in a row may flip the state only once.
//
// SIGUSR1 is blocked while the program works and let in only while it waits,
// by ppoll, which swaps the mask atomically. Were it let in at any time, one
// arriving between the printf and the start of the wait would flip the flag
// and then sit out a whole three-second wait before its line showed. Blocked,
// it stays pending and cuts the very next wait short. (ppoll is in POSIX
// since POSIX.1-2024; pselect, in POSIX for longer, is the same pattern
// where ppoll is missing.)

#include <csignal>
#include <cstdio>
#include <poll.h>

static volatile sig_atomic_t flag = 0;

// SIGUSR1: flips the state between working and paused.
static void handler([[maybe_unused]] int signum)
{
    flag = !flag;
}

// Reports the state every three seconds; SIGUSR1 is let in only in the wait.
int main()
{
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGUSR1);
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &handled, &waiting);
    sigdelset(&waiting, SIGUSR1);

    struct sigaction action = {};
    action.sa_handler = handler;
    sigaction(SIGUSR1, &action, nullptr);

    const timespec interval = {3, 0};
    for (;;) {
        if (flag)
            printf("paused by SIGUSR1\n");
        else
            printf("Working...\n");
        ppoll(nullptr, 0, &interval, &waiting);
    }
}
