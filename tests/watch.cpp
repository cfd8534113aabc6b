// What a running program is doing, read from /proc: each thread's state and
// the system call it waits in. A program whose every thread waits in an
// untimed futex wait, using no CPU time, can never go on by itself: nothing
// is left to give back the lock or post the semaphore it waits for. The
// harness ends such a program at once instead of waiting out its timeout.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Thread {
    pid_t tid = 0;
    char state = '?';
    long syscall = -2;               // -2: not known; -1: not in a system call
    unsigned long long timeout = 0;  // a futex wait's timeout argument (0: none)
    unsigned long long cpu = 0;      // clock ticks used
};

std::vector<Thread> threads_of(pid_t pid)
{
    std::vector<Thread> threads;
    std::string base = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(base.c_str());
    if (dir == nullptr)
        return threads;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        Thread t;
        t.tid = atoi(entry->d_name);
        std::string at = base + "/" + entry->d_name;
        ProcessStat stat = process_stat(pid, t.tid);
        if (stat.name.empty())
            continue;
        t.state = stat.state;
        t.cpu = stat.cpu_ticks;
        // "202 0x7f.. 0x80 0x2 0x0 ...": the call's number and arguments, or
        // "running"; readable by the program's parent.
        std::string call = read_file(at + "/syscall");
        if (call.compare(0, 7, "running") == 0)
            t.syscall = -1;
        else if (!call.empty()) {
            char* rest = nullptr;
            t.syscall = strtol(call.c_str(), &rest, 10);
            unsigned long long args[4] = {};
            for (unsigned long long& arg : args)
                arg = strtoull(rest, &rest, 16);
            t.timeout = args[3];
        }
        threads.push_back(t);
    }
    closedir(dir);
    return threads;
}

bool in_futex_wait(const Thread& t)
{
    return t.state == 'S' && t.syscall == SYS_futex && t.timeout == 0;
}

std::string doing(const Thread& t, pid_t pid, size_t count)
{
    if (t.state == 'R')
        return "running, using the CPU";
    if (t.state == 'T' || t.state == 't')
        return "stopped";
    if (t.state == 'Z')
        return "ended";
    switch (t.syscall) {
    case SYS_futex:
        if (t.tid == pid && count > 1)
            return "waiting in futex: for a thread to end (pthread_join) or for a lock";
        return t.timeout == 0 ? "waiting for a lock or a semaphore that is never given back (futex)"
                              : "waiting for a lock or a semaphore, with a timeout (futex)";
    case SYS_nanosleep:
    case SYS_clock_nanosleep:
        return "sleeping (nanosleep)";
    case SYS_ppoll:
    case SYS_pselect6:
#ifdef SYS_poll
    case SYS_poll:
#endif
        return "waiting for a signal or for input (ppoll)";
    case SYS_read:
        return "waiting to read (read)";
    case SYS_write:
        return "waiting to write (write)";
#ifdef SYS_pause
    case SYS_pause:
#endif
    case SYS_rt_sigsuspend:
        return "waiting for a signal (sigsuspend)";
    case SYS_wait4:
    case SYS_waitid:
        return "waiting for a child to end (wait)";
    default:
        return t.syscall >= 0 ? "in the system call number " + std::to_string(t.syscall) : "waiting";
    }
}

}  // namespace

ProcessStat process_stat(pid_t pid, pid_t tid)
{
    ProcessStat p;
    std::string path = "/proc/" + std::to_string(pid) + (tid > 0 ? "/task/" + std::to_string(tid) : "") + "/stat";
    // "12 (name) S 1 12 12 0 -1 ...": the name may hold spaces and
    // parentheses, so it ends at the last ')'. After it: state, parent,
    // group, session, then 7 fields, then utime and stime.
    std::string stat = read_file(path);
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return p;
    unsigned long long utime = 0, stime = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d %d %d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &p.state, &p.parent,
               &p.group, &p.session, &utime, &stime) != 6)
        return ProcessStat();
    p.name = stat.substr(open + 1, close - open - 1);
    p.cpu_ticks = utime + stime;
    return p;
}

double cpu_seconds(pid_t pid)
{
    ProcessStat p = process_stat(pid);
    return p.name.empty() ? -1 : static_cast<double>(p.cpu_ticks) / sysconf(_SC_CLK_TCK);
}

std::string what_it_is_doing(pid_t pid)
{
    std::vector<Thread> threads = threads_of(pid);
    if (threads.empty())
        return "";
    std::string text;
    int number = 0;
    for (const Thread& t : threads) {
        if (!text.empty())
            text += "; ";
        if (threads.size() > 1)
            text += t.tid == pid ? "main thread: " : "thread " + std::to_string(++number) + ": ";
        text += doing(t, pid, threads.size());
    }
    return text;
}

bool is_stuck(pid_t pid, StuckWatch& watch)
{
    if (pid <= 0 || now_seconds() - watch.looked < 0.2)
        return false;
    std::vector<Thread> threads = threads_of(pid);
    bool all_waiting = !threads.empty();
    unsigned long long cpu = 0;
    for (const Thread& t : threads) {
        all_waiting = all_waiting && in_futex_wait(t);
        cpu += t.cpu;
    }
    double now = now_seconds();
    watch.looked = now;
    if (!all_waiting || cpu != watch.cpu) {
        watch.cpu = all_waiting ? cpu : ~0ULL;
        watch.since = now;
        return false;
    }
    return now - watch.since >= StuckWatch::seconds;
}
