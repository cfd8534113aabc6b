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
    struct stat st;
    bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    [[maybe_unused]] int keep_open = fifo ? open(path, O_WRONLY) : -1;

    // Reads never wait: when nothing is ready (EAGAIN), the server first
    // shows every verdict written so far and only then waits, in poll, for
    // more. So a verdict is on the screen the moment the server has nothing
    // more to read, while a stream of data is judged at the speed of buffered
    // output, not one write(2) per verdict.
    fcntl(fd, F_SETFL, O_NONBLOCK);
    for (;;) {
        ssize_t len = read(fd, buffer, sizeof buffer);
        if (len < 0 && errno == EAGAIN) {
            fflush(stdout);
            pollfd ready = {fd, POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (len < 0) {
            perror("write");
            return 1;
        }
        if (len == 0) {
            // The end of a regular file ends the run. A FIFO reaches here only
            // when its write end could not be held (no write permission):
            // opening it again waits for the next writer. The new end is
            // opened before the old one is closed: a client that writes and
            // leaves in between finds its bytes kept in the pipe, where with
            // no end open at all the kernel would drop them.
            if (!fifo)
                return 0;
            fflush(stdout);
            int next = open(path, O_RDONLY);
            if (next < 0) {
                perror("write");
                return 1;
            }
            close(fd);
            fd = next;
            fcntl(fd, F_SETFL, O_NONBLOCK);
            continue;
        }
        if (len > 5)
            printf("\nValid, Balance: $5000");
        else
            printf("\nInvalid credentials.");
    }
}
