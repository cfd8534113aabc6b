// list_roster: the module of records that lists the table. The table is the
// student store's; records.h declares it, so this module reads the same one.

#include <cstdio>

#include "records.h"

// Shows every student in the table, in the order of the table.
void list_roster()
{
    if (student_count == 0) {
        printf("No students to display.\n");
        return;
    }
    printf("\nList of Students:\n");
    printf("--------------------------\n");
    for (int i = 0; i < student_count; ++i)
        printf("ID: %d\t| Name: %s\n", students[i].id, students[i].name);
    printf("--------------------------\n");
}
