// One disk probe result: where an install location lives (the host and path
// on the file server when it is mounted from one) and how much room it has.
#pragma once

#include <cstdint>
#include <ostream>

#include "hosts/InstallHost.h"
#include "model/Str.h"

struct FileSystemInfo {
    Str server;  // host holding the file system (the file server when mounted)
    Str client;  // host on which the location is used
    Str serverPath;
    Str clientPath;
    std::int64_t kbytesFree = -1;  // -1 until known
    Str serverDevice;
    Str serverMountedOn;
    Str mountedOn;
    FSState state = FS_UNKNOWN;  // kept for callers; planning does not use it

    bool fsLocal() const { return server == client; }
    FSState getState() const { return state; }
    void setState(FSState s) { state = s; }
};

// The trace form: one tab-led line per group of fields.
std::ostream& operator<<(std::ostream& out, const FileSystemInfo& fs);
