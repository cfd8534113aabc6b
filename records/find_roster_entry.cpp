// find_roster_entry: the module of records that searches the table. The
// table is the student store's; records.h declares it, so this module reads
// the same one.

#include <cstdio>

#include "records.h"

// Asks for an id and shows the first student in the table with it.
void find_roster_entry()
{
    printf("Enter Student ID to search: ");
    int id = 0;
    decimal_result read = read_decimal(&id);
    if (read == decimal_end)
        return;  // back to the menu, which then ends
    if (read == decimal_invalid) {
        printf("Invalid ID: enter a whole number from %d to %d.\n", INT_MIN, INT_MAX);
        return;
    }
    for (int i = 0; i < student_count; ++i) {
        if (students[i].id == id) {
            printf("Student found - ID: %d, Name: %s\n", students[i].id, students[i].name);
            return;
        }
    }
    printf("Student with ID %d not found.\n", id);
}
