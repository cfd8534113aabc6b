// records, driven byte-exact through a pipe, and on a terminal.
#include "harness.h"

#include <random>
#include <stdexcept>

namespace {

const std::string menu =
    "\nMORV Management System\n1. Add Student\n2. Display All Students\n"
    "3. Search Student by ID\n4. Exit\nEnter your choice: ";
const std::string invalid_choice = "Invalid choice. Please try again.\n";
const std::string exited = "Exited.\n";
const std::string rule = "--------------------------\n";
const std::string search_prompt = "Enter Student ID to search: ";
const std::string added = "Enter student ID: Enter student name: Student added.\n";
const std::string bad_id = "Not added: the ID must be a whole number from -2147483648 to 2147483647.\n";
const std::string bad_search_id = "Invalid ID: enter a whole number from -2147483648 to 2147483647.\n";

// A run takes milliseconds, on a loaded machine too: one still going after
// this many seconds loops for ever, in a search that never moves on, say.
constexpr double patience = 3;

class Records : public TempDirTest {
protected:
    // Runs records on input; expects status 0 and nothing on standard error.
    std::string session(const std::string& input) { return run(program("records"), input, {}); }

    // Runs path with args on input, as session does. A run that had to be
    // killed ends the test there (gtest reports the exception as one more
    // failure): its later runs would most likely loop as well, each for the
    // whole wait, and the verdict would come late.
    std::string run(const std::string& path, const std::string& input, const std::vector<std::string>& args)
    {
        Piped piped;
        run_piped(piped, path, input, patience, {}, args);
        expect_exit(piped.end, 0);
        EXPECT_EQ(piped.err_text, "");
        if (piped.end.timed_out)
            throw std::runtime_error("killed after " + std::to_string(int(patience)) + " s: the test ends here");
        return piped.out_text;
    }
};

std::string found(int id, const std::string& name)
{
    return "Student found - ID: " + std::to_string(id) + ", Name: " + name + "\n";
}

std::string row(int id, const std::string& name)
{
    return "ID: " + std::to_string(id) + "\t| Name: " + name + "\n";
}

std::string listing(const std::vector<std::string>& rows)
{
    std::string text = "\nList of Students:\n" + rule;
    for (const std::string& r : rows)
        text += r;
    return text + rule;
}

TEST_F(Records, MenuChoicesOnAnEmptyTable)
{
    EXPECT_EQ(session("4\n"), menu + exited);
    EXPECT_EQ(session("0\n5\n-1\n4\n"),
              menu + invalid_choice + menu + invalid_choice + menu + invalid_choice + menu + exited);
    EXPECT_EQ(session("2\n3\n7\n4\n"), menu + "No students to display.\n" + menu + search_prompt +
                                           "Student with ID 7 not found.\n" + menu + exited);
}

TEST_F(Records, AddsListsAndFinds)
{
    EXPECT_EQ(session("1\n42\nAda Lovelace\n2\n4\n"),
              menu + added + menu + listing({row(42, "Ada Lovelace")}) + menu + exited);

    std::string input = "1\n30\n  Grace  Hopper \n1 -7\nAlan\n1\n+12\nEdsger W. Dijkstra\n2\n"
                        "3\n-7\n3\n12\n3\n99\n3 30\n4\n";
    std::string expected = menu + added + menu + added + menu + added + menu +
                           listing({row(30, "  Grace  Hopper "), row(-7, "Alan"),
                                    row(12, "Edsger W. Dijkstra")}) +
                           menu + search_prompt + "Student found - ID: -7, Name: Alan\n" +
                           menu + search_prompt + "Student found - ID: 12, Name: Edsger W. Dijkstra\n" +
                           menu + search_prompt + "Student with ID 99 not found.\n" +
                           menu + search_prompt + "Student found - ID: 30, Name:   Grace  Hopper \n" +
                           menu + exited;
    EXPECT_EQ(session(input), expected);

    // Leading zeros, however many, do not make a number too long to read.
    const std::string zeros(30, '0');
    EXPECT_EQ(session("1\n-" + zeros + "42\nAda\n3\n" + zeros + "\n3\n-" + zeros + "42\n" + zeros + "4\n"),
              menu + added + menu + search_prompt + "Student with ID 0 not found.\n" + menu + search_prompt +
                  "Student found - ID: -42, Name: Ada\n" + menu + exited);
}

// Each refusal leaves the table as it was: the listing afterwards shows only
// the one student added first.
TEST_F(Records, StoreRefusals)
{
    const std::string first = "1\n1\nFirst\n";
    const std::string list_and_exit = "2\n4\n";
    const std::string after = menu + listing({row(1, "First")}) + menu + exited;
    struct Case {
        std::string input;
        std::string output;
    };
    // Whatever is refused, its name line is read too, never left for the menu
    // (where "4 Lovelace" would end the program).
    const std::string asked = "Enter student ID: Enter student name: ";
    const std::vector<Case> cases = {
        {"1\n1\n4 Lovelace\n", asked + "Not added: a student with ID 1 is already in the table.\n"},
        {"1\nabc\nName\n", asked + bad_id},
        {"1\n12x\nName\n", asked + bad_id},
        {"1\n2147483648\nName\n", asked + bad_id},
        {"1\n-99999999999999999999\nName\n", asked + bad_id},
        {"1 8 Grace Hopper\nGrace Hopper\n",
         asked + "Not added: the ID goes alone on its line, and the name on the next one.\n"},
        {"1\n2\n\n", "Enter student ID: Enter student name: Not added: the name is empty.\n"},
        {"1\n2\n   \n", "Enter student ID: Enter student name: Not added: the name is empty.\n"},
        {"1\n2\n" + std::string(50, 'n') + "\n",
         "Enter student ID: Enter student name: Not added: the name is longer than 49 characters.\n"},
        {"1\n2\nBell\aName\n",
         "Enter student ID: Enter student name: Not added: the name holds a control character.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(session(first + c.input + list_and_exit), menu + added + menu + c.output + after);
    }

    // A name of exactly 49 characters fits.
    std::string longest(49, 'L');
    EXPECT_EQ(session("1\n5\n" + longest + "\n2\n4\n"),
              menu + added + menu + listing({row(5, longest)}) + menu + exited);
}

TEST_F(Records, FullTable)
{
    std::string input, rows;
    for (int id = 1; id <= 100; ++id) {
        input += "1\n" + std::to_string(id) + "\nStudent " + std::to_string(id) + "\n";
        rows += row(id, "Student " + std::to_string(id));
    }
    std::string out = session(input + "1\n101\nOne Too Many\n2\n4\n");
    std::string full = "Not added: the table is full (100 students).\n";
    ASSERT_NE(out.find(full), std::string::npos);
    // Refused once its two lines are read, so the menu goes on in step.
    std::string tail = menu + "Enter student ID: Enter student name: " + full + menu +
                       "\nList of Students:\n" + rule + rows + rule + menu + exited;
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail);
}

TEST_F(Records, BadNumbersAtThePrompts)
{
    // At the menu the whole offending line goes: its "4" does not exit.
    EXPECT_EQ(session("abc 4\n99999999999\n+\n- 4\n4\n"),
              menu + invalid_choice + menu + invalid_choice + menu + invalid_choice + menu +
                  invalid_choice + menu + exited);
    EXPECT_EQ(session("3\nxyz 4\n3\n2147483648\n3\n-2147483648\n4\n"),
              menu + search_prompt + bad_search_id + menu + search_prompt + bad_search_id + menu +
                  search_prompt + "Student with ID -2147483648 not found.\n" + menu + exited);
    // A NUL byte inside a word makes it no number: "4\0x" does not exit, and
    // "42\0junk" adds no student 42.
    const std::string nul(1, '\0');
    EXPECT_EQ(session("4" + nul + "x\n1\n42" + nul + "junk\nName\n2\n4\n"),
              menu + invalid_choice + menu + "Enter student ID: Enter student name: " + bad_id + menu +
                  "No students to display.\n" + menu + exited);
}

TEST_F(Records, EndOfInputAtEachPrompt)
{
    EXPECT_EQ(session(""), menu + "\n");
    EXPECT_EQ(session("2"), menu + "No students to display.\n" + menu + "\n");
    EXPECT_EQ(session("3\n"), menu + search_prompt + menu + "\n");
    EXPECT_EQ(session("1\n"), menu + "Enter student ID: Not added: no ID given.\n" + menu + "\n");
    EXPECT_EQ(session("1\n5\n"),
              menu + "Enter student ID: Enter student name: Not added: no name given.\n" + menu + "\n");
}

// A few hundred lines of random input, again and again: the program always
// ends cleanly at a prompt (or on choice 4), with nothing on standard error,
// where a sanitizer would report.
TEST_F(Records, RandomInput)
{
    std::mt19937 random(20261208);
    int runs_to_the_end = 0;
    // No "4" among the pieces, so that most runs read all their input.
    const std::vector<std::string> pieces = {"1", "2", "3", "-1", "005x", "+7", "0", "42", " ", "\t",
                                             "abc", "-", "+", "99999999999999999999",
                                             "2147483647", "-2147483648", "Ada Lovelace", ""};
    for (int run = 0; run < 40; ++run) {
        std::string input;
        for (int line = 0; line < 300; ++line) {
            int kind = random() % 10;
            if (kind < 7) {
                for (int n = random() % 3 + 1; n > 0; --n)
                    input += pieces[random() % pieces.size()] + (random() % 2 ? " " : "");
            } else if (kind < 9) {
                for (int n = random() % 70; n > 0; --n)
                    input += static_cast<char>(random() % 256);
            }
            input += '\n';
        }
        SCOPED_TRACE(run);
        std::string out = session(input);
        bool at_prompt = out.size() >= menu.size() + 1 &&
                         out.compare(out.size() - menu.size() - 1, menu.size() + 1, menu + "\n") == 0;
        bool exited_at_4 = out.size() >= exited.size() &&
                           out.compare(out.size() - exited.size(), exited.size(), exited) == 0;
        EXPECT_TRUE(at_prompt || exited_at_4) << out.substr(out.size() - std::min<size_t>(out.size(), 300));
        runs_to_the_end += at_prompt;
    }
    EXPECT_GE(runs_to_the_end, 20);
}

// The search and the listing on their own (tests/records_table.cpp), over
// tables the store never makes: the search reports the first record with the
// id (the store refuses a second, so only here can a test tell the first
// from the last), and neither module looks past the valid records, even
// where records lie there.
TEST_F(Records, FirstOfARepeatedIdIsFoundAndNothingPastTheValidRecords)
{
    struct Case {
        std::string what;
        std::vector<std::string> table;  // records_table's arguments: the names say which record is which
        std::string input, output;
    };
    const std::vector<Case> cases = {
        {"two ids twice each, a record past them",
         {"7:first", "3:first", "7:second", "3:second", "|", "9:past"},
         "2\n3 7\n3 3\n3 9\n",
         listing({row(7, "first"), row(3, "first"), row(7, "second"), row(3, "second")}) + search_prompt +
             found(7, "first") + search_prompt + found(3, "first") + search_prompt + "Student with ID 9 not found.\n"},
        {"no valid record, one past them", {"|", "5:past"}, "2\n3 5\n",
         "No students to display.\n" + search_prompt + "Student with ID 5 not found.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(run(RECORDS_TABLE, c.input, c.table), c.output);
    }
}

TEST_F(Records, MenuShowsOnATerminalBeforeAnythingIsTyped)
{
    Terminal t;
    start_terminal(t, program("records"));
    ASSERT_GE(wait_screen(t, menu, patience), 0) << in_quotes(t.screen);
    type(t, "1\n");
    ASSERT_GE(wait_screen(t, "Enter student ID: ", patience), 0) << in_quotes(t.screen);
    type(t, "7\n");
    ASSERT_GE(wait_screen(t, "Enter student name: ", patience), 0) << in_quotes(t.screen);
    type(t, "Typed Name\n3 7\n");
    EXPECT_GE(wait_screen(t, "Student found - ID: 7, Name: Typed Name\n", patience), 0) << in_quotes(t.screen);
    type(t, "4\n");
    EXPECT_GE(wait_screen(t, exited, patience), 0) << in_quotes(t.screen);
    wait_end(t, patience);
    expect_exit(t.end, 0);
}

}  // namespace
