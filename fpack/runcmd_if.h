// Command runner: splitting a command into words and starting it as a child
// process on given descriptors.
#pragma once

#include <sys/types.h>

// Codes of a command that could not be started.
enum { RUNCMD_CANT_START = 3 };

// Splits `text` in place at blanks and tabs into at most `max` words
// (argv needs max + 1 entries; a null ends it). Returns the number of
// words, or -1 when there are more than `max`.
int cmd_to_args(char* text, int max, char** argv);

// Starts argv[0] (searched in PATH) with standard input, output and error
// on the given descriptors, every other descriptor closed, in its own
// process group. Returns the child's pid once it runs the program, or -1
// with *code RUNCMD_CANT_START (fork failed or the program could not be
// run; the child is reaped).
pid_t runcmd_start(char* const* argv, int in_fd, int out_fd, int err_fd, int* code);

// Waits for `pid` (retrying interrupted waits); the raw wait status, or -1.
int runcmd_wait(pid_t pid);
// Kills the process group of `pid` with `sig` and reaps `pid`.
void runcmd_stop(pid_t pid, int sig);

// Closes every descriptor from `from` up (in a child before exec).
void runcmd_close_from(int from);
