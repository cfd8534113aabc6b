// A program on a pseudo-terminal of its own, as the tour's driver (onscreen)
// and the tests drive it: started as the foreground process of a new
// session, its screen read as it appears, keys typed, its end waited for,
// and everything on the terminal ended at the close.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

struct terminal_session {
    pid_t pid = -1;             // the program: its session and process group; -1 once reaped
    int master = -1;            // the terminal's other side; -1 once closed
    int status = -1;            // the wait status, once the program has ended
    double started = 0;         // clock reading at the start, in seconds
    std::string screen;         // all that has appeared, carriage returns removed
    std::vector<double> shown;  // shown[i]: seconds after the start at which screen[i] appeared
    // Set by a user that waits for signals as well: the mask let in while
    // waiting (ppoll's), and a flag its handler sets, which ends a wait early.
    const sigset_t* waiting_mask = nullptr;
    volatile sig_atomic_t* stop = nullptr;
    // Called with the bytes of each read as they came (carriage returns
    // kept), after they have been added to the screen.
    void (*on_output)(terminal_session& t, const char* bytes, size_t size) = nullptr;
};

// The monotonic clock, in seconds.
double now_seconds();

// How a program ended, from its wait status: "exit status 1", "ended by
// signal SIGINT".
std::string describe_status(int status);

// Starts path (looked up in PATH when it has no slash) with argv (argv[0]
// included, null-terminated) on a new pseudo-terminal, with the signals of
// blocked blocked, if given, and none otherwise. Returns false, with errno
// set, when no terminal or process could be had.
bool terminal_start(terminal_session& t, const char* path, char* const argv[], const sigset_t* blocked = nullptr);

// Waits up to seconds for what the terminal shows and adds it to the screen.
// Returns 1 when something came, 0 when nothing did (or the wait was
// stopped), -1 once the terminal has closed: every process on it has ended.
int terminal_read(terminal_session& t, double seconds);

// Waits seconds with nothing to read, as terminal_read does (the session's
// waiting mask let in, so that its stop signals end the wait).
void terminal_sleep(const terminal_session& t, double seconds);

// Reaps the program if it has ended (waiting for it when block), noting its
// status. Returns true once it has ended.
bool terminal_reap(terminal_session& t, bool block);

// Reads the screen until text appears at or after offset from. Returns the
// offset just past it, or std::string::npos when the clock passes deadline,
// the program ends without it (its last output read first) or the wait is
// stopped.
size_t terminal_wait_for(terminal_session& t, const std::string& text, size_t from, double deadline);

// Types keys on the terminal, as fast as it takes them. Returns false when
// the terminal took them not all.
bool terminal_type(terminal_session& t, const std::string& keys);

// Ends every process of the terminal's session and the program, reaps the
// program and closes the terminal.
void terminal_end(terminal_session& t);
