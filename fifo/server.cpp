// server: the reading end of the named pipe /tmp/new. Whoever opens the pipe
// for writing is a client; each read of up to 20 bytes counts as one set of
// credentials and is judged by its length alone: 6 bytes or more are valid.
// The bytes themselves are never looked at.

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// Whether fd is a FIFO, rather than a regular file or a directory that
// stands at the path.
static bool is_fifo(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

int main()
{
    const char* path = "/tmp/new";
    char buffer[20];

    // Whatever already stands at the path (a FIFO from an earlier run, say)
    // is used as it is, so the result is not examined.
    mkfifo(path, 0666);

    // For a FIFO this waits until a client opens it for writing.
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        perror("write");
        return 1;
    }

    // When the last writer closes a FIFO, every read returns 0 at once until
    // the next writer comes. Holding a write end of our own (never written
    // to) means there always is a writer, so the server simply waits, using
    // no CPU, for the next client's data.
    bool fifo = is_fifo(fd);
    [[maybe_unused]] int keep_open = fifo ? open(path, O_WRONLY) : -1;

    // Reads never wait: when nothing is ready (EAGAIN), the server first
    // shows every verdict written so far and only then waits, in poll, for
    // more. So a verdict is on the screen the moment the server has nothing
    // more to read, while a stream of data is judged at the speed of buffered
    // output, not one write(2) per verdict. O_NONBLOCK is added to the flags
    // the descriptor has, not put in their place.
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    for (;;) {
        ssize_t len = read(fd, buffer, sizeof buffer);
        if (len < 0 && errno != EAGAIN) {
            perror("write");
            return 1;
        }
        if (len == 0 && !fifo)
            return 0;  // the end of a regular file ends the run
        if (len <= 0) {
            // Nothing to read now, or the end of a FIFO's data: show the
            // verdicts so far, then wait.
            fflush(stdout);
            if (len == 0) {
                // A FIFO's data ends only when its write end could not be
                // held (no write permission). The server then opens it anew,
                // without waiting, and waits in poll, where a newly opened end
                // waits for data or a new writer (a read would return 0 at
                // once). An open that waited would wait for a writer that
                // comes after it: a client that came and went just before
                // would get no verdict until the next one came, and the two
                // clients' bytes would then be read as one.
                // The new end is opened before the old one is closed: the
                // bytes of a client that writes and leaves in between stay in
                // the pipe, where with no end open the kernel would drop them.
                // What the path holds now (a regular file, say) is judged
                // afresh.
                int next = open(path, O_RDONLY | O_NONBLOCK);
                if (next < 0) {
                    perror("write");
                    return 1;
                }
                close(fd);
                fd = next;
                fifo = is_fifo(fd);
            }
            pollfd ready = {fd, POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (len > 5)
            printf("\nValid, Balance: $5000");
        else
            printf("\nInvalid credentials.");
    }
}
