// What the installer asks of the framework about earlier installations.
// With no framework records on this system every query answers empty.
#pragma once

#include "model/Str.h"

// Recorded location of an install type on a host; empty: none recorded.
Str PathFromPlatform(const Str& host, const Str& typeId);

// The framework object holding an installed product's or patch's
// information (a stringified reference); null: none found.
const char* findProductInfo(const Str& product, int wait);
const char* findPatchInfo(const Str& patch, int wait);

// The directory holding the running installer program (never empty: "."
// when it cannot be found), so that paths built on it are always defined.
Str GetInstallDir();
