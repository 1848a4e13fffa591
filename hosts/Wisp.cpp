#include "hosts/Wisp.h"

int installWisp(const char*, const char*, const char*, Str&) {
    return 0;
}
