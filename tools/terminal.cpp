#include "terminal.h"
#include "pty_spawn.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

double now_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string describe_status(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("ended by signal SIG") + sigabbrev_np(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

bool terminal_start(terminal_session& t, const char* path, char* const argv[], const sigset_t* blocked)
{
    t.started = now_seconds();
    t.pid = spawn_on_terminal(path, argv, &t.master, blocked);
    return t.pid > 0;
}

static timespec as_timespec(double seconds)
{
    if (seconds < 0)
        seconds = 0;
    return {static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
}

void terminal_sleep(const terminal_session& t, double seconds)
{
    timespec wait = as_timespec(seconds);
    ppoll(nullptr, 0, &wait, t.waiting_mask);
}

static bool stopped(const terminal_session& t)
{
    return t.stop != nullptr && *t.stop != 0;
}

int terminal_read(terminal_session& t, double seconds)
{
    if (t.master < 0)
        return -1;
    if (stopped(t))
        return 0;
    timespec wait = as_timespec(seconds);
    pollfd fd = {t.master, POLLIN, 0};
    if (ppoll(&fd, 1, &wait, t.waiting_mask) <= 0 || stopped(t))
        return 0;
    char buf[4096];
    ssize_t n = read(t.master, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return 0;
    if (n <= 0) {  // EIO once the last process on the terminal has closed it
        close(t.master);
        t.master = -1;
        return -1;
    }
    double at = now_seconds() - t.started;
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\r') {
            t.screen += buf[i];
            t.shown.push_back(at);
        }
    }
    if (t.on_output != nullptr)
        t.on_output(t, buf, n);
    return 1;
}

bool terminal_reap(terminal_session& t, bool block)
{
    return reap_child(t.pid, &t.status, block);
}

size_t terminal_wait_for(terminal_session& t, const std::string& text, size_t from, double deadline)
{
    for (;;) {
        size_t found = t.screen.find(text, from);
        if (found != std::string::npos)
            return found + text.size();
        if (stopped(t))
            return std::string::npos;
        if (terminal_reap(t, false)) {
            // What it wrote last, then one more look.
            while (terminal_read(t, 0.1) > 0) {
            }
            found = t.screen.find(text, from);
            return found == std::string::npos ? found : found + text.size();
        }
        double left = deadline - now_seconds();
        if (left <= 0) {
            found = t.screen.find(text, from);
            return found == std::string::npos ? found : found + text.size();
        }
        // The terminal closes as the program exits, a moment before it can
        // be reaped: then wait a little, and look again.
        if (terminal_read(t, left < 0.05 ? left : 0.05) < 0)
            terminal_sleep(t, 0.01);
    }
}

bool terminal_type(terminal_session& t, const std::string& keys)
{
    return t.master >= 0 && write(t.master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

void terminal_end(terminal_session& t)
{
    kill_child(t.pid);
    terminal_reap(t, true);
    if (t.master >= 0) {
        close(t.master);
        t.master = -1;
    }
}
