// The usage text of the command-line installer, shared by the argument
// reader and the run.
#include <cstdio>
#include <cstdlib>

#include "engine/server_cli.h"

const char* const quillset_cli_usage =
    "Usage: quillset_cli -c <cdrom-path> [<optional-flags>] [<optional-variables>]\n"
    " <optional-flags>:\n"
    "    -a <server-name>\n"
    "    -I you will be prompted for an installation password.  This password \n"
    "       would then need to be given when installing clients.\n"
    "    -i <install-index-file>\n"
    "    -P  you will be prompted for root's password\n"
    "    -z <variable-file>\n"
    "    -Z <variable-entry>\n" QS_USAGE_VARIABLES
    "\n"
    " Exit status:\n"
    "    0    everything planned was done, or the answer was no and nothing failed\n"
    "    1    a host or an operation failed; the failure report names it\n"
    "    2    a usage or input error, or no answer to the prompt\n"
    "    255  not run by root\n";

[[noreturn]] void serverCliUsage() {
    std::fprintf(stderr, "%s\n", quillset_cli_usage);
    std::exit(2);
}
