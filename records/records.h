// The student table shared by the modules of records, and the operations the
// menu calls. The student store module (student_store.cpp) owns the table;
// list_roster and find_roster_entry only read it; main does not touch it.
#pragma once

#include <cctype>
#include <climits>
#include <cstdio>

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
// does: leading white space (newlines too) is skipped, then an optional sign
// and digits are read, and the rest of the line is left unread for whoever
// reads next, so "3 42" typed on one line answers two prompts.
enum decimal_result { decimal_ok, decimal_invalid, decimal_end };

// Reads and drops the rest of the current line, its newline included.
inline void discard_line()
{
    int c;
    do {
        c = getchar();
    } while (c != '\n' && c != EOF);
}

// Reads one decimal integer into *value. Input that is not one, or that does
// not fit an int, gives decimal_invalid with the rest of its line discarded
// (no number is ever converted with overflow). End of input before a number
// gives decimal_end.
inline decimal_result read_decimal(int* value)
{
    int c = getchar();
    while (c != EOF && isspace(c))
        c = getchar();
    if (c == EOF)
        return decimal_end;

    bool negative = c == '-';
    if (c == '-' || c == '+')
        c = getchar();
    if (!isdigit(c)) {
        if (c != '\n' && c != EOF)
            discard_line();
        return decimal_invalid;
    }
    // The magnitude is gathered as a negative number, whose range reaches
    // INT_MIN, and checked before every step so it can never overflow.
    int magnitude = 0;
    bool fits = true;
    for (; c != EOF && isdigit(c); c = getchar()) {
        int digit = c - '0';
        if (magnitude < (INT_MIN + digit) / 10)
            fits = false;
        if (fits)
            magnitude = magnitude * 10 - digit;
    }
    if (!fits || (!negative && magnitude == INT_MIN)) {
        if (c != '\n' && c != EOF)
            discard_line();
        return decimal_invalid;
    }
    if (c != EOF)
        ungetc(c, stdin);
    *value = negative ? magnitude : -magnitude;
    return decimal_ok;
}
