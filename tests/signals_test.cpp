// pause_timer, sigint_loop and sigusr_toggle, driven with real signals:
// through pipes (fully buffered output, so the order of the text is all
// there is to see) and on a terminal with the real ^C and ^Z keys; with a
// signal sent at the moment a handler let in at the wrong time shows (inside
// a write that strace holds); started by a parent that had blocked their
// signals; and their sources read for the flags their handlers share.
#include "harness.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <regex>
#include <set>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

class Signals : public TempDirTest {};

const std::string paused_line = "\nTimer paused.\n";
const std::string resumed_line = "\nTimer resumed.\n";
const std::string farewell = "\nSIGINT caught, terminating safely.\n";
const std::string work_line = "Running Tavrin's program...\n";

std::string count_lines(int from, int to)
{
    std::string text;
    for (int n = from; n >= to; --n)
        text += "Countdown: " + std::to_string(n) + "\n";
    return text;
}

// The number of count lines before the first announcement in text.
int counted_before_pause(const std::string& text)
{
    size_t at = text.find(paused_line);
    int lines = 0;
    for (size_t i = 0; i < at && i < text.size(); ++i)
        lines += text[i] == '\n';
    return lines;
}

// Whether the pause was announced; if not, the failure says how the program
// ended: a program that hung and was killed shows no line at all through a
// pipe, its output still in its buffer, and the count before the pause says
// nothing then.
testing::AssertionResult paused(const Piped& run)
{
    if (run.out_text.find(paused_line) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no " << in_quotes(paused_line) << " came; how the program ended: "
                                       << describe(run.end);
}

void sleep_seconds(double seconds)
{
    usleep(static_cast<useconds_t>(seconds * 1e6));
}

// Starts pause_timer on pipes and waits until it catches SIGINT and SIGTSTP:
// sent before then, a signal would meet the default action.
bool start_countdown(Piped& run)
{
    start_piped(run, program("pause_timer"));
    return wait_caught(run.pid, {SIGINT, SIGTSTP}, 10);
}

// Sends each signal after its delay, in seconds, in turn.
void send_in_turn(pid_t pid, std::initializer_list<std::pair<double, int>> delays_and_signals)
{
    for (auto [delay, signal] : delays_and_signals) {
        sleep_seconds(delay);
        send_signal(pid, signal);
    }
}

// The process strace runs the program in: strace's child, once it has
// become the program (its name in /proc), at most timeout seconds; -1 if it
// did not.
pid_t traced_program(pid_t strace, const std::string& name, double timeout)
{
    double deadline = now_seconds() + timeout;
    do {
        DIR* proc = opendir("/proc");
        while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
            pid_t pid = atoi(entry->d_name);
            ProcessStat p = pid > 0 ? process_stat(pid) : ProcessStat();
            if (p.parent == strace && p.name == name.substr(0, 15)) {
                closedir(proc);
                return pid;
            }
        }
        if (proc != nullptr)
            closedir(proc);
        usleep(5000);
    } while (now_seconds() < deadline);
    return -1;
}

// Whether the program is stopped inside a write system call, as strace
// holds it: /proc/PID/syscall names the call a stopped process is in (where
// it cannot be read, the traced stop in /proc/PID/stat stands for it).
bool held_in_write(pid_t pid)
{
    std::string proc = "/proc/" + std::to_string(pid);
    std::string call = read_file(proc + "/syscall");
    if (!call.empty())
        return call.rfind(std::to_string(SYS_write) + " ", 0) == 0;
    return process_stat(pid).state == 't';
}

std::string signal_names(std::initializer_list<int> signals)
{
    std::string names;
    for (int sig : signals)
        names += std::string(names.empty() ? "" : " and ") + "SIG" + sigabbrev_np(sig);
    return names;
}

// strace's arguments that run the program with its writes traced into
// trace, the Nth of them held hold seconds as it returns (0: none held).
std::vector<std::string> strace_args(const std::string& name, const std::string& trace, int nth, double hold)
{
    // LeakSanitizer, in the address build, cannot run under strace.
    std::vector<std::string> args = {"-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", "trace=write"};
    if (nth > 0)
        args.insert(args.end(), {"-e", "inject=write:delay_exit=" + std::to_string(static_cast<int>(hold * 1e6)) +
                                           ":when=" + std::to_string(nth)});
    args.push_back(program(name.c_str()));
    return args;
}

// Which of the program's writes is its first to standard output, counting
// every write, the sanitizers' runtimes' own too: a first run under strace,
// up to that line, tells. 0 if it did not come.
int first_output_write(const std::string& name, const std::string& first_line, const std::string& trace)
{
    Terminal t;
    start_terminal(t, strace_path(), strace_args(name, trace, 0, 0));
    pid_t pid = traced_program(t.pid, name, 10);
    bool came = pid > 0 && wait_screen(t, first_line, 5) >= 0;
    if (pid > 0)
        kill(pid, SIGKILL);
    wait_end(t, 5);  // strace ends with the program, its trace written out
    std::string writes = "\n" + read_file(trace);
    size_t output = writes.find("\nwrite(1, ");
    if (!came || output == std::string::npos)
        return 0;
    int nth = 1;
    for (size_t at = writes.find("\nwrite("); at < output; at = writes.find("\nwrite(", at + 1))
        ++nth;
    return nth;
}

// Runs the program on a terminal under strace, which holds it for a second
// as its first write to standard output returns (delay_exit), and
// sends it the signals inside that hold: they come while the program is
// still in the printf that made the write, its bytes out and the printf not
// yet returned. That is where a handler let in at any time breaks into the
// program's own output (its printf finds the line just written still in the
// buffer, and writes it again), and where a signal let in before the wait,
// not by it, is handled before a sleep that then runs its full length.
// Returns the seconds after the start at which the signals were sent, or -1
// after a failure that says why they could not be sent so.
double signal_inside_first_write(Terminal& t, const std::string& name, const std::string& first_line,
                                 std::initializer_list<int> signals)
{
    // Long enough for a test on a busy machine to see the line and send
    // the signals while the program is still held.
    const double hold = 1;
    const std::string trace = "strace.txt";  // in the test's directory
    int nth = first_output_write(name, first_line, trace);
    if (nth == 0) {
        ADD_FAILURE() << name << " did not write " << in_quotes(first_line) << " under strace";
        return -1;
    }
    start_terminal(t, strace_path(), strace_args(name, trace, nth, hold));
    pid_t pid = traced_program(t.pid, name, 10);
    if (pid < 0) {
        ADD_FAILURE() << "strace did not start " << name;
        return -1;
    }
    if (!wait_caught(pid, signals, 10)) {
        ADD_FAILURE() << name << " did not install its handlers for " << signal_names(signals);
        return -1;
    }
    // The line on the screen: the write is done, and the program is held at
    // its return.
    if (wait_screen(t, first_line, 5) < 0) {
        ADD_FAILURE() << "the first line, " << in_quotes(first_line) << ", did not come";
        return -1;
    }
    for (double until = now_seconds() + hold / 2; !held_in_write(pid);) {
        if (now_seconds() > until) {
            ADD_FAILURE() << "the write of " << in_quotes(first_line) << " was not held";
            return -1;
        }
        usleep(1000);
    }
    for (int sig : signals)
        kill(pid, sig);
    double sent = now_seconds() - t.started;
    report_sent(signal_names(signals) + ", while the write of " + in_quotes(first_line) + " was held " +
                "(strace held the program a second as the write returned, inside its printf)");
    if (!held_in_write(pid)) {
        ADD_FAILURE() << "the signals were sent only after the held write had returned (the machine was too "
                         "slow to send them inside it): this run shows nothing";
        return -1;
    }
    return sent;
}

// The text of a C or C++ source with its comments, its preprocessor lines
// and the insides of its string and character literals blanked out: only
// code is left to search.
std::string code_of(const std::string& source)
{
    std::string code = source;
    enum { plain, line_comment, block_comment, quoted, directive } state = plain;
    char quote = 0;
    bool line_start = true;  // nothing but blanks so far on this line
    for (size_t i = 0; i < code.size(); ++i) {
        char c = code[i], next = i + 1 < code.size() ? code[i + 1] : '\0';
        bool was_line_start = line_start;
        line_start = c == '\n' || (line_start && (c == ' ' || c == '\t'));
        if (state == directive) {
            if (c == '\n' && (i == 0 || code[i - 1] != '\\'))
                state = plain;
            else if (c != '\n')
                code[i] = ' ';
        } else if (state == plain) {
            if (c == '#' && was_line_start) {
                state = directive;
                code[i] = ' ';
            } else if (c == '/' && (next == '/' || next == '*')) {
                state = next == '/' ? line_comment : block_comment;
                code[i] = code[i + 1] = ' ';
                ++i;
            } else if (c == '"' || (c == '\'' && !(i > 0 && isalnum(static_cast<unsigned char>(code[i - 1]))))) {
                state = quoted;  // not a digit separator (1'000)
                quote = c;
            }
        } else if (state == line_comment) {
            if (c == '\n')
                state = plain;
            else
                code[i] = ' ';
        } else if (state == block_comment) {
            if (c == '*' && next == '/') {
                code[i] = code[i + 1] = ' ';
                ++i;
                state = plain;
            } else if (c != '\n') {
                code[i] = ' ';
            }
        } else if (c == quote) {
            state = plain;
        } else if (c != '\n') {
            if (c == '\\' && next != '\n' && next != '\0')
                code[++i] = ' ';
            code[i] = ' ';
        }
    }
    return code;
}

// The functions code installs as signal handlers: given to a sigaction as
// its sa_handler or sa_sigaction, or to signal().
std::set<std::string> handlers_in(const std::string& code)
{
    static const std::regex installed(
        R"((?:sa_handler|sa_sigaction)\s*=\s*&?\s*(\w+)|\bsignal\s*\(\s*[\w:]+\s*,\s*&?\s*(\w+)\s*\))");
    std::set<std::string> names;
    for (std::sregex_iterator it(code.begin(), code.end(), installed), end; it != end; ++it) {
        std::string name = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
        if (name != "SIG_DFL" && name != "SIG_IGN" && name != "nullptr" && name != "NULL")
            names.insert(name);
    }
    return names;
}

// The body of the function name, as code defines it, or "".
std::string body_of(const std::string& code, const std::string& name)
{
    std::smatch definition;
    if (!std::regex_search(code, definition, std::regex("\\b" + name + R"(\s*\([^;{}]*\)\s*(?:noexcept\s*)?\{)")))
        return "";
    size_t open = definition.position(0) + definition.length(0) - 1;
    int depth = 0;
    for (size_t i = open; i < code.size(); ++i) {
        depth += code[i] == '{' ? 1 : code[i] == '}' ? -1 : 0;
        if (depth == 0)
            return code.substr(open, i + 1 - open);
    }
    return "";
}

// The names a piece of code assigns to (=, +=...), or steps (++, --).
std::set<std::string> written_in(const std::string& code)
{
    static const std::regex written(
        R"(\b([A-Za-z_]\w*)\s*(?:\[[^\]]*\]\s*)?(?:[-+*/%&|^]|<<|>>)?=(?!=)|(?:\+\+|--)\s*([A-Za-z_]\w*)|\b([A-Za-z_]\w*)\s*(?:\+\+|--))");
    std::set<std::string> names;
    for (std::sregex_iterator it(code.begin(), code.end(), written), end; it != end; ++it)
        for (int group = 1; group <= 3; ++group)
            if ((*it)[group].matched)
                names.insert((*it)[group].str());
    return names;
}

// The declaration of name at file scope (a namespace's counts as such), as
// written, or "" when there is none (a handler's own local, a member).
std::string file_scope_declaration(const std::string& code, const std::string& name)
{
    static const std::regex scope_block(R"(^\s*(?:(?:inline\s+)?namespace\b.*|extern\s*"\s*"\s*)$)");
    const std::regex declared("\\b" + name + "\\b");
    std::vector<bool> blocks;  // the braces open, true for a namespace's or an extern "C"'s
    size_t start = 0;
    for (size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        if (c != ';' && c != '{' && c != '}')
            continue;
        std::string statement = code.substr(start, i - start);
        start = i + 1;
        bool at_file_scope = std::count(blocks.begin(), blocks.end(), false) == 0;
        if (c == '{')
            blocks.push_back(std::regex_match(statement, scope_block));
        else if (c == '}' && !blocks.empty())
            blocks.pop_back();
        std::smatch found;
        if (!at_file_scope || !std::regex_search(statement, found, declared))
            continue;
        // Not a parameter of a function declared here: outside any parenthesis.
        std::string before = found.prefix().str();
        if (std::count(before.begin(), before.end(), '(') != std::count(before.begin(), before.end(), ')'))
            continue;
        size_t first = statement.find_first_not_of(" \t\n");
        size_t last = statement.find_last_not_of(" \t\n");
        return statement.substr(first, last + 1 - first);
    }
    return "";
}

// Whether a declaration makes its variable one a handler may write and the
// program read: volatile sig_atomic_t, or a lock-free atomic (std::atomic<T>
// of a plain integer or bool, std::atomic_flag), which C++ allows too.
bool safe_for_a_handler(const std::string& declaration)
{
    static const std::regex sig_atomic(R"(\bvolatile\b.*\b(?:std::)?sig_atomic_t\b|\b(?:std::)?sig_atomic_t\b.*\bvolatile\b)");
    static const std::regex atomic(R"(\bstd::atomic(?:_flag\b|_\w+\b|\s*<))");
    return std::regex_search(declaration, sig_atomic) || std::regex_search(declaration, atomic);
}

// Every variable of file scope that a handler of the program writes is
// declared volatile sig_atomic_t. Without it the compiler may keep the
// variable in a register across a loop, or make one write of two, and the
// program never see the handler's change: a fault no run of the program
// shows, only its source. The sources are the program's, or the learner's
// copy in an exercise build.
void expect_handlers_share_safe_flags(const std::vector<std::string>& sources)
{
    std::vector<std::string> codes;
    for (const std::string& source : sources) {
        std::string text = read_file(source);
        ASSERT_FALSE(text.empty()) << "cannot read the program's source " << source;
        codes.push_back(code_of(text));
    }
    int handlers = 0;
    for (size_t s = 0; s < codes.size(); ++s)
        for (const std::string& handler : handlers_in(codes[s])) {
            std::string body;
            for (size_t d = 0; d < codes.size() && body.empty(); ++d)
                body = body_of(codes[d], handler);
            if (body.empty())
                continue;
            ++handlers;
            for (const std::string& name : written_in(body))
                for (size_t d = 0; d < codes.size(); ++d) {
                    std::string declaration = file_scope_declaration(codes[d], name);
                    if (declaration.empty())
                        continue;
                    std::string file = sources[d].substr(sources[d].rfind('/') + 1);
                    if (!safe_for_a_handler(declaration))
                        ADD_FAILURE() << name << ", which the handler " << handler << " writes, is declared \""
                                      << declaration << "\" (" << file << ")\n"
                                      << "A variable a handler shares with the program must be volatile "
                                         "sig_atomic_t: otherwise the compiler may keep it in a register, and the "
                                         "program never see the handler's change.";
                    break;
                }
        }
    EXPECT_GT(handlers, 0) << "no signal handler found in the program's source (a function given to sigaction as "
                              "its sa_handler, or to signal())";
}

TEST_F(Signals, CountdownWithoutSignals)
{
    Piped run;
    double started = now_seconds();
    run_piped(run, program("pause_timer"), "", 60);
    double took = now_seconds() - started;
    EXPECT_EQ(run.out_text, count_lines(10, 1) + "Countdown complete.\n");
    expect_exit(run.end, 0);
    EXPECT_GE(took, 9.5);
    EXPECT_LE(took, 30);
}

// A pause after the third count line and a resume some seconds later: the
// announcements stand in their places in buffered output, and the count
// goes on where it stopped.
TEST_F(Signals, CountdownPausedAndResumedThroughAPipe)
{
    Piped run;
    ASSERT_TRUE(start_countdown(run));
    send_in_turn(run.pid, {{2.5, SIGINT}, {3, SIGTSTP}});  // count lines at about 0, 1 and 2 seconds first
    finish(run, 30);
    ASSERT_TRUE(paused(run));
    int before = counted_before_pause(run.out_text);
    EXPECT_GE(before, 2) << "lines before the pause; SIGINT came after about 2.5 s";
    EXPECT_LE(before, 4) << "lines before the pause; SIGINT came after about 2.5 s";
    EXPECT_EQ(run.out_text, count_lines(10, 11 - before) + paused_line + resumed_line +
                                count_lines(10 - before, 1) + "Countdown complete.\n");
    expect_exit(run.end, 0);
}

TEST_F(Signals, CountdownPausedTwiceAnnouncesTwice)
{
    Piped run;
    ASSERT_TRUE(start_countdown(run));
    send_in_turn(run.pid, {{1.5, SIGINT}, {1.5, SIGINT}, {1.5, SIGTSTP}});
    finish(run, 30);
    ASSERT_TRUE(paused(run));
    int before = counted_before_pause(run.out_text);
    EXPECT_EQ(run.out_text, count_lines(10, 11 - before) + paused_line + paused_line +
                                resumed_line + count_lines(10 - before, 1) +
                                "Countdown complete.\n");
    expect_exit(run.end, 0);
}

TEST_F(Signals, CountdownOnATerminalWithTheKeys)
{
    Terminal t;
    start_terminal(t, program("pause_timer"));
    double at10 = wait_screen(t, "Countdown: 10\n", 5);
    double at9 = wait_screen(t, "Countdown: 9\n", 3);
    double at8 = wait_screen(t, "Countdown: 8\n", 3);
    ASSERT_GE(at8, 0) << in_quotes(t.screen);
    EXPECT_NEAR(at9 - at10, 1, 0.5);
    EXPECT_NEAR(at8 - at9, 1, 0.5);

    sleep_seconds(0.3);
    double pressed = now_seconds() - t.started;
    type(t, "\x03");  // ^C
    double announced = wait_screen(t, "Timer paused.\n", 3);
    ASSERT_GE(announced, 0) << in_quotes(t.screen);
    EXPECT_LT(announced - pressed, 0.8);  // well inside the one-second tick

    size_t paused_at = t.screen.size();
    sleep_seconds(2.5);
    EXPECT_LT(wait_screen(t, "Countdown", 0.1, paused_at), 0) << "counted while paused: " << in_quotes(t.screen);

    pressed = now_seconds() - t.started;
    type(t, "\x1a");  // ^Z
    double resumed = wait_screen(t, "Timer resumed.\n", 3, paused_at);
    double next = wait_screen(t, "Countdown: 7\n", 3, paused_at);
    ASSERT_GE(next, 0) << in_quotes(t.screen);
    EXPECT_LT(resumed - pressed, 0.8);
    EXPECT_LT(next - pressed, 0.8);  // at once, not a tick later

    EXPECT_GE(wait_screen(t, "Countdown complete.\n", 20), 0) << in_quotes(t.screen);
    wait_end(t, 10);
    expect_exit(t.end, 0);
}

TEST_F(Signals, CountdownStorm)
{
    Piped run;
    ASSERT_TRUE(start_countdown(run));
    // As fast as they can be sent, reading the output meanwhile: first
    // pauses alone for two seconds, which keeps the program paused and
    // announcing, then pauses and resumes alternating for one second, which
    // lets the count run out.
    int sent = 0;
    for (double until = now_seconds() + 2; now_seconds() < until || sent < 2000; ++sent) {
        send_signal(run.pid, SIGINT);
        if (sent % 200 == 0)
            read_output(run, 0);
    }
    for (double until = now_seconds() + 1; now_seconds() < until || sent < 4000; sent += 2) {
        send_signal(run.pid, SIGINT);
        send_signal(run.pid, SIGTSTP);
        if (sent % 200 == 0)
            read_output(run, 0);
    }
    send_signal(run.pid, SIGTSTP);  // running at the end, so the count finishes
    finish(run, 30);
    expect_exit(run.end, 0);
    ASSERT_FALSE(run.out_text.empty());
    ASSERT_EQ(run.out_text.back(), '\n');

    // Every line is one of the program's own; the count lines, taken alone,
    // are 10 down to 1 once each, and the closing line comes last.
    std::string counts;
    size_t start = 0;
    while (start < run.out_text.size()) {
        size_t end = run.out_text.find('\n', start);
        std::string line = run.out_text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("Countdown: ", 0) == 0)
            counts += line + "\n";
        else if (line != "" && line != "Timer paused." && line != "Timer resumed." &&
                 line != "Countdown complete.")
            ADD_FAILURE() << "a line not of the program's own: " << in_quotes(line);
    }
    EXPECT_EQ(counts, count_lines(10, 1));
    const std::string closing = "Countdown complete.\n";
    EXPECT_EQ(run.out_text.find(closing), run.out_text.size() - closing.size());
}

TEST_F(Signals, LoopEndsOnInterruptWithEveryLine)
{
    Piped run;
    start_piped(run, program("sigint_loop"));
    ASSERT_TRUE(wait_caught(run.pid, {SIGINT}, 10));
    sleep_seconds(3);  // work lines at about 0 and 2 seconds
    double sent = now_seconds();
    send_signal(run.pid, SIGINT);
    finish(run, 5);
    EXPECT_LT(now_seconds() - sent, 1.0);  // the rest of the wait is not waited for
    EXPECT_EQ(run.out_text, work_line + work_line + farewell);
    EXPECT_EQ(run.err_text, "");
    expect_exit(run.end, 0);

    start_piped(run, program("sigint_loop"));
    sleep_seconds(1);
    send_signal(run.pid, SIGTERM);
    finish(run, 5);
    expect_killed(run.end, SIGTERM);
    EXPECT_EQ(run.out_text.find("SIGINT caught"), std::string::npos);
}

TEST_F(Signals, LoopOnATerminalEndsAtOnceOnCtrlC)
{
    Terminal t;
    start_terminal(t, program("sigint_loop"));
    size_t at = 0;
    double first = wait_screen(t, work_line, 5, at, &at);
    double second = wait_screen(t, work_line, 5, at, &at);
    ASSERT_GE(second, 0) << in_quotes(t.screen);
    EXPECT_NEAR(second - first, 2, 0.6);
    sleep_seconds(0.5);
    double pressed = now_seconds() - t.started;
    type(t, "\x03");
    double farewell_at = wait_screen(t, farewell, 3, at);
    ASSERT_GE(farewell_at, 0) << in_quotes(t.screen);
    EXPECT_LT(farewell_at - pressed, 1.0);  // not at the end of the two-second wait
    wait_end(t, 5);
    expect_exit(t.end, 0);
}

TEST_F(Signals, ToggleOnATerminal)
{
    Terminal t;
    start_terminal(t, program("sigusr_toggle"));
    size_t at = 0;
    double first = wait_screen(t, "Working...\n", 5, at, &at);
    double second = wait_screen(t, "Working...\n", 5, at, &at);
    ASSERT_GE(second, 0) << in_quotes(t.screen);
    EXPECT_LT(first, 2);
    EXPECT_NEAR(second - first, 3, 0.6);

    // Each SIGUSR1 brings the line of the new state at once. Sending the next
    // one as soon as a line shows often lands before the program has begun
    // its wait: that wake-up must not be lost either.
    for (int flip = 1; flip <= 12; ++flip) {
        SCOPED_TRACE(flip);
        double sent = now_seconds() - t.started;
        send_signal(t.pid, SIGUSR1);
        const char* expected = flip % 2 ? "paused by SIGUSR1\n" : "Working...\n";
        double shown = wait_screen(t, expected, 3, at, &at);
        ASSERT_GE(shown, 0) << in_quotes(t.screen);
        EXPECT_LT(shown - sent, 1.5);  // not at the end of the three-second wait
    }
    // Twelve flips: working again, every three seconds.
    double next = wait_screen(t, "Working...\n", 5, at, &at);
    EXPECT_GE(next, 0) << in_quotes(t.screen);
    send_signal(t.pid, SIGTERM);
    wait_end(t, 10);
    expect_killed(t.end, SIGTERM);
}

TEST_F(Signals, ToggleStorm)
{
    Terminal t;
    start_terminal(t, program("sigusr_toggle"));
    ASSERT_GE(wait_screen(t, "Working...\n", 5), 0);
    double until = now_seconds() + 2;
    for (int sent = 0; now_seconds() < until || sent < 2000; ++sent) {
        send_signal(t.pid, SIGUSR1);
        if (sent % 500 == 0)
            read_output(t, 0.01);  // keep the terminal drained
    }
    // Still alive and still answering: one more flip shows at once.
    read_output(t, 0.5);
    size_t at = t.screen.size();
    send_signal(t.pid, SIGUSR1);
    EXPECT_GE(wait_screen(t, "\n", 2, at), 0) << "no answer after the storm";
    read_output(t, 0.2);

    size_t start = 0;
    while (start < t.screen.size()) {
        size_t end = t.screen.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unfinished line at the end";
        std::string line = t.screen.substr(start, end - start);
        EXPECT_TRUE(line == "Working..." || line == "paused by SIGUSR1") << "'" << line << "'";
        start = end + 1;
    }
    send_signal(t.pid, SIGTERM);
    wait_end(t, 10);
    expect_killed(t.end, SIGTERM);
}

// The signals handled only inside the wait, never inside a printf of the
// loop: SIGINT and SIGTSTP that come while a count line is being written
// wait, pending, for the wait, which they end at once. Each announcement is
// whole, the line before it written once, the pause handled before the
// resume, and the next count comes at once, not a tick later.
TEST_F(Signals, CountdownSignalsInsideAWriteWaitForTheWait)
{
    if (strace_path().empty())
        GTEST_SKIP() << "strace is not installed (scripts/setup.sh test installs it)";
    Terminal t;
    ASSERT_GE(signal_inside_first_write(t, "pause_timer", "Countdown: 10\n", {SIGINT, SIGTSTP}), 0);
    size_t at = 0;
    double resumed = wait_screen(t, resumed_line, 3, 0, &at);
    double next = wait_screen(t, "Countdown: 9\n", 3, at, &at);
    ASSERT_GE(next, 0) << in_quotes(t.screen);
    EXPECT_EQ(t.screen.substr(0, at), "Countdown: 10\n" + paused_line + resumed_line + "Countdown: 9\n");
    EXPECT_LT(next - resumed, 0.5) << "the next count after the resume, in seconds: at once, not after a tick";
}

// Started by a parent that had blocked SIGINT, SIGTSTP and SIGTERM: the wait
// still lets the program's own two in, and only those.
TEST_F(Signals, CountdownStartedWithItsSignalsBlocked)
{
    Terminal t;
    start_terminal(t, program("pause_timer"), {}, {SIGINT, SIGTSTP, SIGTERM});
    ASSERT_TRUE(wait_caught(t.pid, {SIGINT, SIGTSTP}, 10));
    size_t at = 0;
    ASSERT_GE(wait_screen(t, "Countdown: 10\n", 5, 0, &at), 0) << in_quotes(t.screen);
    send_signal(t.pid, SIGTERM);  // blocked by the parent: it waits, pending
    send_signal(t.pid, SIGINT);
    ASSERT_GE(wait_screen(t, paused_line, 2, at, &at), 0) << "SIGINT was never let in";
    send_signal(t.pid, SIGTSTP);
    ASSERT_GE(wait_screen(t, resumed_line + "Countdown: 9\n", 2, at, &at), 0) << "SIGTSTP was never let in";
    EXPECT_FALSE(terminal_reap(t, false)) << "the program ended (" << describe_status(t.status)
                                          << "): the wait let in a signal the parent had blocked";
}

TEST_F(Signals, CountdownHandlersShareOnlyVolatileSigAtomicFlags)
{
    expect_handlers_share_safe_flags({SOURCES_pause_timer});
}

// SIGINT that comes while a work line is being written ends the program
// as soon as the write is over: the farewell whole, after the line, which
// is written once, and no two-second sleep waited out first.
TEST_F(Signals, LoopInterruptedInsideAWriteEndsAtOnceAfterTheLine)
{
    if (strace_path().empty())
        GTEST_SKIP() << "strace is not installed (scripts/setup.sh test installs it)";
    Terminal t;
    double sent = signal_inside_first_write(t, "sigint_loop", work_line, {SIGINT});
    ASSERT_GE(sent, 0);
    double farewell_at = wait_screen(t, farewell, 4);
    ASSERT_GE(farewell_at, 0) << in_quotes(t.screen);
    EXPECT_EQ(t.screen, work_line + farewell);
    EXPECT_LT(farewell_at - sent, 1.75) << "seconds from SIGINT to the farewell: at the end of the one-second "
                                           "hold, not after the two-second sleep";
    wait_end(t, 3);
    expect_exit(t.end, 0);
}

// Started by a parent that had blocked SIGINT and SIGTERM: SIGINT is still
// let in by the wait, and SIGTERM stays blocked.
TEST_F(Signals, LoopStartedWithItsSignalBlocked)
{
    Piped run;
    start_piped(run, program("sigint_loop"), {}, {}, {SIGINT, SIGTERM});
    ASSERT_TRUE(wait_caught(run.pid, {SIGINT}, 10));
    sleep_seconds(0.5);  // a work line at about 0 seconds
    send_signal(run.pid, SIGTERM);
    send_signal(run.pid, SIGINT);
    finish(run, 3);
    EXPECT_EQ(run.out_text, work_line + farewell);
    expect_exit(run.end, 0);
}

TEST_F(Signals, LoopHandlerSharesOnlyVolatileSigAtomicFlags)
{
    expect_handlers_share_safe_flags({SOURCES_sigint_loop});
}

// SIGUSR1 that comes while a line is being written flips the state as soon
// as the write is over, not after the three-second sleep.
TEST_F(Signals, ToggleSignalInsideAWriteFlipsAtOnce)
{
    if (strace_path().empty())
        GTEST_SKIP() << "strace is not installed (scripts/setup.sh test installs it)";
    Terminal t;
    double sent = signal_inside_first_write(t, "sigusr_toggle", "Working...\n", {SIGUSR1});
    ASSERT_GE(sent, 0);
    double shown = wait_screen(t, "paused by SIGUSR1\n", 5);
    ASSERT_GE(shown, 0) << in_quotes(t.screen);
    EXPECT_EQ(t.screen, "Working...\npaused by SIGUSR1\n");
    EXPECT_LT(shown - sent, 2) << "seconds from SIGUSR1 to the new state's line: at the end of the one-second "
                                  "hold, not after the three-second sleep";
}

// Started by a parent that had blocked SIGUSR1 and SIGTERM: SIGUSR1 is
// still let in by the wait, and SIGTERM stays blocked.
TEST_F(Signals, ToggleStartedWithItsSignalBlocked)
{
    Terminal t;
    start_terminal(t, program("sigusr_toggle"), {}, {SIGUSR1, SIGTERM});
    ASSERT_TRUE(wait_caught(t.pid, {SIGUSR1}, 10));
    size_t at = 0;
    ASSERT_GE(wait_screen(t, "Working...\n", 5, 0, &at), 0) << in_quotes(t.screen);
    send_signal(t.pid, SIGTERM);  // blocked by the parent: it waits, pending
    send_signal(t.pid, SIGUSR1);
    ASSERT_GE(wait_screen(t, "paused by SIGUSR1\n", 2, at, &at), 0) << "SIGUSR1 was never let in";
    send_signal(t.pid, SIGUSR1);
    ASSERT_GE(wait_screen(t, "Working...\n", 2, at, &at), 0) << "the second SIGUSR1 was never let in";
    EXPECT_FALSE(terminal_reap(t, false)) << "the program ended (" << describe_status(t.status)
                                          << "): the wait let in a signal the parent had blocked";
}

TEST_F(Signals, ToggleHandlerSharesOnlyVolatileSigAtomicFlags)
{
    expect_handlers_share_safe_flags({SOURCES_sigusr_toggle});
}

}  // namespace
