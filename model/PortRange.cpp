#include "model/PortRange.h"
Str localPortRange() {
    return Str();
}
