// The student store: owns the table for the whole run (it starts empty and
// nothing is kept afterwards) and adds students to it, at the end, so the
// listing shows them in the order they were added. A student is refused,
// with the table left as it was, when its id is not a whole number that fits
// an int or is already taken (the search could never reach a second one),
// when its name is empty, too long for the record (never cut short) or holds
// a control character, and when the table is full.

#include <cstdio>
#include <cstring>

#include "records.h"

student_record students[max_students];
int student_count = 0;

// Reads the rest of the current line; returns true if it held only blanks.
static bool rest_of_line_blank()
{
    bool blank = true;
    int c;
    while ((c = getchar()) != '\n' && c != EOF) {
        if (!isspace(c))
            blank = false;
    }
    return blank;
}

// Reads the name into name (name_capacity bytes): the whole next line,
// spaces kept, without its newline. Returns false, with a message and the rest of the line read, when there is
// no line or the name does not fit or is not plain text.
static bool read_name(char* name)
{
    int length = 0;
    bool too_long = false;
    bool control = false;
    int c = getchar();
    if (c == EOF) {
        printf("Not added: no name given.\n");
        return false;
    }
    for (; c != '\n' && c != EOF; c = getchar()) {
        if (c < ' ' || c == 0x7f)
            control = true;
        if (length < name_capacity - 1)
            name[length++] = static_cast<char>(c);
        else
            too_long = true;
    }
    name[length] = '\0';

    bool blank = true;
    for (int i = 0; i < length; ++i)
        blank = blank && name[i] == ' ';
    if (too_long)
        printf("Not added: the name is longer than %d characters.\n", name_capacity - 1);
    else if (control)
        printf("Not added: the name holds a control character.\n");
    else if (blank)
        printf("Not added: the name is empty.\n");
    return !too_long && !control && !blank;
}

void add_student()
{
    if (student_count == max_students) {
        printf("Not added: the table is full (%d students).\n", max_students);
        return;
    }

    // The id may follow the menu choice on the same line ("1 42"); leading
    // white space, the rest of the menu line among it, is skipped.
    printf("Enter student ID: ");
    int id = 0;
    decimal_result read = read_decimal(&id);
    if (read == decimal_end) {
        printf("Not added: no ID given.\n");
        return;
    }
    if (read == decimal_invalid || !rest_of_line_blank()) {
        printf("Not added: the ID must be a whole number from %d to %d.\n", INT_MIN, INT_MAX);
        return;
    }
    for (int i = 0; i < student_count; ++i) {
        if (students[i].id == id) {
            printf("Not added: a student with ID %d is already in the table.\n", id);
            return;
        }
    }

    printf("Enter student name: ");
    char name[name_capacity];
    if (!read_name(name))
        return;
    students[student_count].id = id;
    memcpy(students[student_count].name, name, sizeof name);
    ++student_count;
    printf("Student added.\n");
}
