#include "pty_spawn.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void reset_signal_state()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
}

pid_t spawn_on_terminal(const char* path, char* const argv[], int* master, const sigset_t* blocked)
{
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const char* slave_name = grantpt(fd) == 0 && unlockpt(fd) == 0 ? ptsname(fd) : nullptr;
    pid_t pid = slave_name != nullptr ? fork() : -1;
    if (pid < 0) {
        close(fd);
        return -1;
    }
    if (pid == 0) {
        // A new session; opening the terminal makes it the session's
        // controlling terminal and this process its foreground group.
        setsid();
        int slave = open(slave_name, O_RDWR);
        if (slave < 0) {
            // Standard error is still the parent's: say it there.
            perror(slave_name);
            _exit(127);
        }
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        // Only the terminal is passed on, as a shell at a terminal would:
        // whatever else the parent had open stays out of the program.
        close_range(3, ~0U, 0);
        reset_signal_state();
        if (blocked != nullptr)
            sigprocmask(SIG_SETMASK, blocked, nullptr);
        execvp(path, argv);
        perror(path);
        _exit(127);
    }
    *master = fd;
    return pid;
}
