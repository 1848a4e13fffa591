// Pushing file packages and running product scripts on a host. This build
// does not carry them yet: each refuses with a trace line and reports
// failure, so that a caller never takes the work for done.
#include "hosts/InstallHost.h"
#include "model/DebugLog.h"

namespace {

int unavailable(const char* operation, const Str& host) {
    dbFile << operation << " on " << host << ": not available in this build" << std::endl;
    return 0;
}

}  // namespace

int InstallHost::pushFilePack(const InstallOperation&) {
    return unavailable("pushFilePack", name);
}

int InstallHost::runScript(const Script&) {
    return unavailable("runScript", name);
}

int InstallHost::runScriptOnHost(const Str&, Str, Str& out, Str& err) {
    out = Str();
    err = Str();
    return unavailable("runScriptOnHost", name);
}
