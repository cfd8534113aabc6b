// server, driven with real writers on /tmp/new.
//
// A learner may have a server of their own running on /tmp/new, so these
// tests never touch the real one: each runs in a mount namespace of its own
// (inside a user namespace of its own when not root) with a fresh, empty /tmp,
// which also lets them run side by side. Where the machine allows no such
// namespace, they use the real /tmp/new one at a time, and only when nothing
// stands there.
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char fifo_path[] = "/tmp/new";
const std::string valid = "\nValid, Balance: $5000";
const std::string invalid = "\nInvalid credentials.";
// How long a client waits for its verdict. The server answers in
// milliseconds; one still silent after this many seconds, on a busy machine
// too, has kept the verdict back (in its output buffer, say).
constexpr double verdict_bound = 5;

void remove_path()
{
    if (unlink(fifo_path) != 0)
        rmdir(fifo_path);
}

// A count from /proc/PID/io: "syscw" for the write(2) calls the process has
// made so far, "rchar" for the bytes its reads have delivered.
long io_count(pid_t pid, const std::string& name)
{
    std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
    size_t at = io.find(name + ": ");
    return at == std::string::npos ? -1 : atol(io.c_str() + at + name.size() + 2);
}

// What stat found at a path, in words.
std::string what_is(const struct stat& st)
{
    return S_ISREG(st.st_mode)   ? "a regular file"
           : S_ISDIR(st.st_mode) ? "a directory"
           : S_ISLNK(st.st_mode) ? "a symbolic link"
                                 : "a file of mode " + std::to_string(st.st_mode);
}

// A client's write of bytes in one call, for the failure's report too.
ssize_t client_write(int fd, const std::string& bytes)
{
    report_sent("a client wrote " + in_quotes(bytes));
    return write(fd, bytes.data(), bytes.size());
}

// Waits until the condition holds, at most timeout seconds.
template <typename Condition>
bool wait_until(Condition condition, double timeout)
{
    double deadline = now_seconds() + timeout;
    while (!condition()) {
        if (now_seconds() > deadline)
            return false;
        usleep(2000);
    }
    return true;
}

class Server : public TempDirTest {
protected:
    void SetUp() override
    {
        static const std::string no_private_tmp = enter_private_tmp();
        private_tmp = no_private_tmp.empty();
        if (!private_tmp) {
            // The real /tmp/new, then: one test at a time, and never one
            // that something else put there.
            // (Read-only, so that a lock file left by another user serves too.)
            const char* lock_path = "/tmp/posix-tour-server-tests.lock";
            lock = open(lock_path, O_RDONLY | O_CLOEXEC);
            if (lock < 0)
                lock = open(lock_path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(lock, 0) << strerror(errno);
            ASSERT_EQ(flock(lock, LOCK_EX), 0) << strerror(errno);
            struct stat st;
            if (lstat(fifo_path, &st) == 0)
                GTEST_SKIP() << fifo_path << " is in use (a server of yours?) and this machine gives "
                             << "the test no /tmp of its own (" << no_private_tmp << "); not touching it";
            owns_path = true;
        }
        TempDirTest::SetUp();
    }
    void TearDown() override
    {
        send_signal(server.pid, SIGKILL);
        if (private_tmp || owns_path)
            remove_path();
        if (lock >= 0)
            close(lock);
        TempDirTest::TearDown();
    }
    void start() { start_piped(server, program("server")); }

    // Starts the server on a FIFO of the test's that is readable only: the
    // server runs in a user namespace of its own, where it has no capability
    // over the file (even as root), while the test keeps its own and can
    // write. Without user namespaces, root runs it as nobody instead; anyone
    // else cannot, and gets false with the reason in no_permission_skip.
    // Either way the server lacks the test's rights, so it runs from a copy
    // it can reach.
    bool start_without_write_permission(const std::vector<std::string>& env = {})
    {
        umask(022);
        if (mkfifo(fifo_path, 0444) != 0)
            return false;
        std::string copy = reachable_copy(program("server"));
        run_piped(server, "/usr/bin/unshare", "", 20, {}, {"--user", "/bin/true"});
        if (server.end.exited && server.end.status == 0) {
            start_piped(server, "/usr/bin/unshare", env, {"--user", copy});
            return true;
        }
        no_permission_skip = "no user namespace here (" + server.err_text.substr(0, server.err_text.find('\n')) +
                             "), so no way to take the write permission from the server without root";
        if (geteuid() != 0)
            return false;
        start_piped(server, "/usr/bin/setpriv", env,
                    {"--reuid=65534", "--regid=65534", "--clear-groups", copy});
        return true;
    }
    std::string no_permission_skip;

    // Opens the FIFO for writing once the server has it open for reading
    // (a client's open would block until then); -1 after the timeout, or at
    // once when the server has ended (a failure, which tells how).
    int open_writer(double timeout = 20)
    {
        double deadline = now_seconds() + timeout;
        for (;;) {
            int fd = open(fifo_path, O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                return fd;
            }
            if (has_ended(server)) {
                ADD_FAILURE() << "the server ended (" << describe(server.end) << ") before a client came: "
                              << in_quotes(server.err_text);
                return -1;
            }
            if (now_seconds() > deadline)
                return -1;
            usleep(10000);
        }
    }
    // Writes bytes in one call and waits until the server's output is
    // expected, verdict_bound seconds at most. Once a verdict has not come,
    // the test sends no more: each would only wait as long again.
    void send_and_expect(int fd, size_t bytes, const std::string& expected)
    {
        if (HasFatalFailure())
            return;
        std::string data(bytes, 'x');
        ASSERT_EQ(client_write(fd, data), static_cast<ssize_t>(bytes));
        ASSERT_TRUE(wait_output(server, expected, verdict_bound))
            << "after " << bytes << " bytes, the verdicts expected did not all come within " << verdict_bound
            << " s, where the server answers in milliseconds: " << in_quotes(server.out_text);
        EXPECT_EQ(server.out_text, expected);
    }

    // A writer sends 8 bytes and leaves: no further verdict and next to no
    // CPU used until the next writer, whose data is judged as before.
    void expect_quiet_between_writers()
    {
        int fd = open_writer();
        ASSERT_GE(fd, 0);
        send_and_expect(fd, 8, valid);
        close(fd);

        double cpu_before = cpu_seconds(server.pid);
        EXPECT_FALSE(wait_output(server, invalid, 1.5)) << in_quotes(server.out_text);
        EXPECT_EQ(server.out_text, valid);
        EXPECT_LT(cpu_seconds(server.pid) - cpu_before, 0.3);  // a spinning read would burn 1.5 s

        fd = open_writer();
        ASSERT_GE(fd, 0);
        send_and_expect(fd, 3, valid + invalid);
        close(fd);
    }

    Piped server;
    bool private_tmp = false;
    bool owns_path = false;  // the real /tmp/new, which was free at the start
    int lock = -1;
};

TEST_F(Server, CreatesTheFifoAndWaitsForAWriter)
{
    umask(022);
    start();
    struct stat st {};
    double deadline = now_seconds() + 20;
    bool made = false;
    while (!(made = stat(fifo_path, &st) == 0) && now_seconds() < deadline)
        usleep(10000);
    ASSERT_TRUE(made && S_ISFIFO(st.st_mode))
        << "no FIFO at " << fifo_path << ": " << (made ? what_is(st) : "nothing there 20 s after the start");
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    EXPECT_FALSE(wait_output(server, "\n", 1.0));  // no writer yet: nothing written
    send_signal(server.pid, SIGTERM);
    finish(server, 20);
    expect_killed(server.end, SIGTERM);
    EXPECT_EQ(server.out_text, "");
    ASSERT_EQ(stat(fifo_path, &st), 0) << "the FIFO at " << fifo_path << " did not outlive the server";
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "no FIFO at " << fifo_path << " once the server had ended: " << what_is(st);

    // A FIFO left by an earlier run works as a new one does.
    start();
    int fd = open_writer();
    ASSERT_GE(fd, 0);
    send_and_expect(fd, 6, valid);
    close(fd);
}

TEST_F(Server, JudgesEachReadByItsLength)
{
    start();
    int fd = open_writer();
    ASSERT_GE(fd, 0);
    std::string expected;
    send_and_expect(fd, 6, expected += valid);
    send_and_expect(fd, 5, expected += invalid);
    send_and_expect(fd, 1, expected += invalid);
    send_and_expect(fd, 20, expected += valid);
    send_and_expect(fd, 25, expected += valid + invalid);  // read as 20, then 5
    send_and_expect(fd, 40, expected += valid + valid);
    close(fd);
    EXPECT_EQ(server.err_text, "");
}

TEST_F(Server, WaitsQuietlyForTheNextWriter)
{
    start();
    expect_quiet_between_writers();
}

// Without write permission on the FIFO the server cannot hold its own write
// end; it reopens the FIFO at end of data instead, and still waits quietly.
TEST_F(Server, WaitsQuietlyWithoutWritePermission)
{
    if (!start_without_write_permission())
        GTEST_SKIP() << no_permission_skip;
    expect_quiet_between_writers();
}

// No verdict and no bytes of a client lost, at the speed of buffered output:
// - a stream of data is judged with its verdicts written together, a
//   write(2) for many, yet all of them shown once the stream stops;
// - a client that writes and leaves while the server reopens the FIFO keeps
//   its bytes (the I/O shim holds the server's close of the old end back,
//   which widens the moment when no end would be open).
TEST_F(Server, LosesNoVerdictAndNoBytesOfAClient)
{
    if (!start_without_write_permission({shim_preload(), "ASAN_OPTIONS=verify_asan_link_order=0",
                                         "SHIM_FIFO_CLOSE_DELAY=1500"}))
        GTEST_SKIP() << no_permission_skip;
    int fd = open_writer();
    ASSERT_GE(fd, 0);
    const std::string stream(20 * 2000, 'x');
    ASSERT_EQ(client_write(fd, stream), static_cast<ssize_t>(stream.size()));
    close(fd);
    std::string verdicts;
    for (int i = 0; i < 2000; ++i)
        verdicts += valid;
    EXPECT_TRUE(wait_output(server, verdicts, 20)) << server.out_text.size() << " bytes of verdicts";
    long calls = io_count(server.pid, "syscw");
    EXPECT_TRUE(calls >= 0 && calls < 200) << calls << " write(2) calls for 2000 verdicts";

    // The client comes while the server reopens, and leaves at once.
    read_output(server, 1);
    fd = open_writer();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(client_write(fd, "password"), 8);
    close(fd);
    EXPECT_TRUE(wait_output(server, verdicts + valid, 20)) << "the last client's verdict is missing";
    EXPECT_NE(server.err_text.find("shim: closing a FIFO\n"), std::string::npos)
        << "the I/O shim did not hold the close back: " << in_quotes(server.err_text);
}

// A client that comes and goes while the server's output is held up (by a
// paused terminal, say; by a full pipe here) gets its own verdict once the
// output moves on: it neither waits for the next client nor has its bytes
// read together with that client's.
TEST_F(Server, JudgesAClientThatCameWhileTheOutputWasHeld)
{
    if (!start_without_write_permission())
        GTEST_SKIP() << no_permission_skip;
    ASSERT_EQ(fcntl(server.out, F_SETPIPE_SZ, 4096), 4096) << strerror(errno);
    int fd = open_writer();
    ASSERT_GE(fd, 0);
    // The first client writes more verdicts' worth than the output pipe
    // holds, and leaves, while the server is stopped: so the server finds
    // the client gone once it has read the data.
    send_signal(server.pid, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_stat(server.pid).state == 'T'; }, 20)) << "the server did not stop";
    const std::string data(20 * 250, 'x');
    ASSERT_EQ(client_write(fd, data), static_cast<ssize_t>(data.size()));
    close(fd);
    long read_before = io_count(server.pid, "rchar");
    send_signal(server.pid, SIGCONT);
    // It reads all of it, and then waits, its verdicts not all written.
    ASSERT_TRUE(wait_until(
        [&] { return io_count(server.pid, "rchar") >= read_before + 5000 && process_stat(server.pid).state == 'S'; }, 20))
        << io_count(server.pid, "rchar") - read_before << " bytes read; state " << process_stat(server.pid).state;

    fd = open_writer();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(client_write(fd, "bob"), 3);
    close(fd);
    std::string verdicts;
    for (int i = 0; i < 250; ++i)
        verdicts += valid;
    EXPECT_TRUE(wait_output(server, verdicts + invalid, 20) && server.out_text == verdicts + invalid)
        << server.out_text.size() << " bytes of verdicts, where 250 valid ones and the second client's invalid one make "
        << verdicts.size() + invalid.size();
}

// What the server opens again at the end of a client's data is judged for
// what it is now: a regular file that took the FIFO's place is read to its
// end, and the run ends there, as when the server starts on one.
TEST_F(Server, JudgesWhatTookTheFifosPlaceForWhatItIs)
{
    if (!start_without_write_permission())
        GTEST_SKIP() << no_permission_skip;
    int fd = open_writer();
    ASSERT_GE(fd, 0);
    send_and_expect(fd, 8, valid);
    ASSERT_EQ(unlink(fifo_path), 0);
    write_file(fifo_path, std::string(25, 'c'));
    close(fd);
    finish(server, 20);
    expect_exit(server.end, 0);
    EXPECT_TRUE(server.out_text == valid + valid + invalid) << server.out_text.size() << " bytes of verdicts";
    EXPECT_EQ(server.err_text, "");
}

TEST_F(Server, FailsOnWhatIsNotAReadableFifo)
{
    ASSERT_EQ(mkdir(fifo_path, 0755), 0);
    run_piped(server, program("server"), "", 20);
    EXPECT_EQ(server.out_text, "");
    EXPECT_EQ(server.err_text, "write: Is a directory\n");
    expect_exit(server.end, 1);
    remove_path();

    ASSERT_EQ(symlink("/tmp/new-missing-target/x", fifo_path), 0);  // open fails
    run_piped(server, program("server"), "", 20);
    EXPECT_EQ(server.err_text, "write: No such file or directory\n");
    expect_exit(server.end, 1);
}

TEST_F(Server, JudgesARegularFileToItsEnd)
{
    write_file(fifo_path, std::string(45, 'c'));
    run_piped(server, program("server"), "", 20);
    EXPECT_EQ(server.out_text, valid + valid + invalid);
    EXPECT_EQ(server.err_text, "");
    expect_exit(server.end, 0);
}

// Several clients at once, each writing many short and long messages: the
// server keeps running and writes nothing but whole verdicts.
TEST_F(Server, SurvivesManyWritersAtOnce)
{
    start();
    int first = open_writer();
    ASSERT_GE(first, 0);
    std::vector<pid_t> writers;
    report_sent("four clients at once, each writing 500 times 1 to 60 zero bytes");
    for (int w = 0; w < 4; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(fifo_path, O_WRONLY);
            unsigned seed = 7919u * (w + 1);
            for (int i = 0; i < 500; ++i) {
                seed = seed * 1103515245u + 12345u;
                char data[64] = {};
                if (write(fd, data, 1 + (seed >> 16) % 60) < 0)
                    _exit(1);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    close(first);
    read_output(server, 1.0);  // the verdicts of the last reads

    int status;
    EXPECT_EQ(waitpid(server.pid, &status, WNOHANG), 0) << "the server ended";
    size_t at = 0, verdicts = 0;
    const std::string& out = server.out_text;
    while (at < out.size()) {
        if (out.compare(at, valid.size(), valid) == 0)
            at += valid.size();
        else if (out.compare(at, invalid.size(), invalid) == 0)
            at += invalid.size();
        else
            break;
        ++verdicts;
    }
    EXPECT_EQ(at, out.size()) << "malformed output at " << at;
    EXPECT_GE(verdicts, 100u);
    EXPECT_EQ(server.err_text, "");
}

}  // namespace
