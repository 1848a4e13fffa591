// The installer's process-wide state around a fuzz target: the debug log
// swallows its lines (they are formatted, never written anywhere) and every
// input starts from the same run settings, install types and failures.
#pragma once

// Call first thing for every input; the first call also takes the state of
// that moment (after the target's own set-up) as the one to return to.
void fuzzCoreStart();
