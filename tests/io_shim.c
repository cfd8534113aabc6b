/* Loaded with LD_PRELOAD into a program under test, this stands in for
 * write() and close() on descriptors above 2 (the files a program opens
 * itself):
 *   SHIM_WRITE_LOG=path    appends the size each write asked for, one per line;
 *   SHIM_WRITE_CAP=n       lets each write take at most n bytes, as a full pipe
 *                          or an interrupted write would (0: nothing at all);
 *   SHIM_CLOSE_LOG=path    appends the path of each descriptor closed;
 *   SHIM_FIFO_CLOSE_DELAY=ms  holds each close of a FIFO back for ms
 *                          milliseconds, after saying so on standard error.
 * The real work is done by the raw system calls, so nothing here recurses. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static void append(const char *log, const char *line)
{
    int log_fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    syscall(SYS_write, log_fd, line, strlen(line));
    syscall(SYS_close, log_fd);
}

static void log_size(const char *log, size_t count)
{
    char line[32];
    snprintf(line, sizeof line, "%zu\n", count);
    append(log, line);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (fd > 2) {
        const char *log = getenv("SHIM_WRITE_LOG");
        if (log != NULL)
            log_size(log, count);
        const char *cap = getenv("SHIM_WRITE_CAP");
        if (cap != NULL && count > strtoul(cap, NULL, 10))
            count = strtoul(cap, NULL, 10);
    }
    return syscall(SYS_write, fd, buf, count);
}

int close(int fd)
{
    if (fd > 2) {
        const char *log = getenv("SHIM_CLOSE_LOG");
        if (log != NULL) {
            char link[64], line[4096];
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t len = readlink(link, line, sizeof line - 2);
            if (len < 0)
                len = 0;
            line[len] = '\n';
            line[len + 1] = '\0';
            append(log, line);
        }
        const char *delay = getenv("SHIM_FIFO_CLOSE_DELAY");
        struct stat st;
        if (delay != NULL && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
            static const char note[] = "shim: closing a FIFO\n";
            syscall(SYS_write, 2, note, sizeof note - 1);
            usleep(1000 * strtoul(delay, NULL, 10));
        }
    }
    return syscall(SYS_close, fd);
}
