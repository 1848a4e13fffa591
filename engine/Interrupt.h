// Ending a run on SIGINT, SIGTERM or SIGHUP without leaving the hosts half
// changed: the handler only notes the signal; the run looks at the note
// between its steps, skips what is left, cleans up as at any other end,
// and then ends by the signal.
#pragma once

// Installs the handler for the three signals, without restarting the call
// a signal interrupts (so that a read of the confirmation ends at once).
void catchInterrupts();
// The signal that asked the run to end, 0 when none has.
int interruptSignal();
// Waits until fd has input (true) or one of the three signals came (false),
// also one that came before the wait began.
bool inputUnlessInterrupted(int fd);
// Ends the process by the noted signal with its default action.
[[noreturn]] void endByInterrupt();
