// Starting a program the way a terminal's shell does: as the foreground
// process of a session of its own, on a fresh pseudo-terminal, so that what
// it writes is what a screen would show and keys typed on the other side
// (Enter, ^C, ^Z) act as on a real terminal.
#pragma once

#include <csignal>
#include <sys/types.h>

// Clears what a parent may pass on to a child through exec: blocked signals,
// and signals ignored or caught (a caught one reverts to its default at exec
// anyway; an ignored one would stay ignored).
void reset_signal_state();

// Starts path (looked up in PATH when it has no slash) with the arguments
// argv (argv[0] included, ending in a null pointer) on a new pseudo-terminal,
// which is all it has open: descriptors 0, 1 and 2. Returns the child's pid,
// which is also its session and process group, and sets *master to the
// terminal's other side (close-on-exec). Returns -1, with errno set, when no
// terminal or process could be had. If the exec fails, the child writes why
// on the terminal and exits 127. (Should the terminal not become the child's
// controlling one, which a fresh terminal and session rule out, it exits 1
// with nothing written.) blocked, if given, is the signal mask the program
// starts with, as a parent that blocked those signals would pass it on
// (otherwise nothing is blocked).
pid_t spawn_on_terminal(const char* path, char* const argv[], int* master, const sigset_t* blocked = nullptr);
