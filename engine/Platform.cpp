#include "engine/Platform.h"

#include <unistd.h>

#include <climits>

Str PathFromPlatform(const Str&, const Str&) {
    return Str();
}

const char* findProductInfo(const Str&, int) {
    return nullptr;
}
const char* findPatchInfo(const Str&, int) {
    return nullptr;
}

Str GetInstallDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return Str(".");
    Str exe(buf, int(n));
    int slash = exe.index('/', -1);
    if (slash < 0) return Str(".");
    return slash == 0 ? Str("/") : Str(exe.before(slash));
}
