/* Loaded with LD_PRELOAD into a program under test, this stands in for
 * write() on descriptors above 2 (the files a program opens itself):
 *   WRITE_SHIM_LOG=path  appends the size each call asked for, one per line;
 *   WRITE_SHIM_CAP=n     lets each call take at most n bytes, as a full pipe
 *                        or an interrupted write would.
 * The real work is done by the raw system call, so nothing here recurses. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

ssize_t write(int fd, const void *buf, size_t count)
{
    if (fd > 2) {
        const char *log = getenv("WRITE_SHIM_LOG");
        if (log != NULL) {
            int log_fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            char line[32];
            int len = snprintf(line, sizeof line, "%zu\n", count);
            syscall(SYS_write, log_fd, line, (size_t)len);
            close(log_fd);
        }
        const char *cap = getenv("WRITE_SHIM_CAP");
        if (cap != NULL && count > strtoul(cap, NULL, 10))
            count = strtoul(cap, NULL, 10);
    }
    return syscall(SYS_write, fd, buf, count);
}
