// copyfile: asks for a source and a destination path, then copies the source
// to the destination through raw file descriptors, 1024 bytes at a time.
// Neither file goes through a buffered stream, nor do the paths read from
// standard input; only what the program writes (prompts, messages) does.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Reads one line of standard input into buf (size bytes) without its newline.
// It reads with read(2), one byte at a time, so that nothing past the newline
// is taken: a buffered stream would read ahead a block, and when the source is
// standard input itself (/dev/stdin) that block would be lost to the copy.
// Standard output is flushed first, so that the prompt shows before the wait
// for its answer (a stream's own read of a terminal would flush it; a raw
// read does not). A path holds at most size - 1 characters, and never a NUL
// byte (which would end it early and leave the rest of the line unread).
// Returns false, after a one-line message on standard error, when input ends
// before the line, a read fails, or the line is too long or holds a NUL;
// which names the path in that message.
static bool read_path(char* buf, int size, const char* which)
{
    fflush(stdout);
    int len = 0;
    bool nul = false;
    for (;;) {
        char c;
        ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;  // a signal came before the byte: nothing read, read again
        if (got < 0) {
            // A failed read is not the end of the line: what came before it
            // is only part of a path, and must not be taken for one.
            fprintf(stderr, "Error reading the %s path: %s\n", which, strerror(errno));
            return false;
        }
        if (got == 0 && len == 0) {
            fprintf(stderr, "No %s path given: end of input.\n", which);
            return false;
        }
        if (got == 0 || c == '\n')
            break;  // the newline, or the end of a last line without one: still a path
        if (len == size - 1) {
            fprintf(stderr, "The %s path is too long: more than %d characters.\n", which, size - 1);
            return false;
        }
        nul = nul || c == '\0';
        buf[len++] = c;
    }
    buf[len] = '\0';
    if (nul) {
        fprintf(stderr, "The %s path contains a NUL byte.\n", which);
        return false;
    }
    return true;
}

// Writes all len bytes of buf to fd. A write may take fewer bytes than asked
// (a signal, a full device, a file size limit); the rest is written again
// until the whole chunk is out. Returns false, after a report on standard
// error, when a write fails or takes nothing at all (asking again would never
// end).
static bool write_all(int fd, const char* buf, ssize_t len)
{
    while (len > 0) {
        ssize_t written = write(fd, buf, len);
        if (written < 0) {
            perror("Error writing to dest file.");
            return false;
        }
        if (written == 0) {
            // Such a write sets no error number, so perror would print one
            // that an earlier call left behind: the report says what happened.
            fprintf(stderr, "Error writing to dest file.: A write took no bytes\n");
            return false;
        }
        buf += written;
        len -= written;
    }
    return true;
}

// Whether two fstat results are of one file: the same device and inode,
// whatever the names it was opened by.
static bool same_file(const struct stat* a, const struct stat* b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Opens the destination for writing, creating it with bits 0644 (less the
// umask) when missing and emptying it when it is a regular file. It is opened
// without O_TRUNC first so that a destination that is the source itself, or
// the file standard output goes to, under any name, can be refused before a
// single byte of it is lost. Returns the descriptor, or -1 after a report on
// standard error with both files closed, the source first.
static int open_destination(const char* path, int src)
{
    int dst = open(path, O_WRONLY | O_CREAT, 0644);
    if (dst < 0) {
        perror("Error opening file dest file.");
        close(src);
        return -1;
    }
    struct stat src_stat;
    struct stat dst_stat;
    struct stat out_stat;
    bool failed = fstat(src, &src_stat) < 0 || fstat(dst, &dst_stat) < 0;
    if (failed) {
        perror("Error opening file dest file.");
    } else if (same_file(&src_stat, &dst_stat)) {
        fprintf(stderr, "Source and destination are the same file; nothing copied.\n");
        failed = true;
    } else if (S_ISREG(dst_stat.st_mode) && fstat(STDOUT_FILENO, &out_stat) == 0 &&
               same_file(&out_stat, &dst_stat)) {
        // Standard output writes the messages at an offset of its own, so in
        // one regular file they and the copy would land on each other. (A
        // terminal or a pipe just takes the two in turn.)
        fprintf(stderr, "Destination and standard output are the same file; nothing copied.\n");
        failed = true;
    } else if (S_ISREG(dst_stat.st_mode) && dst_stat.st_size > 0 && ftruncate(dst, 0) < 0) {
        // Only a regular file with contents is truncated: devices and pipes
        // have nothing to empty, and truncating a new, empty file would make
        // some file systems flush it to disk at close, which costs time and
        // gains nothing.
        perror("Error opening file dest file.");
        failed = true;
    }
    if (failed) {
        close(src);
        close(dst);
        return -1;
    }
    return dst;
}

int main()
{
    char src_path[256];
    char dst_path[256];
    char buffer[1024];

    printf("Enter source file path: ");
    if (!read_path(src_path, sizeof src_path, "source"))
        return 1;
    printf("Enter destination file path: ");
    if (!read_path(dst_path, sizeof dst_path, "destination"))
        return 1;

    int src = open(src_path, O_RDONLY);
    if (src < 0) {
        perror("Error opening file src file: ");
        printf("%s", src_path);
        return 1;
    }
    // The destination is touched only once the source has given its first
    // read: a source that cannot be read at all (a directory, say) leaves an
    // existing destination as it was.
    ssize_t len = read(src, buffer, sizeof buffer);
    if (len < 0) {
        perror("Error reading from src file.");
        close(src);
        return 1;
    }
    int dst = open_destination(dst_path, src);
    if (dst < 0)
        return 1;

    while (len > 0) {
        if (!write_all(dst, buffer, len)) {
            close(src);
            close(dst);
            return 1;
        }
        len = read(src, buffer, sizeof buffer);
    }
    if (len < 0) {
        // A read that fails later ends the copy as a failure; what was
        // written before it stays in the destination.
        perror("Error reading from src file.");
        close(src);
        close(dst);
        return 1;
    }

    close(src);
    // The kernel may report a failed write-back only at close: the data may
    // not be in the file, so this is a failed write too.
    if (close(dst) < 0) {
        perror("Error writing to dest file.");
        return 1;
    }
    printf("\nCopying complete!");
    return 0;
}
