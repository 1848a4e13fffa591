// Planning the to-do list: scouting every host, deciding per host and type,
// and filing operations in the host group.
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/HostWorkers.h"
#include "engine/Platform.h"
#include "framework/qrx_exception.h"
#include "hosts/HostMessages.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

// Free space assumed on a PC host, which is not probed.
constexpr int kPcFreeKB = 30000;

enum MultiplexMode { MULTIPLEX_UNSETTLED, MULTIPLEX_OFF, MULTIPLEX_ON };
MultiplexMode multiplexMode = MULTIPLEX_UNSETTLED;

bool multiplexing() {
    if (multiplexMode == MULTIPLEX_UNSETTLED) {
        Str value = argInfo.config.translate(nullptr, "@Multiplex@");
        bool on = !value.empty() && value != "no" && value != "No";
        multiplexMode = on ? MULTIPLEX_ON : MULTIPLEX_OFF;
    }
    return multiplexMode == MULTIPLEX_ON;
}

const Str& typeName(const InstallType& type) {
    return type.entry().id;
}

// a + b, held at the limits: sizes come from the index and from the
// hosts' disk reports, and no crafted number may wrap the comparison.
std::int64_t heldSum(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? INT64_MAX : INT64_MIN;
}
std::int64_t heldDifference(std::int64_t a, std::int64_t b) {
    std::int64_t difference;
    if (!__builtin_sub_overflow(a, b, &difference)) return difference;
    return b < 0 ? INT64_MAX : INT64_MIN;
}

bool samePackage(const FilePack& a, const FilePack& b) {
    return a.fileNumber() == b.fileNumber() && a.arch() == b.arch() &&
           a.installType() == b.installType();
}

// Failure 116 for the host, followed by 118 carrying the exception.
void recordUnreachable(const Str& host, const QRX_Exception& e) {
    Message m = installMessage(116, {host});
    QRX_MsgArg inner = qrx_arg_message(e.message());
    m.add_msg(qrx_msg_new(InstallCatalog.name, InstallCatalog.text(118), 118, &inner, 1), 1);
    hostFailures.addFailure(host, m);
}

Array<Str> pcTargets(const InstallHost& host) {
    Array<Str> targets;
    if (host.getType() != "ipx") {
        dbFile << "pcFigureOutWhatToDo - Single filepack distribution" << std::endl;
        targets.put(host.getType());
        return targets;
    }
    dbFile << "pcFigureOutWhatToDo - Multi-filepack distribution" << std::endl;
    dbFile << "Looking up NWMS " << host.getName() << "..." << std::endl;
    Array<Str> clients = netWareSiteClients(host.getName());
    for (int i = 0; i < clients.length(); ++i) {
        Str platform = clients[i].after(';');
        if (platform.contains(';')) platform = platform.before(';');
        dbFile << "NWMS Client -> " << platform << std::endl;
        bool known = false;
        for (int k = 0; k < targets.length() && !known; ++k) known = targets[k] == platform;
        if (!known) targets.put(platform);
    }
    return targets;
}

}  // namespace

void resetMultiplexMode() {
    multiplexMode = MULTIPLEX_UNSETTLED;
}

namespace {

// The milestone naming the host being looked at.
void tellInspecting(const InstallHost& host) {
    Message inspecting = catalogMessage(InstallOpsCatalog, 8, Array<Str>().put(host.getName()));
    milestone(inspecting.qrx_msg());
}

}  // namespace

void HostGroup::figureOutWhatToDo() {
    if (entries.length() == 0) return;
    dbFile << "Gathering and processing install data" << std::endl;
    if (!scoutSideBySide()) scoutInTurn();
    checkStates();
}

void HostGroup::scoutInTurn() {
    Array<Str> paths;
    for (int i = 0; i < InstallType::data.length(); ++i) paths.put(Str());
    for (int i = 0; i < entries[0].hosts.length(); ++i) {
        InstallHost& host = *entries[0].hosts[i];
        tellInspecting(host);
        if (host.pcInstall()) {
            dbFile << "Trying to communicate with -> " << host.getName() << std::endl;
            try {
                pcFigureOutWhatToDo(paths, entries, i);
            } catch (const QRX_Exception& e) {
                dbFile << "PC MILESTONE exception: " << e.text() << std::endl;
                recordUnreachable(host.getName(), e);
            }
        } else {
            entries[0].processScoutInfo(host, host.scoutForInstall());
        }
    }
}

bool HostGroup::scoutSideBySide() {
    const Array<InstallHost*>& hosts = entries[0].hosts;
    if (hostLimit() <= 1 || hosts.length() < 2) return false;
    // A PC host is looked at in ways of its own, which keep to the order.
    for (int i = 0; i < hosts.length(); ++i)
        if (hosts[i]->pcInstall()) return false;
    // Scripts and what the hosts say are dealt with host after host, as
    // when the hosts went one by one; only the runs overlap.
    std::vector<Str> scripts, outputs(size_t(hosts.length()));
    std::vector<std::string> names;
    for (int i = 0; i < hosts.length(); ++i) {
        scripts.push_back(hosts[i]->scoutScript());
        names.push_back(hosts[i]->getName().str());
    }
    std::exception_ptr failed;
    runSideBySide(names, hostLimit(), [&](size_t i) {
        InstallHost& host = *hosts[int(i)];
        tellInspecting(host);
        try {
            outputs[i] = host.runScout(scripts[i]);
        } catch (...) {
            // Not thrown through the worker; the first goes on to the caller.
            if (!failed) failed = std::current_exception();
        }
    });
    if (failed) std::rethrow_exception(failed);
    for (int i = 0; i < hosts.length(); ++i)
        entries[0].processScoutInfo(*hosts[i], outputs[size_t(i)]);
    return true;
}

void HostGroup::checkStates() {
    dbFile << "Checking for errors:" << std::endl;
    const OperationInfo& index = runIndex();
    for (int j = 0; j < entries.length(); ++j) {
        for (int i = 0; i < InstallType::data.length(); ++i) {
            InstallType type(i);
            DistKind k = index.kind(type, entries[j].key);
            if (k == DIST_NONE) continue;
            if ((j == 0) == (k == ARCH_SPECIFIC)) continue;
            entries[j].checkStates(type);
        }
    }
    dbFile << "Done checking for errors." << std::endl;
}

void HostGroup::putOp(const InstallOperation& op, const char* archHint) {
    bool multiplex = multiplexing();
    DistKind kind = DIST_NONE;
    Str name;
    switch (op.kind) {
        case PUSH_FILEPACK:
        case GET_FROM:
        case ALREADY_INSTALLED: {
            const FilePack& fp = findFilePackSpecific(op.type, op.hostType, op.host);
            kind = fp.kind();
            name = fp.arch();
            if (kind == DIST_NONE) {
                recordFailure(op.host, 112, {typeName(op.type)});
                break;
            }
            if (op.kind != PUSH_FILEPACK || !multiplex) break;
            for (int i = 0; i < ops.length(); ++i) {
                InstallOperation& other = ops[i];
                if (other.kind != PUSH_FILEPACK || !samePackage(other.filePack, op.filePack) ||
                    other.fs.clientPath != op.fs.clientPath)
                    continue;
                dbFile << "piggybacked push to " << op.host << " onto push to " << other.host
                       << std::endl;
                other.list.put(op.host);
                return;
            }
            break;
        }
        case EXEC_SCRIPT:
            kind = op.script.kind();
            name = op.script.arch();
            break;
        case RM_FILE:
            for (int i = 0; i < ops.length(); ++i) {
                InstallOperation& other = ops[i];
                if (other.kind != RM_FILE || other.host != op.host) continue;
                for (int f = 0; f < op.list.length(); ++f) other.list.put(op.list[f]);
                return;
            }
            kind = MACHINE_SPECIFIC;
            break;
        default:
            break;
    }
    int entry = -1;
    if (kind == MACHINE_SPECIFIC || kind == MACHINE_INDEPENDENT) {
        entry = 0;
    } else if (kind == ARCH_SPECIFIC) {
        bool ipx = archHint && strcmp(archHint, "ipx") == 0;
        for (int j = 1; j < entries.length() && entry < 0; ++j) {
            const Str& key = entries[j].key;
            if (ipx ? key == "ipx" : name.index(key) == 0) entry = j;
        }
        if (entry < 0) return;
    } else {
        dbFile << "Trying to putOp a bogus op!!!" << std::endl;
        return;
    }
    ops.put(op);
    entries[entry].opIndexes.put(ops.length() - 1);
}

void HostGroup::addGetFrom(const Str& fromHost, InstallHost& host, const InstallType& type) {
    host.setState(type, FS_FAILED);
    InstallHost* source = getHost(fromHost);
    if (!source) {
        dbFile << "don't know about host: " << fromHost << std::endl;
        recordFailure(host.getName(), 108, {typeName(type), fromHost});
        return;
    }
    for (int j = 0; j < entries.length(); ++j) {
        HostGroupEntry& e = entries[j];
        if (j != 0 && e.key != source->getType()) continue;
        DistKind k = findFilePackSpecific(type, e.key, host.getName()).kind();
        if (k == DIST_NONE) continue;
        if (k == MACHINE_SPECIFIC) {
            recordFailure(host.getName(), 109, {typeName(type), fromHost});
            return;
        }
        if (k == ARCH_SPECIFIC && host.getType() != source->getType()) {
            recordFailure(host.getName(), 110, {typeName(type), fromHost});
            return;
        }
        ops.put(opGetFrom(type, fromHost, host.getName(), e.key));
        e.opIndexes.put(ops.length() - 1);
        host.setState(type, FS_GETFROM);
        return;
    }
    recordFailure(host.getName(), 111, {typeName(type), fromHost});
}

int HostGroup::isEnoughDisk(const FileSystemInfo& fs, std::int64_t needed) const {
    dbFile << "isEnough looking at fsi " << fs << std::endl;
    std::int64_t used = 0;
    for (int i = 0; i < ops.length(); ++i) {
        const InstallOperation& op = ops[i];
        if (op.kind != PUSH_FILEPACK || op.fs.serverMountedOn != fs.serverMountedOn ||
            op.fs.server != fs.server)
            continue;
        dbFile << "isEnough added fsi " << op.fs << std::endl;
        used = heldSum(used, op.filePack.sizeKB());
    }
    std::int64_t left = heldDifference(fs.kbytesFree, used);
    dbFile << "isEnough needed=" << needed << " free=" << left << std::endl;
    return needed <= left ? 1 : 0;
}

void pcFigureOutWhatToDo(Array<Str>& paths, Array<HostGroupEntry>& entries, int hostIndex) {
    InstallHost& host = *entries[0].hosts[hostIndex];
    HostGroup& group = *entries[0].group;
    for (int i = 0; i < InstallType::data.length(); ++i) {
        const Str& path = InstallType(i).entry().path;
        if (!path.empty()) paths[i] = path;
    }
    bool ipx = host.getType() == "ipx";
    for (int i = 0; i < InstallType::data.length(); ++i) {
        InstallType type(i);
        if (paths[i].empty() || type.variable() || !host.checkPath(paths[i], type)) continue;
        FileSystemInfo fs;
        fs.server = fs.client = fs.mountedOn = host.getName();
        fs.serverPath = fs.clientPath = paths[i];
        fs.kbytesFree = kPcFreeKB;
        Array<Str> targets;
        try {
            targets = pcTargets(host);
        } catch (const QRX_Exception& e) {
            recordUnreachable(host.getName(), e);
            dbFile << "FAILURE: Looking for/talking to NWMS" << std::endl;
            return;
        }
        for (int k = 0; k < targets.length(); ++k) {
            dbFile << "Looking for filepack for type " << targets[k] << std::endl;
            InstallOperation op = opDoFilePack(type, fs, targets[k], Str());
            if (op.kind != OP_INVALID) {
                host.setState(type, FS_PUSH);
                group.putOp(op, ipx ? "ipx" : nullptr);
                dbFile << "QUEUEDFORINSTALL" << std::endl;
            } else {
                host.setState(type, FS_FAILED);
                dbFile << "FAILURE" << std::endl;
            }
        }
    }
}
