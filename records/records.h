// The student table shared by the modules of records, and the operations the
// menu calls. The student store module (student_store.cpp) owns the table;
// list_roster and find_roster_entry only read it; main does not touch it.
#pragma once

#include <climits>

constexpr int name_capacity = 50;  // a name of up to 49 characters and its terminator
constexpr int max_students = 100;

struct student_record {
    int id;
    char name[name_capacity];
};

// The valid records are students[0] to students[student_count - 1].
extern student_record students[max_students];
extern int student_count;

void add_student();
void list_roster();
void find_roster_entry();

// Reading decimal numbers from standard input, the way every prompt here
// does: leading white space (newlines too) is skipped, then one word is read
// and converted, and the rest of the line is left unread for whoever reads
// next, so "3 42" typed on one line answers two prompts. A word that is not,
// whole, a number that fits an int (leading zeros are fine, however many; a
// NUL byte in it is not) gives decimal_invalid, with the rest of its line
// read and dropped; end of input before a word gives decimal_end.
// Defined in the student store module, which owns the reading of input.
enum decimal_result { decimal_ok, decimal_invalid, decimal_end };
decimal_result read_decimal(int* value);
