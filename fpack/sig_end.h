// What ends with fpack when a signal ends it: the process groups of the
// children it started (scripts, filters, file-list commands) and the output
// file it created and has not finished.
//
// Children run in process groups of their own (runcmd_fork), which the
// runner tracks here while they live. The program installs the handlers
// (sigend_install); a handler kills every tracked group with SIGKILL,
// removes the registered output file, and lets the same signal end fpack.
// Everything here is safe to call from a signal handler's point of view:
// fixed arrays, no allocation.
#pragma once

#include <sys/types.h>

// Most process groups tracked at once (file-list commands nest 16 deep,
// plus a filter, its feeder and a script).
#define SIGEND_MAX_GROUPS 64

// Catches the signals that end a process (HUP, INT, QUIT, TERM, ALRM,
// USR1, USR2, XCPU, XFSZ), leaving alone any that are ignored (nohup).
void sigend_install();
// Starts or stops tracking process group `pgid`.
void sigend_track(pid_t pgid);
void sigend_untrack(pid_t pgid);
// In a child after fork: the parent's groups and file are none of its
// business, and the signals caught here take their default action again.
void sigend_in_child();
// The output file a signal removes while it is still the file with this
// device and inode (a null path: none).
void sigend_remove_on_signal(const char* path, dev_t dev, ino_t ino);
