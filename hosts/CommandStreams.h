// The two output streams of a running command and the input written to it.
// The command's output is read whenever it is ready, also while its input
// is still being written, so that a command that answers before it has
// read all of its input never blocks the installer (nor the installer it).
#pragma once

#include <sys/types.h>

#include <functional>

#include "model/Str.h"

class InstallHost;

// Bytes taken from a descriptor or a local source at a time.
constexpr int TRANSFER_SIZE = 16384;

struct CommandStreams {
    CommandStreams(int outFd, int errFd, Str* output, Str* errors);

    int out;
    int err;
    Str* output;
    Str* errors;
    pid_t child = -1;  // the ssh client or local shell of a kind-1 channel
    bool outDone = false;
    bool errDone = false;
    // Seconds without data (or without input taken) before the command is
    // given up; commandIdleLimit() when the streams are made.
    int idleLimit;
    // Called once when the command is given up at idleLimit, before its
    // streams are closed and its errors reported: to stop it on its host.
    std::function<void()> atIdleLimit;
    bool idleLimitReached = false;

    bool finished() const { return outDone && errDone; }
    // Reads what is ready now on the unfinished descriptors whose poll
    // events are given, appending to output and errors.
    void readReady(short outEvents, short errEvents);
    // Both descriptors are given up (no more data will be read).
    void abandon() { outDone = errDone = true; }
    // The command is given up at idleLimit.
    void reachIdleLimit();

  private:
    // Output has a buffer of its own: it is read while a block of input
    // still waits to be written, which must arrive as it left.
    char buffer_[TRANSFER_SIZE];
};

// Writes n bytes to fd, reading the streams whenever fd cannot take more.
// Returns the number written: short when the command stopped reading (the
// descriptor failed) or nothing moved for streams.idleLimit seconds.
int sendInput(int fd, const char* data, int n, CommandStreams& streams);

// collectOutput on streams already being read.
void collectStreams(CommandStreams& streams, int kind, const InstallHost* ih, const Str& host);
