#include "hosts/InstallHost.h"

#include "engine/Args.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"

namespace {

bool hasPrefix(const Str& s, const char* prefix) {
    return s.index(prefix) == 0;
}

}  // namespace

InstallHost::InstallHost(const Str& name, const char* type, const char* user, const char* password,
                         AccessMethod access)
    : name(name), type(type), accessMethod(access), hostUser(user), hostPassword(password) {
    enginePresent = hasPrefix(this->type, "w32-") || hasPrefix(this->type, "os2-");
    dbFile << "Constructing InstallHost host: " << name << " type " << this->type
           << " user: " << hostUser << std::endl;
}

bool InstallHost::isW32() const {
    return hasPrefix(type, "w32-");
}
bool InstallHost::isOS2() const {
    return hasPrefix(type, "os2-");
}
bool InstallHost::isNW() const {
    return hasPrefix(type, "nwr-");
}

Str InstallHost::archSpecificPart(const InstallType& t) const {
    if (!t.valid()) return Str();
    return argInfo.config.translate(this, t.entry().extraText);
}
