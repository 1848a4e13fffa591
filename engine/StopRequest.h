// A request to stop the execution phase early, made by a front end while
// the worker runs it (the window front end when its window is closed).
// The worker checks it between operations: an operation under way always
// ends, then the remaining ones are left out and clean-up runs as usual.
#pragma once

// Safe from any thread.
void requestStop();
bool stopRequested();
// A new run starts without a stop request.
void clearStopRequest();
