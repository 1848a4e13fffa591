// Why a host could not be reached at all, told in the failure report ahead
// of the remote-shell texts: a name without an address, a refused
// connection, a rejected key, a host that never answered. Otherwise every
// one of them ends as a host whose type could not be classified.
#pragma once

#include "model/Str.h"

// The report line for host, or empty when nothing points at the network.
// connectErrno is the error of a failed connection of our own (0 when
// none); clientErrors is what the secure shell client wrote when it gave up
// (its exit status 255). The name is looked up first: whatever else went
// wrong, a name without an address explains it.
struct UnreachableReason {
    long message = 0;  // InstallCatalog number, 0 for none
    Str detail;        // the system's or the client's own words
};
UnreachableReason unreachableReason(const Str& host, int connectErrno, const Str& clientErrors);

// Records the reason for host, once per host and reason, when there is one.
void recordUnreachable(const Str& host, int connectErrno, const Str& clientErrors);
