// Command runner: children in process groups of their own, started on given
// descriptors, waited for with a time limit and ended with all they started.
//
// Every child fpack starts comes from runcmd_fork, so that ending its
// process group ends whatever it started, and a fatal signal to fpack ends
// the group too (sig_end.h). Waiting wakes as soon as the child ends: a
// SIGCHLD handler writes into a pipe that the waiter polls.
#pragma once

#include <sys/types.h>

// Codes of a command that could not be started.
enum { RUNCMD_CANT_START = 3 };
// How long a child that was asked to end (runcmd_stop) may take before
// its process group is killed.
#define RUNCMD_STOP_GRACE_MS 2000

// Splits `text` in place at blanks and tabs into at most `max` words
// (argv needs max + 1 entries; a null ends it). Returns the number of
// words, or -1 when there are more than `max`.
int cmd_to_args(char* text, int max, char** argv);

// fork() into a new process group, tracked until it is reaped here. The
// child gets 0 and the default action for the signals fpack catches;
// the parent gets the child's pid, or -1 (errno EPERM while children are
// refused).
pid_t runcmd_fork();

// A process that only looks into untrusted blocks can refuse every child
// for good: nothing the block names is started, and every start fails as
// one that could not fork.
void runcmd_refuse_children();
bool runcmd_children_refused();

// Starts argv[0] (searched in PATH) with standard input, output and error
// on the given descriptors, every other descriptor closed, in its own
// process group. Returns the child's pid once it runs the program, or -1
// with *code RUNCMD_CANT_START (fork failed or the program could not be
// run; the child is reaped).
pid_t runcmd_start(char* const* argv, int in_fd, int out_fd, int err_fd, int* code);

// Waits up to timeout_ms (negative: no limit) for child `pid` to end.
// When it has ended, kills what is left of its process group, reaps it and
// stores the raw wait status: returns 0. Returns 1 when the time ran out
// (the child runs on, unreaped), -1 when it cannot be waited for.
int runcmd_wait_for(pid_t pid, long timeout_ms, int* status);
// Waits for `pid` without a limit; the raw wait status, or -1.
int runcmd_wait(pid_t pid);
// Sends `sig` to the process group of `pid`, gives the child
// RUNCMD_STOP_GRACE_MS to end, then kills the group; reaps the child.
// Returns its raw wait status, or -1.
int runcmd_stop(pid_t pid, int sig);

// Closes every descriptor from `from` up (in a child before exec).
void runcmd_close_from(int from);
