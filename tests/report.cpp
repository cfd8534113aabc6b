// The report of a failure: at a test's first failure, what the test did to
// the latest program it started (the keys it typed, the bytes and signals it
// sent, what it waited for) and what came from the program, in order, then
// how the program ended and the check that failed, in plain words. It is
// written between "[ report ]" and "[ end of report ]", which
// scripts/exercise.sh looks for; anyone reading a test's output gets it too.
#include "harness.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

struct Event {
    std::string kind;  // "sent", "typed", "came", "prompt"...
    std::string text;  // as shown: in words, or the bytes quoted (and cut down)
    std::string keys;  // what was typed or pressed, as it echoes
};

struct Run {
    const void* handle = nullptr;  // the Piped or Terminal, while it lives
    std::string label;             // "copyfile, on pipes"
    pid_t pid = -1;
    void (*take_output)(const void* handle) = nullptr;  // reads what is ready
    const std::string* out = nullptr;
    const std::string* err = nullptr;
    size_t out_seen = 0, err_seen = 0;
    bool terminal = false;
    bool ended = false;
    std::vector<Event> events;
    std::string errors;  // all it wrote on standard error
};

// Every program the test started, in order; the report is of the one the
// test worked with last (started, sent to, waited for), whichever that is.
std::vector<Run> runs;
size_t current = 0;
bool reported = false;  // this test's first failure has had its report

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

// Bytes as C would write them, without the quotes.
std::string escaped(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
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

// The failed check in plain words: for an equality, what was expected (the
// second value, as the tests write them) and what came (the first).
void print_check(const Run& run, const testing::TestPartResult& result)
{
    std::vector<std::string> lines = lines_of(result.message());
    printf("The check that failed (%s:%d):\n", result.file_name() ? strrchr(result.file_name(), '/') + 1 : "?",
           result.line_number());
    size_t at = 0;
    if (!lines.empty() && lines[0] == "Expected equality of these values:") {
        std::string expression[2], value[2];
        int items = 0;
        for (at = 1; at < lines.size(); ++at) {
            const std::string& line = lines[at];
            if (line.compare(0, 4, "    ") == 0 && items > 0) {
                if (line.find("Which is: ") != std::string::npos)
                    value[items - 1] = line.substr(line.find("Which is: ") + 10);
            } else if (line.compare(0, 2, "  ") == 0 && items < 2) {
                expression[items] = value[items] = line.substr(2);
                ++items;
            } else
                break;
        }
        printf("  expected  %s\n  came      %s   (%s)\n", shortened(value[1]).c_str(),
               shortened(value[0]).c_str(), expression[0].c_str());
    } else if (!lines.empty() && lines[0].compare(0, 11, "Expected: (") == 0 &&
               lines[0].find(", actual: ") != std::string::npos) {
        // "Expected: (took) >= (9.5), actual: 0.0006 vs 9.5"
        const std::string& line = lines[0];
        size_t actual = line.find(", actual: ");
        std::string relation = line.substr(10, actual - 10);  // "(took) >= (9.5)"
        size_t first_end = 0;  // the parenthesis that closes the first operand
        for (int depth = 0; first_end < relation.size(); ++first_end) {
            depth += relation[first_end] == '(' ? 1 : relation[first_end] == ')' ? -1 : 0;
            if (depth == 0)
                break;
        }
        size_t second = relation.find(" (", first_end);
        std::string first = relation.substr(1, first_end - 1);
        std::string op = relation.substr(first_end + 2, second - first_end - 2);
        std::string other = relation.substr(second + 2, relation.size() - second - 3);
        std::string value = line.substr(actual + 10, line.find(" vs ", actual) - actual - 10);
        printf("  expected  %s %s %s\n  came      %s = %s\n", first.c_str(), op.c_str(), other.c_str(),
               first.c_str(), value.c_str());
        at = 1;
    } else if (!lines.empty() && lines[0].compare(0, 10, "Value of: ") == 0) {
        // "Value of: condition\n  Actual: false\nExpected: true"
        printf("  expected  %s\n", lines[0].substr(10).c_str());
        if (lines.size() > 1)
            printf("  came      %s\n", lines[1].substr(lines[1].find(':') + 2).c_str());
        at = 1;
    } else if (!lines.empty()) {
        printf("  %s\n", lines[0].c_str());
        at = 1;
    }
    // The test's own words, two lines at most, unless they only show again
    // what came (a screen, say), which is above already; then the case it
    // was at.
    std::vector<std::string> words;
    std::string in_case;
    for (; at < lines.size(); ++at) {
        const std::string& line = lines[at];
        if (line == "Google Test trace:") {
            if (at + 1 < lines.size())
                in_case = lines[at + 1].substr(lines[at + 1].find(": ") + 2);
            break;
        }
        if (!(line.empty() || line == "With diff:" || line.compare(0, 2, "@@") == 0 || line[0] == '-' ||
              line[0] == '+' || line.compare(0, 9, "  Actual:") == 0 || line.compare(0, 9, "Expected:") == 0))
            words.push_back(line);
    }
    bool repeats = !words.empty() && run.out != nullptr && run.out->find(words[0]) != std::string::npos;
    for (size_t i = 0; i < words.size() && i < 2 && !repeats; ++i)
        printf("  %s\n", shortened(words[i]).c_str());
    if (!in_case.empty())
        printf("  in the case %s\n", in_case.c_str());
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

class Reporter : public testing::EmptyTestEventListener {
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
            printf("The test ran %s:\n", run.label.c_str());
        // A long exchange (a storm of signals, say): its start and its end.
        const size_t most = 16, first = 4;
        for (size_t i = 0; i < run.events.size(); ++i) {
            if (run.events.size() > most && i == first) {
                printf("  ... %zu more\n", run.events.size() - most + 1);
                i = run.events.size() - (most - first - 1);
            }
            printf("  %-8s %s\n", run.events[i].kind.c_str(), run.events[i].text.c_str());
        }
        if (!run.label.empty() && !run.ended) {
            std::string doing = what_it_is_doing(run.pid);
            printf("  %-8s %s%s\n", "ended", "not yet: still running at this check",
                   doing.empty() ? "" : ("; what it is doing: " + doing).c_str());
        }
        print_sanitizer_report(run.errors);
        print_check(run, result);
        printf("[ end of report ]\n");
        fflush(stdout);
    }
};

[[maybe_unused]] const bool registered =
    (testing::UnitTest::GetInstance()->listeners().Append(new Reporter), true);

}  // namespace

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

void report_event(const void* handle, const std::string& kind, const std::string& text, bool as_bytes)
{
    Run* found = run_of(handle);
    if (found == nullptr)
        return;
    Run& run = *found;
    catch_up(run);
    if (kind == "ended") {
        if (run.ended)
            return;
        run.ended = true;
    }
    bool keys = kind == "typed" || kind == "pressed";
    run.events.push_back({kind, as_bytes ? in_quotes(text) : text, keys ? text : ""});
}

void report_sent(const std::string& what)
{
    if (current < runs.size()) {
        catch_up(runs[current]);
        runs[current].events.push_back({"sent", what, ""});
    }
}

void report_signal(pid_t pid, int signal)
{
    for (size_t i = runs.size(); pid > 0 && i-- > 0;)
        if (runs[i].pid == pid && runs[i].handle != nullptr) {
            current = i;
            catch_up(runs[i]);
            runs[i].events.push_back({"signal", std::string("SIG") + sigabbrev_np(signal), ""});
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
