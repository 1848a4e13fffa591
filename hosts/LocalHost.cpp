// Whether a host name names the machine the installer runs on: such a host
// is always reached through a local shell.
#include <sys/utsname.h>

#include "engine/Args.h"
#include "framework/qrx_net.h"
#include "hosts/InstallHost.h"
#include "model/DebugLog.h"

namespace {

Str computeLocalName() {
    Str override = argInfo.config.translate(nullptr, "@LocalName@");
    if (!override.empty()) {
        dbFile << "localName @LocalName@ override: " << override << std::endl;
        return override;
    }
    char buffer[257];
    if (local_host_name(buffer, sizeof buffer) == 0) {
        dbFile << "localName get: " << buffer << std::endl;
        return Str(buffer);
    }
    dbFile << "local_host_name returned error!" << std::endl;
    struct utsname u;
    Str node = uname(&u) == 0 ? Str(u.nodename) : Str();
    dbFile << "localName fallback get: " << node << std::endl;
    return node;
}

// The local name and its aliases; a failed look-up leaves only the name.
const Array<Str>& localNames() {
    static Array<Str>* names = nullptr;
    if (names) return *names;
    names = new Array<Str>;
    const Str& self = localName();
    names->put(self);
    struct hostent* h = swstack_gethostbyname(self);
    if (!h) {
        dbFile << "Warning:  localName " << self << " not found by gethostbyname!" << std::endl;
        return *names;
    }
    auto add = [](const char* alias) {
        dbFile << "Adding local host alias: " << alias << std::endl;
        names->put(Str(alias));
    };
    if (h->h_name && self != h->h_name) add(h->h_name);
    for (char** a = h->h_aliases; a && *a; ++a) add(*a);
    swstack_freehostent(h);
    return *names;
}

}  // namespace

const Str& localName() {
    static const Str* name = new Str(computeLocalName());
    return *name;
}

bool isLocal(const Str& host) {
    if (host == localName()) return true;
    const Array<Str>& names = localNames();
    for (int i = 0; i < names.length(); ++i) {
        if (names[i] == host) {
            dbFile << host << " is local." << std::endl;
            return true;
        }
    }
    return false;
}
