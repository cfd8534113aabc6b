// The student store: the module of records that owns the student table and
// adds students to it. It also reads the numbers typed at every prompt of
// records (read_decimal), and the names.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "records.h"

// The table's one definition. records.h declares it (extern) for every
// module, and the linker points each module's use of these names here. It
// starts empty, and nothing of it is kept after the run.
student_record students[max_students];
int student_count = 0;

// The store's own reading of input, defined after add_student, and what
// reading a name found.
enum name_result { name_ok, name_missing, name_too_long, name_control, name_empty };
static bool rest_of_line_blank();
static name_result read_name(char* name);
static bool id_taken(int id);

// Asks for a student's id and name and adds the student at the end of the
// table, so the listing shows students in the order added; or says why not.
void add_student()
{
    // The id may follow the menu choice on the same line ("1 42").
    printf("Enter student ID: ");
    int id = 0;
    decimal_result read = read_decimal(&id);
    if (read == decimal_end) {
        printf("Not added: no ID given.\n");
        return;
    }
    // The id's line and the name's are read whole, whatever is wrong with
    // either, before the student is judged: so the next line read is always
    // an answer to the menu, never a name taken for a choice.
    bool more_on_id_line = read == decimal_ok && !rest_of_line_blank();
    printf("Enter student name: ");
    char name[name_capacity];
    name_result named = read_name(name);

    if (student_count == max_students)
        printf("Not added: the table is full (%d students).\n", max_students);
    else if (read == decimal_invalid)
        printf("Not added: the ID must be a whole number from %d to %d.\n", INT_MIN, INT_MAX);
    else if (more_on_id_line)
        printf("Not added: the ID goes alone on its line, and the name on the next one.\n");
    else if (id_taken(id))
        printf("Not added: a student with ID %d is already in the table.\n", id);
    else if (named == name_missing)
        printf("Not added: no name given.\n");
    else if (named == name_too_long)
        printf("Not added: the name is longer than %d characters.\n", name_capacity - 1);
    else if (named == name_control)
        printf("Not added: the name holds a control character.\n");
    else if (named == name_empty)
        printf("Not added: the name is empty.\n");
    else {
        students[student_count].id = id;
        memcpy(students[student_count].name, name, sizeof name);
        ++student_count;
        printf("Student added.\n");
    }
}

// Reads a number typed at a prompt, as records.h says.
decimal_result read_decimal(int* value)
{
    int c = getchar();
    while (c != EOF && isspace(c))
        c = getchar();
    if (c == EOF)
        return decimal_end;

    // One word, its leading zeros dropped as it is read ("-007" is kept as
    // "-7"): an int then takes at most a sign and ten digits, and a longer
    // word is no int.
    char word[24];
    size_t length = 0;
    bool fits = true;
    for (; c != EOF && !isspace(c); c = getchar()) {
        size_t digits_from = length > 0 && (word[0] == '-' || word[0] == '+') ? 1 : 0;
        if (length == digits_from + 1 && word[digits_from] == '0' && isdigit(c))
            word[digits_from] = static_cast<char>(c);  // the 0 was a leading zero
        else if (length < sizeof word - 1)
            word[length++] = static_cast<char>(c);
        else
            fits = false;
    }
    word[length] = '\0';
    if (c != EOF)
        ungetc(c, stdin);  // the rest of the line, its newline at least, stays

    // The whole word must be the number (strtol says where it stopped: a
    // NUL byte in the word stops it early), and the number must fit an int.
    char* end = nullptr;
    errno = 0;
    long number = strtol(word, &end, 10);
    if (!fits || end != word + length || errno == ERANGE || number < INT_MIN || number > INT_MAX) {
        rest_of_line_blank();  // read and dropped
        return decimal_invalid;
    }
    *value = static_cast<int>(number);
    return decimal_ok;
}

// Reads the rest of the current line; true if it held only blanks.
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

// Reads the whole next line into name (name_capacity bytes), spaces kept,
// without its newline, and says what it found.
static name_result read_name(char* name)
{
    int length = 0;
    bool too_long = false;
    bool control = false;
    int c = getchar();
    if (c == EOF)
        return name_missing;
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
        return name_too_long;
    if (control)
        return name_control;
    return blank ? name_empty : name_ok;
}

// Whether a student in the table has this id (a second one could never be
// found: the search stops at the first).
static bool id_taken(int id)
{
    for (int i = 0; i < student_count; ++i) {
        if (students[i].id == id)
            return true;
    }
    return false;
}
