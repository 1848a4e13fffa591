// What the installer asks of the framework about earlier installations,
// managed nodes and the hosts it reaches. With no framework records on this
// system every query has a fixed answer: nothing recorded, nothing found.
#pragma once

#include "model/Array.h"
#include "model/Str.h"

class InstallHost;

// Recorded location of an install type on a host; empty: none recorded.
Str PathFromPlatform(const Str& host, const Str& typeId);
Str FullPathFromPlatform(const Str& host, const Str& typeId);
// The recorded architecture-specific subdirectory; empty: none.
Str ArchSpecificPartFromPlatform(const Str& host, const Str& typeId);
// The framework object of a PC managed node; empty: none.
Str pcOidFromName(const Str& name);

// The framework object holding an installed product's or patch's
// information (a stringified reference); null: none found.
const char* findProductInfo(const Str& product, int wait);
const char* findPatchInfo(const Str& patch, int wait);

// The directory holding the running installer program (never empty: "."
// when it cannot be found), so that paths built on it are always defined.
Str GetInstallDir();

// The framework's base object for new client nodes; 0: none.
int getClientBaseOid();
// Hands a new managed node its bootstrap data; nothing to do here.
void handleBootstrap(const Str& host, const Str& type, const Str& oid);
// The install host of a managed node known to the framework; null: none.
InstallHost* getMNInstallHostObject(const Str& name, char* type, int access, int wait,
                                    const char* user);

// Installs and starts the remote installation service on a Windows host
// with the account given; on success typeOut may name the host's
// interpreter type. This system ships no such service: nothing is
// installed and the answer is 0.
int installWisp(const char* host, const char* user, const char* password, Str& typeOut);

// Whether the user agreed to reboot the hosts named; never, so no host is
// rebooted behind the user's back.
int confirmedReboot(const Array<Str>& hosts);

// The current clients of the NetWare managed site named site, each a text
// of ';'-separated fields whose second is the client's platform. Raises the
// framework's exception when the site is not known; the client list itself
// is always empty here.
Array<Str> netWareSiteClients(const Str& site);
