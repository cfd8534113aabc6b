// copyfile: asks for a source and a destination path, then copies the source
// to the destination through raw file descriptors, 1024 bytes at a time: the
// lesson is write_all and the copy loop in main. Neither the files nor the
// paths read from standard input go through a buffered stream; only what the
// program writes (prompts, messages) does.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Defined after main: reading a path, and opening the destination safely.
static bool read_path(char* buf, int size, const char* which);
static int open_destination(const char* path, int src);

// Writes all len bytes of buf to fd; false, after a report, when it cannot.
static bool write_all(int fd, const char* buf, ssize_t len)
{
    // A write may take fewer bytes than asked (a signal, a full device, a
    // file size limit): the rest is written again, from where it stopped,
    // until the whole chunk is out.
    while (len > 0) {
        ssize_t written = write(fd, buf, len);
        if (written < 0) {
            perror("Error writing to dest file.");
            return false;
        }
        if (written == 0) {
            // Asking again would never end. Such a write sets no error
            // number, so perror would print one an earlier call left behind.
            fprintf(stderr, "Error writing to dest file.: A write took no bytes\n");
            return false;
        }
        buf += written;
        len -= written;
    }
    return true;
}

// Asks for the two paths and copies the source file into the destination.
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
    // The first chunk is read before the destination is touched: a source
    // that cannot be read at all (a directory, say) leaves it as it was.
    ssize_t len = read(src, buffer, sizeof buffer);
    if (len < 0) {
        perror("Error reading from src file.");
        close(src);
        return 1;
    }
    int dst = open_destination(dst_path, src);
    if (dst < 0)
        return 1;

    // The copy: each chunk is written whole, then the next one read. A read
    // returns how many bytes it gave: 0 at the end of the source, -1 if it
    // failed.
    while (len > 0) {
        if (!write_all(dst, buffer, len)) {
            close(src);
            close(dst);
            return 1;
        }
        len = read(src, buffer, sizeof buffer);
    }
    if (len < 0) {
        // A failed read is not the end of the source: the copy fails, and
        // what was written before it stays in the destination.
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

// Reads one line of standard input into buf (size bytes) as a path, without
// its newline; false, after a message naming which path, when there is none.
static bool read_path(char* buf, int size, const char* which)
{
    // The prompt must show before the wait for its answer: a stream's own
    // read of a terminal would flush standard output, a raw read does not.
    fflush(stdout);
    int len = 0;
    bool nul = false;
    for (;;) {
        // One byte at a time, with read(2), so that nothing past the newline
        // is taken: a buffered stream reads ahead a block, which would be
        // lost to the copy when the source is standard input (/dev/stdin).
        char c;
        ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;  // a signal came before the byte: nothing read, read again
        if (got < 0) {
            // What came before a failed read is only part of a path.
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
        // A NUL byte would end the path early: it is refused at the line's end.
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

// Whether two fstat results are of one file: the same device and inode.
static bool same_file(const struct stat* a, const struct stat* b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Opens the destination for writing, emptied, unless it is the source or
// standard output's file; -1, after a report, with both files closed.
static int open_destination(const char* path, int src)
{
    // Created with bits 0644 (less the umask) when missing. No O_TRUNC: it
    // is emptied only once known to be neither the source nor the file
    // standard output goes to, under any name, or a byte of it would be lost.
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
        // some file systems (ext4, on Linux) flush it to disk at close, which
        // costs time and gains nothing.
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
