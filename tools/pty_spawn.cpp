#include "pty_spawn.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
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
    // forkpty opens the terminal's two sides here, then in the child starts
    // a new session, makes the terminal its controlling one (so the child
    // is its foreground process group) and puts it on 0, 1 and 2. The
    // terminal keeps the size and modes a new one has.
    int fd;
    pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    if (pid < 0)
        return -1;
    if (pid == 0) {
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
    // Not for the programs the caller starts later (forkpty cannot open it
    // so: until here, a fork in another thread would pass it on).
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    *master = fd;
    return pid;
}

bool child_ended(pid_t pid, bool block, bool end_group)
{
    siginfo_t info{};
    int got;
    while ((got = waitid(P_PID, pid, &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG))) != 0 && errno == EINTR) {
    }
    if (got != 0)
        return true;
    if (info.si_pid != 0 && end_group)
        kill(-pid, SIGKILL);
    return info.si_pid != 0;
}

bool reap_child(pid_t& pid, int* status, bool block, bool end_group)
{
    if (pid <= 0)
        return true;
    if (!child_ended(pid, block, end_group))
        return false;
    int got;
    pid_t reaped;
    while ((reaped = waitpid(pid, &got, 0)) < 0 && errno == EINTR) {
    }
    if (reaped == pid && status != nullptr)
        *status = got;
    pid = -1;  // reaped, or not ours to wait for
    return true;
}

void kill_child(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}
