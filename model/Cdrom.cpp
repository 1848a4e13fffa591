#include "model/Cdrom.h"

#include <unistd.h>

#include <cstdlib>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "framework/qrx_exception.h"
#include "framework/qrx_objects.h"
#include "hosts/InstallHost.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

const char* const kIndexSuffix = ".IND";

Str shortName(const Str& host) {
    return host.contains('.') ? host.before('.') : host;
}

// The host that holds the distinguished server node's media for product
// and patch installs; empty when the framework has no such node.
Str serverManagedNode() {
    try {
        QRX_Object* node = qrx_lookup_instance("distinguished", "ServerManagedNode");
        Str label = node->label;
        qrx_object_release(node);
        return label;
    } catch (const QRX_Exception&) {
        return Str();
    }
}

// A relative medium path names a directory below the installer's working
// directory; the engine on the host reads the images after changing into
// the install location, so the path is made absolute once, here.
Str absoluteLocalPath(const Str& path) {
    bool drive = path.length() > 1 && path[1] == ':';
    if (path.empty() || path[0] == '/' || drive) return path;
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) return path;
    Str absolute = Str(cwd) + (cwd[1] ? "/" : "") + path;
    free(cwd);
    return absolute;
}

Phase runPhase(Phase phase) {
    return phase == PHASE_NONE ? Phase(argInfo.kind) : phase;
}

bool productOrPatch(Phase phase) {
    return phase == PHASE_PRODUCT || phase == PHASE_PATCH;
}

}  // namespace

Cdrom::Cdrom() = default;

Cdrom::Cdrom(const Str& host, const Str& path) : host_(host), path_(path) {}

Cdrom::Cdrom(const Str& host, const Str& path, const Str& password) {
    reset(host, path, password, nullptr, PHASE_NONE);
}

Cdrom::Cdrom(const Cdrom& other) {
    *this = other;
}

Cdrom& Cdrom::operator=(const Cdrom& other) {
    if (this == &other) return *this;
    if (!other.hostObject_) {
        hostObject_.reset();
        host_ = other.host_;
        path_ = other.path_;
        password_ = other.password_;
        return *this;
    }
    Str type = other.hostObject_->getType();
    reset(other.host_, other.path_, other.password_, type.empty() ? nullptr : type.chars(),
          PHASE_NONE);
    return *this;
}

Cdrom::~Cdrom() = default;

int Cdrom::reset(const Str& spec, Phase phase) {
    Str host = spec.contains(':') ? spec.before(':') : Str();
    Str path = spec;
    if (host.length() < 2) {
        phase = runPhase(phase);
        if (productOrPatch(phase)) {
            host = serverManagedNode();
            dbFile << "Getting ServerManagedNode ->" << host << " Phase = " << phase << std::endl;
        } else {
            host = localName();
            path = absoluteLocalPath(path);
            dbFile << "Getting localName ->" << host << " Phase = " << phase << std::endl;
        }
    } else {
        path = spec.after(':');
    }
    return reset(host, path, "", nullptr, phase);
}

int Cdrom::reset(const QRX_Install_MediaInfo& info, Phase phase) {
    bool namesType = info.kind != "cdrom" && info.kind != "tape";
    return reset(info.host, info.path, "", namesType ? info.kind.chars() : nullptr, phase);
}

int Cdrom::reset(const Str& host, const Str& path, const Str& password, const char* hostType,
                 Phase phase) {
    Str previous = host_;
    host_ = host;
    path_ = path;
    password_ = password;
    phase = runPhase(phase);
    if (hostObject_) {
        if (shortName(host) == shortName(previous)) {
            dbFile << "Reset of cdrom to same host optimized." << std::endl;
            return 1;
        }
        hostObject_.reset();
    }
    if (host.empty()) return 0;
    dbFile << "Constructing Cdrom obj: " << host << ", " << path << ", "
           << (hostType ? hostType : "(null)") << std::endl;
    bool local = isLocal(host);
    // Managed-node records of other hosts come from the recording of
    // installations; until a node is found there, product and patch media
    // must be on the local host.
    if (productOrPatch(phase) && !local) {
        hostFailures.addFailure(host, catalogMessage(InstallCatalog, 127));
        return 0;
    }
    AccessMethod access = password.empty() ? TRUSTED_HOST : USER_PASSWORD;
    hostObject_.reset(getInstallHostObject(host, "root", password, access, hostType));
    if (!hostObject_) hostFailures.addFailure(host, catalogMessage(InstallCatalog, 126));
    return hostObject_ ? 1 : 0;
}

void Cdrom::readListing(const char* file, Str& out) const {
    out = Str();
    if (hostObject_) hostObject_->readFile(path_, file, out);
    dbFile << file << ":\n" << out << std::endl;
}

void Cdrom::getContents(Str& out) const {
    readListing("CONTENTS.LST", out);
}

void Cdrom::getPatches(Str& out) const {
    readListing("PATCHES.LST", out);
}

void Cdrom::getIndex(const Str& name, Str& out) const {
    Str file = name;
    int n = file.length();
    if (n < 4 || file.from(n - 4) != kIndexSuffix) file += kIndexSuffix;
    out = Str();
    if (!hostObject_) {
        dbFile << "Warining: the index file: " << file << " was not found!" << std::endl;
        return;
    }
    hostObject_->readFile(path_, file, out);
}

Str Cdrom::name() const {
    return host_.empty() ? Str("(null)") : host_ + ":" + path_;
}
