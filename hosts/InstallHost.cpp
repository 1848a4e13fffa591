#include "hosts/InstallHost.h"

#include <cstdlib>
#include <set>

#include "engine/Args.h"
#include "hosts/HostMessages.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"

int sshExeSearchFailed = 0;
thread_local int doNotBlock = 0;
const Str EMPTY;
const Str ROOT("root");
const Str BEG_OF_STREAM("BEG_OF_STREAM");
const Str END_OF_STREAM("END_OF_STREAM");
const Str OUTPUT_TRUNCATED("Output truncated.");

namespace {

bool hasPrefix(const Str& s, const char* prefix) {
    return s.index(prefix) == 0;
}

// Hosts alive now: a REMOTE_READ_INPUT text is only followed to one of them.
std::set<const InstallHost*>& liveHosts() {
    static std::set<const InstallHost*>* hosts = new std::set<const InstallHost*>;
    return *hosts;
}

}  // namespace

InstallHost::InstallHost() {
    registerLive();
}

InstallHost::InstallHost(const Str& name, const char* type, const char* user, const char* password,
                         AccessMethod access)
    : name(name), type(type), accessMethod(access), hostUser(user), hostPassword(password) {
    enginePresent = hasPrefix(this->type, "w32-") || hasPrefix(this->type, "os2-");
    dbFile << "Constructing InstallHost host: " << name << " type " << this->type
           << " user: " << hostUser << std::endl;
    registerLive();
}

// A copy starts without the original's buffered read: one descriptor has
// one owner.
InstallHost::InstallHost(const InstallHost& other)
    : name(other.name),
      type(other.type),
      enginePresent(other.enginePresent),
      pcInstallFlag(other.pcInstallFlag),
      rebootPending(other.rebootPending),
      failed(other.failed),
      accessMethod(other.accessMethod),
      hostUser(other.hostUser),
      hostPassword(other.hostPassword),
      states(other.states),
      toolsLoc(other.toolsLoc),
      engineDir(other.engineDir) {
    registerLive();
}

InstallHost& InstallHost::operator=(const InstallHost& other) {
    if (this == &other) return *this;
    cleanupBufferedReadStuff();
    name = other.name;
    type = other.type;
    enginePresent = other.enginePresent;
    pcInstallFlag = other.pcInstallFlag;
    rebootPending = other.rebootPending;
    failed = other.failed;
    accessMethod = other.accessMethod;
    hostUser = other.hostUser;
    hostPassword = other.hostPassword;
    states = other.states;
    toolsLoc = other.toolsLoc;
    engineDir = other.engineDir;
    return *this;
}

InstallHost::~InstallHost() {
    liveHosts().erase(this);
    if (bufferedReadChannel) cleanupBufferedReadStuff();
}

void InstallHost::registerLive() {
    liveHosts().insert(this);
}

Str InstallHost::remoteReadInput() const {
    return Str(std::to_string(reinterpret_cast<uintptr_t>(this)));
}

InstallHost* InstallHost::fromRemoteReadInput(const Str& input) {
    if (input.empty()) return nullptr;
    char* end = nullptr;
    unsigned long long value = std::strtoull(input.chars(), &end, 10);
    if (*end != '\0' || value == 0) return nullptr;
    auto* host = reinterpret_cast<const InstallHost*>(uintptr_t(value));
    if (!liveHosts().count(host)) return nullptr;
    return const_cast<InstallHost*>(host);
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

AccessMethod InstallHost::access() const {
    if (argInfo.useSsh == 1) return SSH_ACCESS;
    if (accessMethod != DEFAULT_ACCESS) return accessMethod;
    return argInfo.rootPassword.empty() ? TRUSTED_HOST : USER_PASSWORD;
}

Str InstallHost::user() const {
    if (accessMethod != DEFAULT_ACCESS) return hostUser;
    if (!argInfo.defaultUser.empty()) return argInfo.defaultUser;
    return isW32() ? Str("Administrator") : ROOT;
}

Str InstallHost::password() const {
    return accessMethod != DEFAULT_ACCESS ? hostPassword : argInfo.rootPassword;
}

FSState InstallHost::getState(const InstallType& t) const {
    int i = t.index();
    return i >= 0 && i < states.length() ? states[i] : FS_UNKNOWN;
}

void InstallHost::setState(const InstallType& t, FSState state) {
    int i = t.index();
    if (i < 0) return;
    while (states.length() <= i) states.put(FS_UNKNOWN);
    states[i] = state;
}

int InstallHost::checkPath(const Str& path, const InstallType& t) const {
    if (pcInstallFlag == 1) return 1;
    if (path.empty()) return 0;
    if (isNW()) {
        int colon = path.index(':');
        if (colon >= 2 && colon <= 15) return 1;
    }
    if (path[0] == '/') return 1;
    if ((isW32() || isOS2()) && path.length() > 1 && path[1] == ':') return 1;
    recordFailure(name, 96, {path, t.entry().id});
    return 0;
}

Str InstallHost::archSpecificPart(const InstallType& t) const {
    if (!t.valid()) return Str();
    return argInfo.config.translate(this, t.entry().extraText);
}

Str keyClean(const Str& command) {
    Str clean(command);
    if (!argInfo.installPassword.empty()) clean.gsub("=" + argInfo.installPassword + ";", "=XxX;");
    const Str key("ZapPassword=");
    for (int p = clean.index(key); p >= 0; p = clean.index(key, p + key.length())) {
        int start = p + key.length();
        int end = clean.index(';', start);
        if (end < 0) end = clean.length();
        clean.at(start, end - start) = "xXx";
    }
    return clean;
}
