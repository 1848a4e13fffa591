// Where each install type went during this run: the process-wide table the
// execution phase fills and the recording script hands to the server.
#pragma once

#include "model/Str.h"

struct InstalledAt {
    Str host;
    Str paths;  // the host's path pair for the type
    Str typeId;
    Str hostType;
    Str description;  // the file package's description on the medium
    Str note;         // "installed", "found", "owner <host>" or "fowner <host>"
};

// The table holds at most this many records; later registrations are
// dropped with an overflow trace.
constexpr int kMaxInstalledLocations = 50;

void RegisterInstalled(const Str& host, const Str& paths, const Str& typeId, const Str& hostType,
                       const Str& description, const Str& note);
int installedLocationCount();
const InstalledAt& installedLocation(int i);
// The table as the recording script's "%Locations%" text:
// { N { "host" "paths" "type" "hostType" "description" "note" } ... }
Str locationsText();
// Empties the table, so that a second install run in one process (the
// window front end) starts afresh.
void clearInstalledLocations();
