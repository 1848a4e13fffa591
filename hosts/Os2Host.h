// OS/2 hosts have no Unix-like tools of their own: the installer finds the
// framework's tools directory there, or installs the tools from the medium
// into a temporary one. Later commands run the tools' shell from it.
#pragma once

#include "hosts/InstallHost.h"

// Fills ih's tools directory, installing the tools when the framework is
// not on the host. Commands go through the arguments' access, unwrapped.
void prepareOs2InstallHostObject(const char* host, const char* user, const char* password,
                                 AccessMethod access, InstallHost* ih);

// The REXX program that creates directory tldir, deletes tldir\nm and
// copies its standard input into that file in blocks of 16384 characters.
extern const char* const OS2_TOOLS_LOADER;
