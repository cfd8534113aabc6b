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

// Whether fd is a FIFO, not a regular file or a directory at the path.
static bool is_fifo(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

// Makes the FIFO and judges its clients' bytes as they come, for ever.
int main()
{
    const char* path = "/tmp/new";
    char buffer[20];

    // Whatever stands at the path already (an earlier run's FIFO, say) is
    // used as it is, so the result is not examined.
    mkfifo(path, 0666);

    // For a FIFO this waits until a client opens it for writing.
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        perror("write");
        return 1;
    }

    // When the last writer closes a FIFO, every read returns 0 at once until
    // the next writer comes (and on Linux, so does poll). Holding a write end
    // of our own, never written to, means there always is a writer: the
    // server simply waits, using no CPU, for the next client's data.
    bool fifo = is_fifo(fd);
    [[maybe_unused]] int keep_open = fifo ? open(path, O_WRONLY) : -1;

    // Reads never wait (O_NONBLOCK, added to the descriptor's flags): with
    // nothing to read, the server shows the verdicts so far, then waits in
    // poll. A verdict is on the screen as soon as there is nothing more to
    // read, and a stream of data is judged at the speed of buffered output.
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
                // The end of a FIFO's data: no write end could be held (no
                // write permission). On Linux, poll returns at once on this
                // end from now on, but waits on a newly opened one for data or
                // a new writer. The new end is opened without waiting, or a
                // client that came and went just before would get no verdict
                // until the next came; and before the old end is closed, or
                // with no end open the kernel would drop the bytes of a client
                // that wrote and left in between.
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
