// The remote installation service of Windows hosts, which the installer
// may install itself before reaching such a host by remote execution.
#pragma once

#include "model/Str.h"

// Installs and starts the service on host with the account given; on
// success typeOut may name the host's interpreter type. This system ships
// no such service: nothing is installed and the answer is 0.
int installWisp(const char* host, const char* user, const char* password, Str& typeOut);
