// The phases of one run of the command-line installer.
#pragma once

#include <ostream>
#include <vector>

#include "model/Str.h"

// Reads the arguments, builds the server's install host, plans and prints
// the failures and the to-do list on out.
void zpi_install_check(int argc, char** argv, std::ostream& out);
// Carries out the to-do list and records the installation; after an
// interrupting signal only what was done so far.
void zpi_install_doit();
// Cleans up the host group and empties the run's lists; whatever the check
// phase made on the hosts is removed unless the to-do list was carried out.
void zpi_goodbye();
// The exit status of a run that got past its arguments, asked before the
// goodbye empties the failure list: 2 when no server was named, 1 when
// anything failed (hostFailures.anyFailure), otherwise 0.
int zpiExitStatus();
// The install hosts named (the run's server, then the host words), reached
// side by side (forEachHost) and added to the host group in the order
// given; a host that cannot be built is a recorded failure.
void zpiBuildHosts(const std::vector<Str>& names);
// The names of the host words, each once, none the server's.
std::vector<Str> hostWordNames();
// The usage text on standard error, then exit status 2.
[[noreturn]] void serverCliUsage();
// The setting "@CommandIdleLimit@" (seconds a remote command may go
// without output or taking input, 1 to 86400), when given, becomes the
// idle limit of every command of the run.
void applyCommandIdleLimit();
// The setting "@HostLimit@" (hosts worked on at once, 1 to
// kMostHostsAtOnce), when given, becomes the run's host limit.
const int kMostHostsAtOnce = 256;
void applyHostLimit();
// Concurrent runs against one server are not prevented: takes no lock.
void getInstallLock();

extern const char* const quillset_cli_usage;

// The variables part that ends both front ends' usage texts (without a
// final newline).
#define QS_USAGE_VARIABLES                                                          \
    " <optional-variables>: take the form: <variable id from index file>=<value>\n" \
    "    BIN=<binaries-directory>\n"                                                \
    "    LIB=<libraries-directory>\n"                                               \
    "    ZPIDB=<server-database-directory>\n"                                       \
    "    MAN=<man-page-directory>\n"                                                \
    "    APPD=<X11-app-defaults-directory>\n"                                       \
    "    CAT=<message-catalog-directory>\n"                                         \
    "    RN=<region-name>"
