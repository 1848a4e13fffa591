#include "engine/Platform.h"

#include <unistd.h>

#include <climits>

#include "framework/qrx_objects.h"

Str PathFromPlatform(const Str&, const Str&) {
    return Str();
}
Str FullPathFromPlatform(const Str&, const Str&) {
    return Str();
}
Str ArchSpecificPartFromPlatform(const Str&, const Str&) {
    return Str();
}
Str pcOidFromName(const Str&) {
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

int getClientBaseOid() {
    return 0;
}

void handleBootstrap(const Str&, const Str&, const Str&) {}

InstallHost* getMNInstallHostObject(const Str&, char*, int, int, const char*) {
    return nullptr;
}

int installWisp(const char*, const char*, const char*, Str&) {
    return 0;
}

int confirmedReboot(const Array<Str>&) {
    return 0;
}

Array<Str> netWareSiteClients(const Str& site) {
    qrx_object_release(qrx_lookup_instance("NetWareManagedSite", site.chars()));
    return Array<Str>();
}
