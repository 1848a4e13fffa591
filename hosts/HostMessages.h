// Catalogued failure texts recorded for a host.
#pragma once

#include <initializer_list>

#include "model/Message.h"
#include "model/Str.h"

// Message n of InstallCatalog with the given text arguments.
Message installMessage(long n, std::initializer_list<Str> args = {});

// Records message n of InstallCatalog for host (severity 1).
void recordFailure(const Str& host, long n, std::initializer_list<Str> args = {});
