// Hosts installed side by side share one engine: its settings, debug log,
// status lines, failure list and recording are process-wide. Each host's
// worker thread holds the engine lock while it runs engine code and lets
// it go only while it waits on a command (its output, its input, its
// child, a login), so hosts overlap exactly where they wait on the
// network. Outside a parallel step no thread holds it and the guards do
// nothing.
#pragma once

// Held by the constructing thread for its lifetime (a host worker).
class EngineLockHeld {
  public:
    EngineLockHeld();
    ~EngineLockHeld();
    EngineLockHeld(const EngineLockHeld&) = delete;
    EngineLockHeld& operator=(const EngineLockHeld&) = delete;
};

// Lets the lock go for a blocking wait when this thread holds it; takes
// it back on leaving. The code inside touches no shared state.
class WhileWaiting {
  public:
    WhileWaiting();
    ~WhileWaiting();
    WhileWaiting(const WhileWaiting&) = delete;
    WhileWaiting& operator=(const WhileWaiting&) = delete;

  private:
    bool released_;
};

// Whether this thread holds the engine lock.
bool engineLockHeld();
