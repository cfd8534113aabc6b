// Starting a program the way a terminal's shell does: as the foreground
// process of a session of its own, on a fresh pseudo-terminal, so that what
// it writes is what a screen would show and keys typed on the other side
// (Enter, ^C, ^Z) act as on a real terminal. And the end of a child: the
// one way the terminal layer and the tests' harness wait for one and reap it.
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

// Whether the child pid has ended (or is not ours to wait for), waiting for
// its end when block, without reaping it. With end_group, whatever it left
// running in its process group is killed once it has ended: until it is
// reaped, the group's id is still its pid, which no other process can have
// taken.
bool child_ended(pid_t pid, bool block = false, bool end_group = false);

// Reaps the child pid once it has ended, as child_ended finds it, and sets
// *status, if given, to its wait status. Returns true once it has ended,
// pid then -1; status is left as it was when pid was not ours to wait for.
bool reap_child(pid_t& pid, int* status, bool block, bool end_group = false);

// Kills the child pid and everything in the process group it leads, if it
// leads one (spawn_on_terminal's children do).
void kill_child(pid_t pid);
