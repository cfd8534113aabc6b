// copyfile, driven through pipes and on a terminal.
#include "harness.h"

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char prompts[] = "Enter source file path: Enter destination file path: ";
const char done[] = "\nCopying complete!";

// How long one run of copyfile may take before it is cut off. Every run
// here takes milliseconds, so a program still running after this many
// seconds, on a busy machine too, is stuck: asking again and again a write
// that takes no bytes, say.
constexpr double run_bound = 5;

class Copyfile : public TempDirTest {
protected:
    // The environment that loads the I/O shim; a sanitizer runtime is told to
    // accept a library loaded ahead of it.
    std::vector<std::string> with_shim(const std::string& setting, const std::string& another = "")
    {
        std::vector<std::string> env = {shim_preload(), "ASAN_OPTIONS=verify_asan_link_order=0", setting};
        if (!another.empty())
            env.push_back(another);
        return env;
    }
    // Runs copyfile with the given input lines. done, if given, says what the
    // test set up for a fault to show, for the failure's report.
    void copy(const std::string& input, const std::vector<std::string>& env = {}, const std::string& done = "")
    {
        launch(program("copyfile"), {}, input, env, done);
    }
    // Runs path (copyfile, or what runs it) with args, and cuts it off after
    // run_bound seconds. Once a run of a test has been cut off, the test's
    // later runs are not made: the test has failed, and each would only wait
    // as long again.
    void launch(const std::string& path, const std::vector<std::string>& args, const std::string& input,
                const std::vector<std::string>& env, const std::string& done)
    {
        if (HasFatalFailure())
            return;
        start_piped(run, path, env, args);
        if (!done.empty())
            report_setting(done);
        feed(run, input);
        finish(run, run_bound);
        ASSERT_FALSE(run.end.timed_out) << "copyfile did not end within " << run_bound
                                        << " s of its input's close, where a copy takes milliseconds: cut off";
    }
    void expect_status(int status)
    {
        expect_exit(run.end, status);
    }
    Piped run;
};

mode_t mode_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// How a copy differs from the bytes it should hold, in a line: EXPECT_EQ on
// megabytes would print them whole, escaped, for seconds.
std::string difference(const std::string& copied, const std::string& bytes)
{
    size_t at = std::mismatch(copied.begin(), copied.end(), bytes.begin(), bytes.end()).first - copied.begin();
    return std::to_string(copied.size()) + " bytes copied of " + std::to_string(bytes.size()) +
           ", the first wrong one at offset " + std::to_string(at);
}

TEST_F(Copyfile, GoodCopyWritesPromptsAndCompletionOnly)
{
    umask(022);
    write_file("notes.txt", "first line\nsecond line\n");
    copy("notes.txt\ncopy.txt\n");
    EXPECT_EQ(run.out_text, std::string(prompts) + done);
    EXPECT_EQ(run.err_text, "");
    expect_status(0);
    EXPECT_EQ(read_file("copy.txt"), "first line\nsecond line\n");
    EXPECT_EQ(mode_of("copy.txt"), 0644u);
}

TEST_F(Copyfile, CopiesEverySizeExactly)
{
    for (size_t size : {size_t{0}, size_t{1}, size_t{1023}, size_t{1024}, size_t{1025},
                        size_t{3 * 1024 * 1024 + 7}}) {
        SCOPED_TRACE(size);
        std::string bytes = pattern_bytes(size);
        write_file("src", bytes);
        copy("src\ndst\n");
        expect_status(0);
        std::string copied = read_file("dst");
        EXPECT_TRUE(copied == bytes) << difference(copied, bytes);
        unlink("dst");
    }
}

TEST_F(Copyfile, WritesOneChunkPerCall)
{
    const std::vector<std::pair<size_t, std::string>> cases = {
        {1024, "1024\n"}, {1025, "1024\n1\n"}, {3000, "1024\n1024\n952\n"}};
    for (const auto& [size, writes] : cases) {
        SCOPED_TRACE(size);
        write_file("src", pattern_bytes(size));
        unlink(path("writes").c_str());
        copy("src\ndst\n", with_shim("SHIM_WRITE_LOG=" + path("writes")));
        expect_status(0);
        EXPECT_EQ(read_file("writes"), writes);
    }
}

TEST_F(Copyfile, ShortWritesAreCompleted)
{
    std::string bytes = pattern_bytes(2500);
    write_file("src", bytes);
    copy("src\ndst\n", with_shim("SHIM_WRITE_CAP=300"), "the I/O shim let each write take 300 bytes at most");
    EXPECT_EQ(run.out_text, std::string(prompts) + done);
    EXPECT_EQ(run.err_text, "");
    expect_status(0);
    EXPECT_EQ(read_file("dst"), bytes);

    // A write that takes nothing at all is a failure, not a reason to ask
    // again, and as it sets no error number the report says what it did.
    copy("src\ndst\n", with_shim("SHIM_WRITE_CAP=0"), "the I/O shim let each write take no bytes");
    EXPECT_EQ(run.err_text, "Error writing to dest file.: A write took no bytes\n");
    expect_status(1);
}

TEST_F(Copyfile, ExistingDestinationIsTruncatedAndKeepsItsMode)
{
    write_file("dst", pattern_bytes(5000));
    chmod("dst", 0600);
    write_file("src", "short\n");
    copy("src\ndst\n");
    expect_status(0);
    EXPECT_EQ(read_file("dst"), "short\n");
    EXPECT_EQ(mode_of("dst"), 0600u);

    write_file("empty", "");
    copy("empty\ndst\n");
    expect_status(0);
    EXPECT_EQ(read_file("dst"), "");
}

// The paths are read a byte at a time and nothing after them: standard input
// itself can be the source, and all that follows the two lines is copied,
// even when it comes in the same write as they do.
TEST_F(Copyfile, StandardInputAsTheSourceIsCopiedWhole)
{
    std::string bytes = pattern_bytes(9000);
    copy("/dev/stdin\ncopy\n" + bytes);
    EXPECT_EQ(run.out_text, std::string(prompts) + done);
    expect_status(0);
    std::string copied = read_file("copy");
    EXPECT_EQ(copied.size(), bytes.size());
    EXPECT_TRUE(copied == bytes);
}

TEST_F(Copyfile, PathsWithSpacesAreUsedWhole)
{
    write_file(" my notes .txt", "spaced\n");
    copy(" my notes .txt\nthe copy \n");
    expect_status(0);
    EXPECT_EQ(read_file("the copy "), "spaced\n");
}

TEST_F(Copyfile, SourceThatCannotBeOpened)
{
    copy("missing.txt\ncopy.txt\n");
    EXPECT_EQ(run.out_text, std::string(prompts) + "missing.txt");
    EXPECT_EQ(run.err_text, "Error opening file src file: : No such file or directory\n");
    expect_status(1);
    EXPECT_FALSE(exists("copy.txt"));

    copy("\ncopy.txt\n");  // an empty line is the empty path
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "Error opening file src file: : No such file or directory\n");
    expect_status(1);
}

TEST_F(Copyfile, DestinationThatCannotBeOpened)
{
    write_file("src", "data\n");
    copy("src\nno/such/dir/copy\n");
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "Error opening file dest file.: No such file or directory\n");
    expect_status(1);
    EXPECT_FALSE(exists("no"));
}

// A source that cannot be read at all leaves the destination untouched: an
// existing one keeps its contents, a missing one is not created.
TEST_F(Copyfile, DirectorySourceFailsTheRead)
{
    ASSERT_EQ(mkdir("folder", 0755), 0);
    write_file("dst", "old contents\n");
    copy("folder\ndst\n");
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "Error reading from src file.: Is a directory\n");
    expect_status(1);
    EXPECT_EQ(read_file("dst"), "old contents\n");

    copy("folder\nnew\n");
    expect_status(1);
    EXPECT_FALSE(exists("new"));
}

TEST_F(Copyfile, FullDeviceFailsTheWrite)
{
    write_file("src", pattern_bytes(3000));
    copy("src\n/dev/full\n");
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "Error writing to dest file.: No space left on device\n");
    expect_status(1);
}

// A read that fails in the middle of the copy ends it as a failure, never as
// the end of the source: the failed read's message, status 1 and no
// "Copying complete!"; what was copied before it stays in the destination,
// and both files are closed, the source first. strace makes the source's
// third read fail, as a bad disk would, after two chunks were written.
TEST_F(Copyfile, ReadFailingInTheMiddleFailsTheCopy)
{
    std::string strace = strace_path();
    if (strace.empty())
        GTEST_SKIP() << "strace is not installed (scripts/setup.sh test installs it)";
    std::string bytes = pattern_bytes(3000);
    write_file("src", bytes);
    // The I/O shim goes to copyfile alone (-E), not to strace; LeakSanitizer
    // cannot run under strace.
    launch(strace,
           {"-qq", "-o", "/dev/null", "-P", path("src"), "-e", "trace=read", "-e", "inject=read:error=EIO:when=3",
            "-E", shim_preload(), "-E", "SHIM_CLOSE_LOG=" + path("closes"), program("copyfile")},
           "src\ndst\n", {"ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"},
           "strace made the source's 3rd read fail with EIO; the I/O shim logged each close");
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "Error reading from src file.: Input/output error\n");
    expect_status(1);
    EXPECT_TRUE(read_file("dst") == bytes.substr(0, 2048))
        << read_file("dst").size() << " bytes in the destination, not the 2048 of the two reads before the failed one";
    EXPECT_EQ(read_file("closes"), path("src") + "\n" + path("dst") + "\n");
}

// Every failure once the source is open closes what was opened, the source
// first, before the program ends. (The refused copy onto itself and the read
// failing in the middle are checked with the rest of what they do.)
TEST_F(Copyfile, FailuresCloseTheOpenFilesSourceFirst)
{
    write_file("src", pattern_bytes(3000));
    ASSERT_EQ(mkdir("folder", 0755), 0);
    const std::string src = path("src") + "\n";
    const std::string logged = "the I/O shim logged each close";
    struct Failure {
        std::string what, input, setting, done, closes;
    };
    for (const Failure& failure : std::vector<Failure>{
             {"the destination's open fails", "src\nno/such/dir/copy\n", "", logged, src},
             {"the source's first read fails", "folder\ndst\n", "", logged, path("folder") + "\n"},
             {"a write fails", "src\n/dev/full\n", "", logged, src + "/dev/full\n"},
             {"a write takes no bytes", "src\ndst\n", "SHIM_WRITE_CAP=0",
              "the I/O shim let each write take no bytes, and logged each close", src + path("dst") + "\n"}}) {
        SCOPED_TRACE(failure.what);
        unlink(path("closes").c_str());
        copy(failure.input, with_shim("SHIM_CLOSE_LOG=" + path("closes"), failure.setting), failure.done);
        expect_status(1);
        EXPECT_EQ(read_file("closes"), failure.closes);
    }
}

TEST_F(Copyfile, RefusesToCopyAFileOntoItself)
{
    std::string bytes = pattern_bytes(4000);
    write_file("src", bytes);
    ASSERT_EQ(link("src", "hard link"), 0);
    for (const std::string& dest : {std::string("src"), std::string("./src"),
                                    std::string("hard link"), path("src")}) {
        SCOPED_TRACE(dest);
        copy("src\n" + dest + "\n");
        EXPECT_EQ(run.out_text, prompts);
        EXPECT_EQ(run.err_text, "Source and destination are the same file; nothing copied.\n");
        expect_status(1);
        EXPECT_EQ(read_file("src"), bytes);
    }
    // Both files are closed, the source first.
    copy("src\nhard link\n", with_shim("SHIM_CLOSE_LOG=" + path("closes")));
    expect_status(1);
    EXPECT_EQ(read_file("closes"), path("src") + "\n" + path("hard link") + "\n");
}

// Standard output writes the prompts at an offset of its own, so the regular
// file it goes to cannot take the copy too: it is refused, under any name,
// and holds the prompts alone.
TEST_F(Copyfile, RefusesTheFileStandardOutputGoesTo)
{
    write_file("src", "copied text\n");
    for (const char* dest : {"/dev/stdout", "out.txt"}) {
        SCOPED_TRACE(dest);
        launch("/bin/sh", {"-c", "exec \"$0\" > out.txt", program("copyfile")}, std::string("src\n") + dest + "\n",
               {}, "");
        EXPECT_EQ(run.err_text, "Destination and standard output are the same file; nothing copied.\n");
        expect_status(1);
        EXPECT_EQ(read_file("out.txt"), prompts);
    }
}

TEST_F(Copyfile, PathLengthLimit)
{
    std::string longest(255, 'n');  // a path of 255 characters still fits
    write_file(longest, "edge\n");
    copy(longest + "\ncopy\n");
    expect_status(0);
    EXPECT_EQ(read_file("copy"), "edge\n");

    std::string too_long(256, 'n');
    copy(too_long + "\ncopy2\n");
    EXPECT_EQ(run.out_text, "Enter source file path: ");
    EXPECT_EQ(run.err_text, "The source path is too long: more than 255 characters.\n");
    expect_status(1);

    copy(longest + "\n" + std::string(256, 'd') + "\n");
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "The destination path is too long: more than 255 characters.\n");
    expect_status(1);
    EXPECT_FALSE(exists(std::string(255, 'd')));

    // A NUL byte would end a path early: the line is refused whole, before
    // anything is opened, even when what stands before the NUL is short.
    write_file("src.bin", pattern_bytes(3000));
    const std::string nul(1, '\0');
    copy("src.bin" + nul + std::string(260, 'x') + "\ncopy3\n");
    EXPECT_EQ(run.err_text, "The source path is too long: more than 255 characters.\n");
    expect_status(1);
    copy("src.bin" + nul + "junk\ncopy3\n");
    EXPECT_EQ(run.err_text, "The source path contains a NUL byte.\n");
    expect_status(1);
    copy("src.bin\ncopy3" + nul + "junk\n");
    EXPECT_EQ(run.err_text, "The destination path contains a NUL byte.\n");
    expect_status(1);
    EXPECT_FALSE(exists("copy3"));
}

TEST_F(Copyfile, EndOfInputBeforeAPath)
{
    copy("");
    EXPECT_EQ(run.out_text, "Enter source file path: ");
    EXPECT_EQ(run.err_text, "No source path given: end of input.\n");
    expect_status(1);

    write_file("src", "data\n");
    copy("src\n");
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "No destination path given: end of input.\n");
    expect_status(1);

    copy("src\ncopy");  // a last line without its newline is still a path
    expect_status(0);
    EXPECT_EQ(read_file("copy"), "data\n");
}

// A failed read of a path is reported, never taken for the end of its line:
// "important.txt.bak" cut by an I/O error after "important.txt" must not be
// copied onto important.txt. A read that a signal interrupts is made again.
TEST_F(Copyfile, FailedReadOfAPathIsNotItsEnd)
{
    std::string strace = strace_path();
    if (strace.empty())
        GTEST_SKIP() << "strace is not installed (scripts/setup.sh test installs it)";
    write_file("src", "new\n");
    write_file("important.txt", "precious\n");
    auto traced = [&](const std::string& inject, const std::string& done) {
        std::vector<std::string> args = {"-o", path("trace"), "-e", "trace=read"};
        if (!inject.empty())
            args.insert(args.end(), {"-e", "inject=read:" + inject});
        args.push_back(program("copyfile"));
        // LeakSanitizer cannot run under strace.
        launch(strace, args, "src\nimportant.txt.bak\n", {"ASAN_OPTIONS=detect_leaks=0"}, done);
    };
    // strace makes the Nth read fail, counting every read, the loader's too:
    // a first run finds N, the read of the last ".", after "important.txt".
    traced("", "");
    expect_status(0);
    std::string trace = "\n" + read_file("trace");
    size_t dot = trace.rfind("\nread(0, \".\", 1)");
    ASSERT_NE(dot, std::string::npos) << trace;
    int n = 1;
    for (size_t at = trace.find("\nread("); at < dot; at = trace.find("\nread(", at + 1))
        ++n;
    unlink("important.txt.bak");

    traced("error=EIO:when=" + std::to_string(n), "strace made the read of the path's last \".\" fail with EIO");
    EXPECT_EQ(run.out_text, prompts);
    EXPECT_EQ(run.err_text, "Error reading the destination path: Input/output error\n");
    expect_status(1);
    EXPECT_EQ(read_file("important.txt"), "precious\n");

    traced("error=EINTR:when=" + std::to_string(n), "strace made the read of the path's last \".\" fail with EINTR");
    EXPECT_NE(read_file("trace").find("EINTR (Interrupted system call) (INJECTED)"), std::string::npos);
    expect_status(0);
    EXPECT_EQ(read_file("important.txt.bak"), "new\n");
    EXPECT_EQ(read_file("important.txt"), "precious\n");
}

TEST_F(Copyfile, PromptsShowOnATerminalBeforeAnythingIsTyped)
{
    write_file("src", "typed\n");
    Terminal t;
    start_terminal(t, program("copyfile"));
    ASSERT_GE(wait_screen(t, "Enter source file path: ", 10), 0) << in_quotes(t.screen);
    type(t, "src\n");
    ASSERT_GE(wait_screen(t, "Enter destination file path: ", 10), 0) << in_quotes(t.screen);
    type(t, "dst\n");
    EXPECT_GE(wait_screen(t, "Copying complete!", 10), 0) << in_quotes(t.screen);
    wait_end(t, 10);
    expect_exit(t.end, 0);
    EXPECT_EQ(read_file("dst"), "typed\n");
}

}  // namespace
