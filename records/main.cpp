// records: a menu over a table of students, in modules compiled one by one
// and linked into one program. main.cpp is the menu: it reads the user's
// choice and calls the operation picked, from the modules that share the
// table through records.h (the student store owns it).

#include <cstdio>

#include "records.h"

// Shows the menu and runs the operation picked, until Exit or end of input.
int main()
{
    for (;;) {
        printf("\nMORV Management System\n");
        printf("1. Add Student\n");
        printf("2. Display All Students\n");
        printf("3. Search Student by ID\n");
        printf("4. Exit\n");
        printf("Enter your choice: ");

        int choice = 0;
        decimal_result read = read_decimal(&choice);
        if (read == decimal_end) {
            printf("\n");  // leaves the terminal on a fresh line
            return 0;
        }
        if (read == decimal_invalid) {
            printf("Invalid choice. Please try again.\n");
            continue;
        }
        switch (choice) {
        case 1:
            add_student();
            break;
        case 2:
            list_roster();
            break;
        case 3:
            find_roster_entry();
            break;
        case 4:
            printf("Exited.\n");
            return 0;
        default:
            printf("Invalid choice. Please try again.\n");
            break;
        }
    }
}
