// The report of a test's first failure (tests/report.cpp): what the test did
// to the latest program it started and what came from it, in order, how the
// program ended and the check that failed.
//
// The check comes from what the check itself tells the report as it fails,
// not from the words of gtest's message: gtest's checks (EXPECT_EQ,
// ASSERT_TRUE, SCOPED_TRACE...) are defined again here, each doing what
// gtest's does and handing the report, on a failure, its facts: the values
// expected and come (the bytes of a text), the expressions, the relation or
// condition, the test's own words and the case it was at. gtest's output
// stays as it was. (A failure that is no check, an exception say, is shown
// by the first line of its message.)
#pragma once

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <type_traits>
#include <vector>

// The harness reports what goes through its handles; a test reports its own
// actions with report_sent. take_output reads what the program has written
// so far, without waiting.
void report_run(const void* handle, pid_t pid, const std::string& label, void (*take_output)(const void*),
                const std::string* out, const std::string* err, bool terminal);
void report_event(const void* handle, const std::string& kind, const std::string& text, bool as_bytes);
void report_signal(pid_t pid, int signal);
void report_sent(const std::string& what);  // "a client wrote \"bob\"", say
// A setting of the test's that shapes the run: "the I/O shim let each write
// take 300 bytes at most", say.
void report_setting(const std::string& what);
void report_gone(const void* handle);       // the handle's output is no longer there to read
// The exchange itself, to be run again (scripts/exercise.sh trace runs it
// with the learner's copy and with the real program): recorded only when
// HARNESS_EXCHANGE names a folder. At the test's first failure that folder
// gets exchange.json, for the program the report is about: its path,
// arguments, added environment and blocked signals, pipes or a terminal,
// its working directory and the files there as it started (copied into
// files-N beside), and each step the test took, in order, with the seconds
// since the start: what it sent or typed, the signals, the waits for text
// or for the handlers, the pauses, the close of input and the wait for the
// end.
void report_start(const void* handle, const std::string& path, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::vector<int>& blocked);
void report_step(const void* handle, const std::string& kind, const std::string& text, double seconds = 0);
void report_caught(pid_t pid, const std::vector<int>& signals);
// The test has a /tmp of its own (enter_private_tmp): its exchange holds a
// FIFO there, which a run again would look for in the real /tmp.
void report_private_tmp();
// Bytes as C would write them, in quotes, cut down in the middle when long.
std::string in_quotes(const std::string& bytes);
// How a program ended, from its wait status: "exit status 1", "ended by
// signal SIGSEGV"; a signal that a resource bound or a refused system call
// sends says so.
std::string describe_ending(int wait_status);

namespace report {

// A check, as it tells the report of itself when it fails.
struct Check {
    enum Kind { passed, equality, comparison, condition, other } kind = passed;
    std::string came_expression, expected_expression;  // as the test wrote them
    std::string relation;                              // a comparison's: "<", "!="...
    std::string came, expected;                        // the values, as gtest prints them
    std::optional<std::string> came_bytes, expected_bytes;  // the bytes, of a text
    bool wanted = true;   // the value a condition was expected to have
    std::string message;  // gtest's account of the failure, which its printer shows
    explicit operator bool() const { return kind != passed; }
};

// The bytes of a value that is a text: a string, or a C string compared
// with a string (as gtest, which prints other C strings as pointers).
template <typename T> constexpr bool is_string = std::is_convertible_v<const T&, std::string_view> &&
                                                 !std::is_pointer_v<T> && !std::is_array_v<T>;
template <typename T, typename Other> std::optional<std::string> text_of(const T& value)
{
    if constexpr (is_string<T>)
        return std::string(std::string_view(value));
    else if constexpr (std::is_convertible_v<const T&, const char*> && is_string<Other>) {
        const char* chars = value;
        return chars == nullptr ? std::nullopt : std::optional<std::string>(chars);
    } else
        return std::nullopt;
}

// The value of one side of a check, as gtest prints it when the other side
// is other.
template <typename T, typename Other> std::string shown(const T& value, const Other& other)
{
    return testing::internal::FormatForComparisonFailureMessage(value, other);
}

// came == expected, as the tests write their equalities; gtest's own
// helper compares.
template <typename A, typename B>
Check equality(const char* came_expression, const char* expected_expression, const A& came, const B& expected)
{
    testing::AssertionResult result =
        testing::internal::EqHelper::Compare(came_expression, expected_expression, came, expected);
    if (result)
        return {};
    return {Check::equality, came_expression, expected_expression, "", shown(came, expected),
            shown(expected, came), text_of<A, B>(came), text_of<B, A>(expected), true, result.message()};
}

// came RELATION other, compared by gtest's helper for that relation.
template <typename A, typename B, typename Helper>
Check comparison(const char* relation, const char* came_expression, const char* other_expression, const A& came,
                 const B& other, Helper helper)
{
    testing::AssertionResult result = helper(came_expression, other_expression, came, other);
    if (result)
        return {};
    return {Check::comparison, came_expression, other_expression, relation, shown(came, other), shown(other, came),
            std::nullopt, std::nullopt, true, result.message()};
}

Check condition(const char* expression, const testing::AssertionResult& result, bool wanted);
// A failure the test declares (ADD_FAILURE, FAIL), or a check whose account
// is gtest's alone (EXPECT_NEAR).
Check other(const testing::AssertionResult& result);

// Hands the report the failed check and the test's words, then gtest the
// failure, as its own checks would.
class Failure {
public:
    Failure(const Check& check, bool fatal, const char* file, int line)
        : check(check), fatal(fatal), file(file), line(line)
    {
    }
    void operator=(const testing::Message& words) const;

private:
    const Check& check;
    bool fatal;
    const char* file;
    int line;
};

// The case a test is at (SCOPED_TRACE), for gtest and for the report.
class Case {
public:
    template <typename T>
    Case(const char* file, int line, const T& what) : text((testing::Message() << what).GetString()), trace(file, line, text)
    {
        enter();
    }
    ~Case() { leave(); }
    Case(const Case&) = delete;
    Case& operator=(const Case&) = delete;

private:
    void enter();
    void leave();
    std::string text;
    testing::ScopedTrace trace;
};

}  // namespace report

// The checks. Each expands its arguments before it quotes them, as gtest's
// do, so that a failure reads the same in gtest's words. (A loop that runs
// once on a failure, not an if: a check stands alone after an if of the
// test's, with or without an else.)
#define HARNESS_CHECK_(check, on_failure, fatal)                                                  \
    for (::report::Check harness_check_ = (check); harness_check_; harness_check_ = {})         \
    on_failure ::report::Failure(harness_check_, fatal, __FILE__, __LINE__) = ::testing::Message()
#define HARNESS_EXPECT_(check) HARNESS_CHECK_(check, , false)
#define HARNESS_ASSERT_(check) HARNESS_CHECK_(check, return, true)

#define HARNESS_EQUALITY_(came, expected) ::report::equality(#came, #expected, came, expected)
#define HARNESS_COMPARISON_(relation, helper, came, other)                                      \
    ::report::comparison(relation, #came, #other, came, other,                                    \
                         [](const char* a, const char* b, const auto& x, const auto& y) {         \
                             return ::testing::internal::helper(a, b, x, y);                      \
                         })
#define HARNESS_CONDITION_(value, text, wanted) \
    ::report::condition(text, ::testing::AssertionResult(value), wanted)
#define HARNESS_TRUE_(condition) HARNESS_CONDITION_(condition, #condition, true)
#define HARNESS_FALSE_(condition) HARNESS_CONDITION_(!(condition), #condition, false)
#define HARNESS_NEAR_(a, b, error) \
    ::report::other(::testing::internal::DoubleNearPredFormat(#a, #b, #error, a, b, error))

// Under cppcheck (-D__CPPCHECK__ --library=googletest) the checks stay
// gtest's, as that library describes them: so it follows a failed ASSERT's
// return, and finds what is left open on the way.
#ifndef __CPPCHECK__
#undef EXPECT_EQ
#undef EXPECT_NE
#undef EXPECT_LT
#undef EXPECT_LE
#undef EXPECT_GT
#undef EXPECT_GE
#undef EXPECT_TRUE
#undef EXPECT_FALSE
#undef EXPECT_NEAR
#undef ASSERT_EQ
#undef ASSERT_NE
#undef ASSERT_LT
#undef ASSERT_LE
#undef ASSERT_GT
#undef ASSERT_GE
#undef ASSERT_TRUE
#undef ASSERT_FALSE
#undef ASSERT_NEAR
#undef ADD_FAILURE
#undef FAIL
#undef SCOPED_TRACE

#define EXPECT_EQ(came, expected) HARNESS_EXPECT_(HARNESS_EQUALITY_(came, expected))
#define EXPECT_NE(came, other) HARNESS_EXPECT_(HARNESS_COMPARISON_("!=", CmpHelperNE, came, other))
#define EXPECT_LT(came, other) HARNESS_EXPECT_(HARNESS_COMPARISON_("<", CmpHelperLT, came, other))
#define EXPECT_LE(came, other) HARNESS_EXPECT_(HARNESS_COMPARISON_("<=", CmpHelperLE, came, other))
#define EXPECT_GT(came, other) HARNESS_EXPECT_(HARNESS_COMPARISON_(">", CmpHelperGT, came, other))
#define EXPECT_GE(came, other) HARNESS_EXPECT_(HARNESS_COMPARISON_(">=", CmpHelperGE, came, other))
#define EXPECT_TRUE(condition) HARNESS_EXPECT_(HARNESS_TRUE_(condition))
#define EXPECT_FALSE(condition) HARNESS_EXPECT_(HARNESS_FALSE_(condition))
#define EXPECT_NEAR(a, b, error) HARNESS_EXPECT_(HARNESS_NEAR_(a, b, error))
#define ASSERT_EQ(came, expected) HARNESS_ASSERT_(HARNESS_EQUALITY_(came, expected))
#define ASSERT_NE(came, other) HARNESS_ASSERT_(HARNESS_COMPARISON_("!=", CmpHelperNE, came, other))
#define ASSERT_LT(came, other) HARNESS_ASSERT_(HARNESS_COMPARISON_("<", CmpHelperLT, came, other))
#define ASSERT_LE(came, other) HARNESS_ASSERT_(HARNESS_COMPARISON_("<=", CmpHelperLE, came, other))
#define ASSERT_GT(came, other) HARNESS_ASSERT_(HARNESS_COMPARISON_(">", CmpHelperGT, came, other))
#define ASSERT_GE(came, other) HARNESS_ASSERT_(HARNESS_COMPARISON_(">=", CmpHelperGE, came, other))
#define ASSERT_TRUE(condition) HARNESS_ASSERT_(HARNESS_TRUE_(condition))
#define ASSERT_FALSE(condition) HARNESS_ASSERT_(HARNESS_FALSE_(condition))
#define ASSERT_NEAR(a, b, error) HARNESS_ASSERT_(HARNESS_NEAR_(a, b, error))
#define ADD_FAILURE() HARNESS_EXPECT_(::report::other(::testing::AssertionFailure() << "Failed"))
#define FAIL() HARNESS_ASSERT_(::report::other(::testing::AssertionFailure() << "Failed"))
#define SCOPED_TRACE(what) const ::report::Case GTEST_CONCAT_TOKEN_(harness_case_, __LINE__)(__FILE__, __LINE__, (what))
#endif
