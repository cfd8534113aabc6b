// The report of a failure: at a test's first failure, what the test did to
// the latest program it started (the keys it typed, the bytes and signals it
// sent, what it waited for) and what came from the program, in order, then
// how the program ended and the check that failed, in plain words. It is
// written between "[ report ]" and "[ end of report ]", which
// scripts/exercise.sh looks for; anyone reading a test's output gets it too.
// It hears of the failure through gtest's event listeners, and takes what
// the harness recorded: the run's events as they went, and the failed
// check's own account (tests/report.h), not the words of gtest's message.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Event {
    std::string kind;  // "sent", "typed", "came", "prompt"...
    std::string text;  // as shown: in words, or the bytes quoted (and cut down)
    std::string keys;  // what was typed or pressed, as it echoes
    // A wait for text that did not come, until the test acts again: only a
    // check that fails at once, before any further action, is about it.
    bool pending = false;
};

struct Run {
    const void* handle = nullptr;  // the Piped or Terminal, while it lives
    std::string label;             // the program's name and how it runs: "NAME, on pipes"
    pid_t pid = -1;
    void (*take_output)(const void* handle) = nullptr;  // reads what is ready
    const std::string* out = nullptr;
    const std::string* err = nullptr;
    size_t out_seen = 0, err_seen = 0;
    bool terminal = false;
    bool ended = false;
    std::vector<Event> events;
    std::string errors;  // all it wrote on standard error
    // Its exchange, as JSON (with HARNESS_EXCHANGE set): the start's fields,
    // then the steps; started is the clock at the start.
    std::string start;
    std::vector<std::string> steps;
    double started = 0;
};

// Every program the test started, in order; the report is of the one the
// test worked with last (started, sent to, waited for), whichever that is.
std::vector<Run> runs;
size_t current = 0;
bool reported = false;  // this test's first failure has had its report

// A failed check as it told itself, with the test's words, while gtest
// hears of the failure: on the thread that checked, as gtest reports it.
struct Told {
    const report::Check& check;
    std::string words;
    const char* file;
    int line;
};
thread_local const Told* told = nullptr;
// The cases the test is at on this thread (SCOPED_TRACE), innermost last.
thread_local std::vector<std::string> cases;

// The run of a handle still alive, or null.
Run* run_of(const void* handle)
{
    for (size_t i = runs.size(); handle != nullptr && i-- > 0;)
        if (runs[i].handle == handle) {
            current = i;
            return &runs[i];
        }
    return nullptr;
}

// A text of a line's length at most: a long one keeps its start and its end.
std::string shortened(const std::string& text)
{
    return text.size() > 150 ? text.substr(0, 100) + "..." + text.substr(text.size() - 40) : text;
}

}  // namespace

namespace {

// A byte as C would write it in a string: the one escape for every byte a
// program wrote that is not plain text.
void add_escaped(std::string& text, unsigned char c)
{
    if (c == '\n')
        text += "\\n";
    else if (c == '\t')
        text += "\\t";
    else if (c == '"' || c == '\\')
        text += std::string("\\") + static_cast<char>(c);
    else if (c < 0x20 || c >= 0x7f) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        text += hex;
    } else
        text += static_cast<char>(c);
}

// The length of the well-formed UTF-8 character at the start of bytes that
// a terminal shows as a character (not a C1 control, U+0080 to U+009F), or 0.
size_t printable_character(const std::string& bytes, size_t at)
{
    auto tail = [&](size_t i) {
        return at + i < bytes.size() && (static_cast<unsigned char>(bytes[at + i]) & 0xc0) == 0x80;
    };
    unsigned char lead = bytes[at];
    unsigned char next = at + 1 < bytes.size() ? bytes[at + 1] : 0;
    if (lead >= 0xc2 && lead <= 0xdf && tail(1))
        return lead == 0xc2 && next < 0xa0 ? 0 : 2;
    if (lead >= 0xe0 && lead <= 0xef && tail(1) && tail(2) && (lead != 0xe0 || next >= 0xa0) &&
        (lead != 0xed || next < 0xa0))
        return 3;
    if (lead >= 0xf0 && lead <= 0xf4 && tail(1) && tail(2) && tail(3) && (lead != 0xf0 || next >= 0x90) &&
        (lead != 0xf4 || next < 0x90))
        return 4;
    return 0;
}

// A text to show as it is, a line at a time, with every byte a terminal
// would act on escaped: control bytes (escape sequences, a carriage return,
// a bell) and bytes that are not well-formed UTF-8.
std::string printable(const std::string& text)
{
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        unsigned char c = text[at];
        size_t length = c >= 0x80 ? printable_character(text, at) : c == '\n' || (c >= 0x20 && c < 0x7f) ? 1 : 0;
        if (length == 0) {
            add_escaped(shown, c);
            ++at;
        } else {
            shown.append(text, at, length);
            at += length;
        }
    }
    return shown;
}

// Bytes as in_quotes shows them, from offset from on, until about a line's
// length is shown: "..." before when from is not the start, after when the
// bytes go on.
std::string quoted_from(const std::string& bytes, size_t from)
{
    std::string text = from > 0 ? "...\"" : "\"";
    size_t at = from;
    for (; at < bytes.size() && text.size() < 110; ++at)
        add_escaped(text, bytes[at]);
    return text + (at < bytes.size() ? "\"..." : "\"");
}

// Bytes as C would write them, without the quotes.
std::string escaped(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes)
        add_escaped(text, c);
    return text;
}

}  // namespace

std::string in_quotes(const std::string& bytes)
{
    std::string in_all = " (" + std::to_string(bytes.size()) + " bytes in all)";
    if (bytes.size() > 150) {
        // Cut down as shortened would, from the ends alone: what a program
        // wrote may be megabytes long.
        std::string start = ("\"" + escaped(bytes.substr(0, 100))).substr(0, 100);
        std::string end = escaped(bytes.substr(bytes.size() - 40)) + "\"";
        return start + "..." + end.substr(end.size() - 40) + in_all;
    }
    std::string text = "\"" + escaped(bytes) + "\"";
    std::string shown = shortened(text);
    return shown.size() < text.size() ? shown + in_all : text;
}

namespace {

// The program's prompts ("Enter ...: ") stand apart from the rest of what
// came; on a terminal, so does the echo of what was just typed.
void add_output(Run& run, const std::string& bytes, const char* stream)
{
    std::string rest = bytes;
    const Event* last = run.events.empty() ? nullptr : &run.events.back();
    if (run.terminal && last != nullptr && (last->kind == "typed" || last->kind == "pressed")) {
        std::string echo = last->keys;
        if (!echo.empty() && rest.compare(0, echo.size(), echo) == 0) {
            run.events.push_back({"echo", in_quotes(echo), ""});
            rest.erase(0, echo.size());
        }
    }
    const std::string kind = stream == nullptr ? "came" : std::string(strcmp(stream, "error") == 0 ? "stderr" : "came");
    for (size_t at = 0; at < rest.size();) {
        size_t prompt = stream == nullptr || strcmp(stream, "output") == 0 ? rest.find("Enter ", at)
                                                                            : std::string::npos;
        size_t end = prompt == std::string::npos ? std::string::npos : rest.find(": ", prompt);
        if (end == std::string::npos || rest.find('\n', prompt) < end) {
            run.events.push_back({kind, in_quotes(rest.substr(at)), ""});
            break;
        }
        if (prompt > at)
            run.events.push_back({kind, in_quotes(rest.substr(at, prompt - at)), ""});
        run.events.push_back({"prompt", in_quotes(rest.substr(prompt, end + 2 - prompt)), ""});
        at = end + 2;
    }
}

// Takes in what came since the last look.
void catch_up(Run& run)
{
    if (run.handle != nullptr && run.take_output != nullptr)
        run.take_output(run.handle);
    if (run.out != nullptr && run.out->size() > run.out_seen) {
        add_output(run, run.out->substr(run.out_seen), run.terminal ? nullptr : "output");
        run.out_seen = run.out->size();
    }
    if (run.err != nullptr && run.err->size() > run.err_seen) {
        add_output(run, run.err->substr(run.err_seen), "error");
        run.errors += run.err->substr(run.err_seen);
        run.err_seen = run.err->size();
    }
}

// The lines of a message.
std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The two values of a failed equality, expected and came: cut around their
// first difference when it lies past what a line shows, with where it is.
void print_values(const report::Check& check)
{
    std::string first = shortened(check.expected), second = shortened(check.came), where;
    const std::optional<std::string>&want = check.expected_bytes, &got = check.came_bytes;
    if (want && got && *want != *got) {
        size_t at = std::mismatch(want->begin(), want->end(), got->begin(), got->end()).first - want->begin();
        size_t from = at < 40 ? 0 : at - 40;
        first = quoted_from(*want, from);
        second = quoted_from(*got, from);
        if (from > 0 || first.back() == '.' || second.back() == '.')
            where = "they differ from byte " + std::to_string(at) + " on (line " +
                    std::to_string(std::count(want->begin(), want->begin() + at, '\n') + 1) + "); " +
                    std::to_string(want->size()) + " bytes expected, " + std::to_string(got->size()) + " came";
    }
    printf("  expected  %s\n  came      %s   (%s)\n", printable(first).c_str(), printable(second).c_str(),
           printable(check.came_expression).c_str());
    if (!where.empty())
        printf("  %s\n", where.c_str());
}

// The failed check in plain words, from what it told of itself: for an
// equality, what was expected (the second value, as the tests write them)
// and what came (the first); for a comparison, the relation expected and
// the value that came; for a condition, the test's words where it gave
// some, else the condition; for any other failure, gtest's account of it.
// Then the test's own words, two lines at most, unless they only show again
// what came (a screen, say), which is above already; then the case it was
// at. A failure that told nothing (an exception, say) is shown by the
// first line of gtest's message.
void print_check(const Run& run, const testing::TestPartResult& result, const Told* failed)
{
    printf("The check that failed (%s:%d):\n", result.file_name() ? strrchr(result.file_name(), '/') + 1 : "?",
           result.line_number());
    std::vector<std::string> words;
    auto add_words = [&](const std::string& text, size_t from) {
        std::vector<std::string> lines = lines_of(text);
        for (size_t i = from; i < lines.size(); ++i)
            if (!lines[i].empty())
                words.push_back(lines[i]);
    };
    std::string condition;  // shown when the test has no words of its own
    report::Check::Kind kind = failed == nullptr ? report::Check::other : failed->check.kind;
    const std::string& account = failed == nullptr ? result.message() : failed->check.message;
    if (kind == report::Check::equality) {
        print_values(failed->check);
    } else if (kind == report::Check::comparison) {
        const report::Check& check = failed->check;
        printf("%s", printable("  expected  " + check.came_expression + " " + check.relation + " " +
                               check.expected_expression + "\n  came      " + check.came_expression + " = " +
                               check.came + "\n")
                         .c_str());
    } else if (kind == report::Check::condition) {
        const report::Check& check = failed->check;
        condition = "  expected  " + check.came_expression + (check.wanted ? "" : " to be false") + "\n" +
                    "  came      " + lines_of(check.came)[0] + "\n";
    } else {
        printf("  %s\n", printable(lines_of(account)[0]).c_str());
        if (failed != nullptr)
            add_words(account, 1);
    }
    if (failed != nullptr)
        add_words(failed->words, 0);
    if (!condition.empty() && words.empty())
        printf("%s", printable(condition).c_str());
    bool repeats = !words.empty() && run.out != nullptr && run.out->find(words[0]) != std::string::npos;
    for (size_t i = 0; i < words.size() && i < 2 && !repeats; ++i)
        printf("  %s\n", printable(shortened(words[i])).c_str());
    if (!cases.empty())
        printf("  in the case %s\n", printable(lines_of(cases.back())[0]).c_str());
}

// ThreadSanitizer's first report, down to what a learner reads: the kind of
// fault, each access with the lines of the program's own files in its stack,
// and the summary. The rest (addresses, the sanitizer's own frames, the
// threads' creation) is in the whole run's log.
void print_sanitizer_report(const std::string& errors)
{
    size_t start = errors.find("WARNING: ThreadSanitizer: ");
    if (start == std::string::npos)
        return;
    size_t end = errors.find("==================", start);
    std::vector<std::string> lines = lines_of(errors.substr(start, end == std::string::npos ? end : end - start));
    printf("  %s (its report, the lines that name the program's files):\n", lines[0].substr(9, lines[0].find(" (pid") - 9).c_str());
    int shown = 0;
    bool in_access = false;
    for (size_t i = 1; i < lines.size() && shown < 12; ++i) {
        const std::string& line = lines[i];
        if (line.compare(0, 2, "  ") == 0 && line[2] != ' ' && line.find(" of size ") != std::string::npos &&
            line.find(" by ") != std::string::npos) {
            // "  Write of size 4 at 0x55.. by thread T2:" without the address
            size_t at = line.find(" at 0x");
            size_t by = line.find(" by ", at == std::string::npos ? 0 : at);
            printf("    %s%s\n", line.substr(2, (at == std::string::npos ? by : at) - 2).c_str(), line.substr(by).c_str());
            in_access = true;
            ++shown;
        } else if (line.compare(0, 2, "  ") != 0 || line[2] != ' ') {
            in_access = false;  // a thread's creation, a mutex's: not shown
        } else if (in_access && line.find(" #") != std::string::npos) {
            // "    #0 runner(void*) /path/to/file.cpp:19 (prog+0x12b9)"
            size_t path = line.find(" /");
            size_t colon = path == std::string::npos ? path : line.find(':', path);
            if (colon == std::string::npos || line.compare(path, 6, " /usr/") == 0)
                continue;
            size_t name = line.rfind('/', colon) + 1;
            size_t stop = line.find_first_not_of("0123456789", colon + 1);
            printf("      %s %s\n", line.substr(line.find('#'), path - line.find('#')).c_str(),
                   line.substr(name, stop - name).c_str());
            ++shown;
        }
    }
    for (const std::string& line : lines)
        if (line.compare(0, 9, "SUMMARY: ") == 0) {
            size_t path = line.find(" /");
            size_t name = path == std::string::npos ? path : line.find(' ', path + 1);
            std::string file = path == std::string::npos ? "" : line.substr(path + 1, name - path - 1);
            std::string shown_line = path == std::string::npos ? line : line.substr(0, path + 1) +
                                     file.substr(file.rfind('/') + 1) + (name == std::string::npos ? "" : line.substr(name));
            printf("    %s\n", shown_line.c_str());
        }
}

// How the program ended, if it has and the harness has not yet looked:
// "exit status 1", say; "" while it runs. The program is left to be reaped.
std::string ended_unseen(const Run& run)
{
    siginfo_t info{};
    if (run.handle == nullptr || run.pid <= 0 || waitid(P_PID, run.pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid != run.pid)
        return "";
    int status = info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status, 0)
                                            : info.si_status | (info.si_code == CLD_DUMPED ? WCOREFLAG : 0);
    return describe_ending(status);
}

// The folder the exchange is recorded in, or null when none is asked for.
const char* exchange_folder()
{
    const char* folder = getenv("HARNESS_EXCHANGE");
    return folder != nullptr && *folder != '\0' ? folder : nullptr;
}

// Bytes as a JSON string: each byte that is not plain ASCII text as the
// character of the same number (\u0000 to \u00ff), which a reader turns
// back into the byte.
std::string json_string(const std::string& bytes)
{
    std::string text = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\')
            text += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7f) {
            char code[8];
            snprintf(code, sizeof code, "\\u%04x", c);
            text += code;
        } else
            text += static_cast<char>(c);
    }
    return text + "\"";
}

// Writes the run's exchange, when one is recorded, beside its files.
void write_exchange(const Run& run)
{
    const char* folder = exchange_folder();
    if (folder == nullptr || run.start.empty())
        return;
    std::string path = std::string(folder) + "/exchange.json";
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        printf("(the exchange could not be recorded in %s: %s)\n", path.c_str(), strerror(errno));
        return;
    }
    fprintf(file, "{%s, \"steps\": [", run.start.c_str());
    for (size_t i = 0; i < run.steps.size(); ++i)
        fprintf(file, "%s\n  %s", i == 0 ? "" : ",", run.steps[i].c_str());
    fprintf(file, "\n]}\n");
    fclose(file);
}

class Reporter : public testing::EmptyTestEventListener {
    // gtest's "As Text:" lines, which show a text value again unescaped, are
    // left out: they would let a carriage return through, and break a value
    // across lines. (Set here: gtest sets its flags after the program's
    // static objects are made.)
    void OnTestProgramStart(const testing::UnitTest&) override { GTEST_FLAG_SET(print_utf8, false); }
    void OnTestStart(const testing::TestInfo&) override
    {
        runs.clear();
        current = 0;
        reported = false;
    }
    void OnTestPartResult(const testing::TestPartResult& result) override
    {
        if (!result.failed() || reported)
            return;
        reported = true;
        static const Run none;
        const Run& run = current < runs.size() ? runs[current] : none;
        if (current < runs.size())
            catch_up(runs[current]);
        printf("[ report ]\n");
        if (run.label.empty())
            printf("The test had started no program.\n");
        else
            printf("The test ran %s:\n", printable(run.label).c_str());
        // A long exchange (a storm of signals, say): its start and its end.
        const size_t most = 16, first = 4;
        for (size_t i = 0; i < run.events.size(); ++i) {
            if (run.events.size() > most && i == first) {
                printf("  ... %zu more\n", run.events.size() - most + 1);
                i = run.events.size() - (most - first - 1);
            }
            printf("  %-8s %s\n", run.events[i].kind.c_str(), printable(run.events[i].text).c_str());
        }
        if (!run.label.empty() && !run.ended) {
            std::string ended = ended_unseen(run);
            std::string doing = ended.empty() ? what_it_is_doing(run.pid) : "";
            printf("  %-8s %s%s\n", "ended", ended.empty() ? "not yet: still running at this check" : ended.c_str(),
                   printable(doing.empty() ? "" : "; what it is doing: " + doing).c_str());
        }
        print_sanitizer_report(run.errors);
        bool same_place = told != nullptr && result.file_name() != nullptr &&
                          strcmp(told->file, result.file_name()) == 0 && told->line == result.line_number();
        print_check(run, result, same_place ? told : nullptr);
        printf("[ end of report ]\n");
        fflush(stdout);
        write_exchange(run);
    }
};

// gtest's own printer, given each failure's message with every byte that a
// terminal would act on escaped: a message may hold what a program wrote.
class EscapingPrinter : public testing::TestEventListener {
public:
    explicit EscapingPrinter(testing::TestEventListener* printer) : printer(printer) {}
    void OnTestPartResult(const testing::TestPartResult& result) override
    {
        std::string message = printable(result.message());
        printer->OnTestPartResult(
            testing::TestPartResult(result.type(), result.file_name(), result.line_number(), message.c_str()));
    }
    void OnTestProgramStart(const testing::UnitTest& test) override { printer->OnTestProgramStart(test); }
    void OnTestIterationStart(const testing::UnitTest& test, int i) override { printer->OnTestIterationStart(test, i); }
    void OnEnvironmentsSetUpStart(const testing::UnitTest& test) override { printer->OnEnvironmentsSetUpStart(test); }
    void OnEnvironmentsSetUpEnd(const testing::UnitTest& test) override { printer->OnEnvironmentsSetUpEnd(test); }
    void OnTestSuiteStart(const testing::TestSuite& suite) override { printer->OnTestSuiteStart(suite); }
    void OnTestCaseStart(const testing::TestCase& suite) override { printer->OnTestCaseStart(suite); }
    void OnTestStart(const testing::TestInfo& info) override { printer->OnTestStart(info); }
    void OnTestDisabled(const testing::TestInfo& info) override { printer->OnTestDisabled(info); }
    void OnTestEnd(const testing::TestInfo& info) override { printer->OnTestEnd(info); }
    void OnTestSuiteEnd(const testing::TestSuite& suite) override { printer->OnTestSuiteEnd(suite); }
    void OnTestCaseEnd(const testing::TestCase& suite) override { printer->OnTestCaseEnd(suite); }
    void OnEnvironmentsTearDownStart(const testing::UnitTest& test) override
    {
        printer->OnEnvironmentsTearDownStart(test);
    }
    void OnEnvironmentsTearDownEnd(const testing::UnitTest& test) override { printer->OnEnvironmentsTearDownEnd(test); }
    void OnTestIterationEnd(const testing::UnitTest& test, int i) override { printer->OnTestIterationEnd(test, i); }
    void OnTestProgramEnd(const testing::UnitTest& test) override { printer->OnTestProgramEnd(test); }

private:
    std::unique_ptr<testing::TestEventListener> printer;
};

// Set before any test: gtest's printer wrapped, then the report after it.
[[maybe_unused]] const bool registered = [] {
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    if (testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer()))
        listeners.Append(new EscapingPrinter(printer));
    listeners.Append(new Reporter);
    return true;
}();

// A wait that did not get its text, and after which the test went on to act
// again, was not the failure: it is shown as what it was.
void settle_waits()
{
    for (Run& run : runs)
        for (Event& event : run.events)
            if (event.pending) {
                event.pending = false;
                size_t at = event.text.find(": it did not come");
                if (at != std::string::npos)
                    event.text.replace(at, 17, ": none came, and the test went on");
            }
}

}  // namespace

std::string describe_ending(int wait_status)
{
    std::string how = describe_status(wait_status);
    if (!WIFSIGNALED(wait_status))
        return how;
    switch (WTERMSIG(wait_status)) {
    case SIGSYS:
        return how + ": a system call it may not make was refused (a sandbox forbids it)";
    case SIGXCPU:
        return how + ": it used up the CPU time it may have";
    case SIGXFSZ:
        return how + ": it wrote past the size a file may have";
    default:
        return how;
    }
}

void report_run(const void* handle, pid_t pid, const std::string& label, void (*take_output)(const void*),
                const std::string* out, const std::string* err, bool terminal)
{
    report_gone(handle);  // a handle used again: its earlier run is over
    runs.emplace_back();
    current = runs.size() - 1;
    Run& run = runs.back();
    run.handle = handle;
    run.pid = pid;
    run.take_output = take_output;
    run.label = label;
    run.out = out;
    run.err = err;
    run.terminal = terminal;
}

// Copies the regular files and folders under from into to, links as links,
// up to 256 MiB in all; false when it could not.
static bool copy_tree(const std::string& from, const std::string& to, size_t& budget)
{
    if (mkdir(to.c_str(), 0700) != 0)
        return false;
    DIR* dir = opendir(from.c_str());
    if (dir == nullptr)
        return false;
    bool done = true;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string source = from + "/" + name, target = to + "/" + name;
        struct stat info;
        if (lstat(source.c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode)) {
            done = copy_tree(source, target, budget) && done;
        } else if (S_ISLNK(info.st_mode)) {
            char link[4096];
            ssize_t n = readlink(source.c_str(), link, sizeof link - 1);
            done = n >= 0 && symlink(std::string(link, n).c_str(), target.c_str()) == 0 && done;
        } else if (S_ISREG(info.st_mode) && static_cast<size_t>(info.st_size) <= budget) {
            budget -= info.st_size;
            std::string bytes = read_file(source);
            write_file(target, bytes);
            chmod(target.c_str(), info.st_mode & 07777);
        } else if (S_ISREG(info.st_mode)) {
            done = false;
        }
    }
    closedir(dir);
    return done;
}

// Whether this test process has a /tmp of its own.
static bool private_tmp = false;

void report_private_tmp()
{
    private_tmp = true;
}

void report_start(const void* handle, const std::string& path, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::vector<int>& blocked)
{
    const char* folder = exchange_folder();
    Run* run = run_of(handle);
    if (folder == nullptr || run == nullptr)
        return;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return;
    std::string files = "files-" + std::to_string(runs.size());
    size_t budget = 256 << 20;
    bool whole = copy_tree(cwd, std::string(folder) + "/" + files, budget);
    auto list = [](const std::vector<std::string>& texts) {
        std::string json;
        for (const std::string& text : texts)
            json += (json.empty() ? "" : ", ") + json_string(text);
        return "[" + json + "]";
    };
    std::string signals;
    for (int sig : blocked)
        signals += (signals.empty() ? "" : ", ") + std::to_string(sig);
    run->start = "\"program\": " + json_string(path) + ", \"args\": " + list(args) + ", \"env\": " + list(env) +
                 ", \"blocked\": [" + signals + "], \"terminal\": " + (run->terminal ? "true" : "false") +
                 ", \"directory\": " + json_string(cwd) + ", \"files\": " + json_string(files) +
                 ", \"files_whole\": " + (whole ? "true" : "false") +
                 ", \"private_tmp\": " + (private_tmp ? "true" : "false");
    run->started = now_seconds();
}

// A step of the run's exchange, at the time it is taken.
static void add_step(Run& run, const std::string& kind, const std::string& value, double seconds)
{
    if (run.start.empty())
        return;
    char at[32];
    snprintf(at, sizeof at, "%.3f", now_seconds() - run.started);
    char limit[32];
    snprintf(limit, sizeof limit, "%.3f", seconds);
    run.steps.push_back("{\"at\": " + std::string(at) + ", \"step\": " + json_string(kind) + ", \"value\": " + value +
                        ", \"seconds\": " + limit + "}");
}

void report_step(const void* handle, const std::string& kind, const std::string& text, double seconds)
{
    size_t was = current;
    Run* run = run_of(handle);
    current = was;
    if (run != nullptr)
        add_step(*run, kind, json_string(text), seconds);
}

void report_caught(pid_t pid, const std::vector<int>& signals)
{
    for (size_t i = runs.size(); pid > 0 && i-- > 0;)
        if (runs[i].pid == pid && runs[i].handle != nullptr) {
            std::string list;
            for (int sig : signals)
                list += (list.empty() ? "" : ", ") + std::to_string(sig);
            add_step(runs[i], "caught", "[" + list + "]", 0);
            return;
        }
}

void report_event(const void* handle, const std::string& kind, const std::string& text, bool as_bytes)
{
    Run* found = run_of(handle);
    if (found == nullptr)
        return;
    Run& run = *found;
    catch_up(run);
    settle_waits();
    if (kind == "ended") {
        if (run.ended)
            return;
        run.ended = true;
    }
    bool keys = kind == "typed" || kind == "pressed";
    run.events.push_back({kind, as_bytes ? in_quotes(text) : text, keys ? text : "", kind == "waited"});
}

// An action of the test's own, or a setting that shapes the run, on the
// program the test worked with last.
static void report_own(const char* kind, const std::string& what)
{
    if (current < runs.size()) {
        catch_up(runs[current]);
        settle_waits();
        runs[current].events.push_back({kind, what, ""});
    }
}

void report_sent(const std::string& what)
{
    report_own("sent", what);
}

void report_setting(const std::string& what)
{
    report_own("setting", what);
}

void report_signal(pid_t pid, int signal)
{
    for (size_t i = runs.size(); pid > 0 && i-- > 0;)
        if (runs[i].pid == pid && runs[i].handle != nullptr) {
            current = i;
            catch_up(runs[i]);
            settle_waits();
            runs[i].events.push_back({"signal", std::string("SIG") + sigabbrev_np(signal), ""});
            add_step(runs[i], "signal", std::to_string(signal), 0);
            return;
        }
}

void report_gone(const void* handle)
{
    size_t was = current;
    Run* run = run_of(handle);
    current = was;
    if (run == nullptr)
        return;
    catch_up(*run);
    run->handle = nullptr;
    run->take_output = nullptr;
    run->out = run->err = nullptr;
}

namespace report {

Check condition(const char* expression, const testing::AssertionResult& result, bool wanted)
{
    if (result)
        return {};
    const char* came = wanted ? "false" : "true";
    std::string reason = result.message();
    return {Check::condition, expression, "", "", came + (reason.empty() ? "" : " (" + reason + ")"),
            wanted ? "true" : "false", std::nullopt, std::nullopt, wanted,
            testing::internal::GetBoolAssertionFailureMessage(result, expression, came, wanted ? "true" : "false")};
}

Check other(const testing::AssertionResult& result)
{
    if (result)
        return {};
    Check check;
    check.kind = Check::other;
    check.message = result.message();
    return check;
}

// A failure's account as gtest keeps it (in its log and its XML report),
// cut to its head and tail past 16 KiB: values a test compares may be
// megabytes of a program's output, which the report shows cut already.
static std::string cut(const std::string& text)
{
    const size_t most = 16384, tail = 1024;
    if (text.size() <= most)
        return text;
    return text.substr(0, most - tail) + "\n[... " + std::to_string(text.size() - most) + " bytes left out ...]\n" +
           text.substr(text.size() - tail);
}

void Failure::operator=(const testing::Message& words) const
{
    const Told here{check, words.GetString(), file, line};
    told = &here;
    // Gone with this call, however it ends (gtest_throw_on_failure throws).
    struct Forget {
        ~Forget() { told = nullptr; }
    } forget;
    testing::internal::AssertHelper(fatal ? testing::TestPartResult::kFatalFailure
                                          : testing::TestPartResult::kNonFatalFailure,
                                    file, line, cut(check.message).c_str()) = testing::Message() << cut(words.GetString());
}

void Case::enter()
{
    cases.push_back(text);
}

void Case::leave()
{
    cases.pop_back();
}

}  // namespace report
