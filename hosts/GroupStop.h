// Stopping a framed command as a whole on its host. The frame runs the
// command in a process group of its own where the host can make one
// (setsid) and names that group on the first line after BEG_OF_STREAM;
// a command given up at the idle limit is then stopped there with all
// the children it started, not only the client this side of the channel.
//
// The group line is host output like any other: it is taken only as the
// frame's own first line, and only a plain decimal above 1 is ever used.
#pragma once

#include <sys/types.h>

#include "model/Str.h"

// The text of the group line: "PGID_OF_STREAM <pgid>", the number empty
// when the host could not give the command a group of its own.
extern const char* const GROUP_OF_STREAM;

// Shell text running body (the command and the end of the frame) in a
// group of its own, the group line printed first. The shell's exit status
// is body's. A body holding the here-document's delimiter is returned as
// it is (no group, no group line).
Str inOwnGroup(const Str& body);

// Whether command carries that frame (only such a command's group line is
// its own and not something the command printed).
bool runsInOwnGroup(const Str& command);

// raw without the group line that follows the first BEG_OF_STREAM; raw
// itself when there is none.
Str withoutGroupLine(const Str& raw);

// The group named by that line; 0 when there is none, or when the number
// is not plain digits, is 0 or 1, or does not fit a process id.
pid_t reportedGroup(const Str& raw);

// Seconds between the polite and the hard signal.
constexpr int GROUP_STOP_GRACE = 2;

// The shell command that stops group on its host: TERM, up to
// GROUP_STOP_GRACE seconds for it to end, KILL, then a bounded look
// whether anything of it is left. Its output says which.
Str groupStopCommand(pid_t group);

// Whether the output of groupStopCommand is positive evidence that the
// group is gone; why tells what it said otherwise.
bool groupStopped(const Str& output, Str& why);

// The same on this machine, without a shell: stops group only when its
// leader is a child of parent (the local shell that started the command),
// so that no group that the command did not make is touched.
bool stopLocalGroup(pid_t group, pid_t parent, Str& why);
