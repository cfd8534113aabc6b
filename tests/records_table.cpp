// records_table: the search and the listing of records (their own modules,
// and the student store's table and read_decimal) over a table the test
// fills, one that the store would never make: ids may repeat, and records
// may lie past the valid ones.
//   records_table ID:NAME... [| ID:NAME...]
// The records before a lone "|" (all of them, without one) are the valid
// ones, students[0] to students[student_count - 1]; those after it are
// written just past them, where neither module may look. Then it reads
// choices as the menu of records does, without the menu: 2 lists the table,
// 3 searches it (the search asks for its id itself); at the end of input it
// ends with status 0.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "records.h"

int main(int argc, char** argv)
{
    int written = 0;
    int valid = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "|") == 0 && valid < 0) {
            valid = written;
            continue;
        }
        char* colon = nullptr;
        long id = strtol(argv[i], &colon, 10);
        if (written == max_students || *colon != ':' || colon == argv[i] || id < INT_MIN || id > INT_MAX) {
            fprintf(stderr, "records_table: not a record, or one too many: %s\n", argv[i]);
            return 2;
        }
        students[written].id = static_cast<int>(id);
        snprintf(students[written].name, name_capacity, "%s", colon + 1);
        ++written;
    }
    student_count = valid < 0 ? written : valid;

    int choice = 0;
    decimal_result read;
    while ((read = read_decimal(&choice)) == decimal_ok && (choice == 2 || choice == 3)) {
        if (choice == 2)
            list_roster();
        else
            find_roster_entry();
    }
    if (read != decimal_end) {
        fprintf(stderr, "records_table: the choices are 2 and 3\n");
        return 2;
    }
    return 0;
}
