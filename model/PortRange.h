// The port range of the local object server, as the configuration name
// PortRange translates: asked of the framework once and cached for the rest
// of the process; empty (and asked again next time) while it cannot be had.
#pragma once

#include "model/Str.h"

Str localPortRange();
