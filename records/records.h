// The student table shared by the modules of records, and the operations the
// menu calls. Each module (main.cpp, student_store.cpp, list_roster.cpp,
// find_roster_entry.cpp) is compiled on its own and includes this header:
// it is what they all agree on, and the linker joins them into one program.
#pragma once

#include <climits>

constexpr int name_capacity = 50;  // a name of up to 49 characters and its terminator
constexpr int max_students = 100;

struct student_record {
    int id;
    char name[name_capacity];
};

// The table. extern makes these two lines declarations only: they say that
// the variables exist, and of what type, but make no storage. Each is
// defined once, in student_store.cpp, the module that owns the table; the
// linker points every module's use of the names at that one definition, so
// the students add_student stores are the ones list_roster and
// find_roster_entry read. Without extern, each module including this header
// would define a table of its own, and the link would fail with the names
// defined more than once.
// The valid records are students[0] to students[student_count - 1].
extern student_record students[max_students];
extern int student_count;

// The menu's operations, each in a module of its own but add_student, which
// is the store's.
void add_student();        // asks for a student's id and name, and adds it
void list_roster();        // shows every student, in the order they were added
void find_roster_entry();  // asks for an id, and shows the student with it

// Reads a number from standard input, as every prompt does: white space
// (newlines too) is skipped, then one word is read, and the rest of its line
// is left to whoever reads next, so "3 42" on one line answers two prompts.
// A word that is not, whole, a number that fits an int gives decimal_invalid,
// with the rest of its line read and dropped; end of input before a word,
// decimal_end. Defined in the student store, which does all reading of input.
enum decimal_result { decimal_ok, decimal_invalid, decimal_end };
decimal_result read_decimal(int* value);
