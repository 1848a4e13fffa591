#include "engine/HostGroup.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostWorkers.h"
#include "engine/Timer.h"
#include "hosts/HostMessages.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

HostGroup hostGroups;

namespace {

const Str& typeName(const InstallType& type) {
    return type.entry().id;
}

// The first line of text, which loses it with its newline; a last line
// without a newline is dropped.
Str cutLine(Str& text) {
    int nl = text.index('\n');
    if (nl < 0) {
        text = Str();
        return Str();
    }
    Str line = text.before(nl);
    text = text.after(nl);
    return line;
}

// Adds path to the missing-directories message 105 already recorded for
// host; 0 when the host has no such message.
int extendMissingDirectories(const Str& host, const Str& path) {
    QRX_Types_XOpenMessageRecord* r =
        qrx_msg_find(hostFailures.host_msg(host), InstallCatalog.name, 105);
    if (!r) return 0;
    for (size_t i = 0; i < r->argCount; ++i) {
        if (r->args[i].text && path == r->args[i].text) {
            dbFile << path << " already on failure list." << std::endl;
            return 1;
        }
    }
    QRX_MsgArg arg = qrx_arg_text(path.chars());
    qrx_msg_add_arg(r, &arg);
    dbFile << "path added to existing messsage." << std::endl;
    return 1;
}

void noteCreateFailure(InstallHost& host, const InstallType& type) {
    dbFile << "creation failure on type " << type << std::endl;
    if (!extendMissingDirectories(host.getName(), type.entry().path))
        recordFailure(host.getName(), 105, {type.myPath(&host)});
    host.setState(type, FS_FAILED);
}

// Whether dir, which the scout of a host reports as made for a type, is
// that type's location there or one of its parents: only such a directory
// is ever removed again. A "." or ".." component never passes.
bool isLocationOrParent(const Str& dir, const Str& location) {
    if (dir.empty() || dir[0] != '/') return false;
    const std::string components = dir.str() + "/";
    if (components.find("/./") != std::string::npos || components.find("/../") != std::string::npos)
        return false;
    if (dir == location) return true;
    return location.index(dir[dir.length() - 1] == '/' ? dir : dir + "/") == 0;
}

Message opsMessage(long n, const Str& arg) {
    Array<Str> a;
    a.put(arg);
    return catalogMessage(InstallOpsCatalog, n, a);
}

}  // namespace

HostGroupEntry::HostGroupEntry() : key("BOGUS HOST") {}

HostGroupEntry::HostGroupEntry(InstallHost* host, HostGroup* owner)
    : key(host->getType()), group(owner) {
    hosts.put(host);
}

void HostGroupEntry::addHost(InstallHost* host) {
    if (host->getName() == argInfo.serverName)
        hosts.push(host);
    else
        hosts.put(host);
}

void HostGroup::addHost(InstallHost* host) {
    if (!host) return;
    HostGroupEntry entry(host, this);
    if (entries.length() == 0) {
        entries.put(entry);
        entries[0].key = "independent";
    } else {
        entries[0].addHost(host);
        for (int i = 1; i < entries.length(); ++i) {
            if (entries[i].key == host->getType()) {
                entries[i].addHost(host);
                return;
            }
        }
    }
    if (host->pcInstall())
        dbFile << "PC INSTALL (AddHost): Setting hostType to " << host->getType() << std::endl;
    entries.put(entry);
}

InstallHost* HostGroup::getHost(const Str& name) const {
    if (entries.length() == 0) return nullptr;
    const Array<InstallHost*>& hosts = entries[0].hosts;
    for (int i = 0; i < hosts.length(); ++i)
        if (hosts[i]->getName() == name) return hosts[i];
    return nullptr;
}

Str HostGroup::hostArchitecture(const Str& name) const {
    InstallHost* h = getHost(name);
    return h ? h->getType() : Str();
}

int HostGroup::haveW32() const {
    if (entries.length() == 0) return 0;
    const Array<InstallHost*>& hosts = entries[0].hosts;
    for (int i = 0; i < hosts.length(); ++i)
        if (hosts[i]->isW32()) return 1;
    return 0;
}

void HostGroupEntry::processScoutInfo(InstallHost& host, Str output) {
    dbFile << "Processing scout information" << std::endl;
    t.elapsed("");
    while (!output.empty()) {
        Str line = cutLine(output);
        if (line.empty() && output.empty()) break;
        dbFile << "line: " << line << std::endl;
        Str status = line.before(':');
        Str rest = line.after(':');
        Str getfrom;
        if (rest.contains(':')) {
            getfrom = rest.before(':');
            rest = rest.after(':');
        }
        dbFile << "status=" << status << " getfrom=" << getfrom << " rest=" << rest << std::endl;
        if (status == "MADE") {
            noteMade(host, getfrom, rest);
            continue;
        }
        int id = InstallType::id(rest);
        if (id < 0) {
            dbFile << "Bad install type " << rest << std::endl;
            continue;
        }
        InstallType type(id);
        dbFile << " type: " << type << std::endl;
        if (status == "CREATE_FAILURE") {
            noteCreateFailure(host, type);
        } else if (status == "READONLY") {
            host.setState(type, FS_READONLY);
        } else if (status == "INSTALLED" || status == "PUSHED") {
            Str from = status == "PUSHED" ? getfrom : Str();
            group->putOp(opAlreadyInstalled(type, from, host.getName(), host.getType()), nullptr);
            host.setState(type, FS_INSTALLED);
        } else if (status == "GETFROM" && getfrom != host.getName()) {
            group->addGetFrom(getfrom, host, type);
        } else if (status == "GETFROM") {
            planPush(host, type, output);
        }
    }
    dbFile << "processScoutInfo done\n" << std::endl;
    t.elapsed("");
}

void HostGroupEntry::noteMade(const InstallHost& host, const Str& typeId, const Str& dir) {
    InstallType type(InstallType::id(typeId));
    if (!type.valid() || !isLocationOrParent(dir, host.archPath(type, '/'))) {
        dbFile << "not a location of " << typeId << ", never removed: " << dir << std::endl;
        return;
    }
    Array<MadeDirectory>& made = group->made;
    for (int i = 0; i < made.length(); ++i)
        if (made[i].host == host.getName() && made[i].path == dir) return;
    made.put(MadeDirectory{host.getName(), dir});
}

void HostGroupEntry::planPush(InstallHost& host, const InstallType& type, Str& output) {
    Str rest = output;
    Str dfLine = cutLine(rest);
    FileSystemInfo fs;
    if (host.processDfSequence(dfLine, fs, type.index())) {
        output = rest;
        InstallOperation op = opDoFilePack(type, fs, host.getType(), Str());
        if (op.kind != OP_INVALID) {
            host.setState(type, FS_PUSH);
            group->putOp(op, nullptr);
        } else {
            host.setState(type, FS_FAILED);
        }
    } else {
        recordFailure(host.getName(), 106, {type.entry().path});
        host.setState(type, FS_FAILED);
    }
    group->putOp(opRmFile(type, host.probeFileWithPath(type), host.getName()), nullptr);
}

void HostGroupEntry::checkStates(const InstallType& type) {
    if (type.variable()) return;
    bool planningByPath = argInfo.kind != 3 && argInfo.kind != 4;
    if (planningByPath && type.entry().path.empty()) {
        dbFile << "check skipping type " << type << " arch " << key << std::endl;
        return;
    }
    dbFile << "check working on type " << type << " arch " << key << std::endl;
    for (int i = 0; i < hosts.length(); ++i) {
        InstallHost& host = *hosts[i];
        Str location = host.archPath(type, '/');
        if (location.empty() || host.getState(type) != FS_READONLY) continue;
        Str content;
        host.readFile(location, host.probeFile() + typeName(type), content);
        Str installer = content.after(':');
        if (installer.contains('\n')) installer = installer.before('\n');
        // A claim of this very host is not an installation: it was left by
        // a run that never pushed (declined, interrupted), and a host never
        // inherits a type from itself.
        if (content.contains(':') && installer != host.getName()) {
            group->addGetFrom(installer, host, type);
        } else {
            host.setState(type, FS_FAILED);
            recordFailure(host.getName(), 107, {location});
        }
    }
}

void HostGroup::tellToDo(std::ostream& out) {
    out << catalogMessage(InstallOpsCatalog, 1) << "\n";
    bool headers = argInfo.kind != 1;
    for (int j = 0; j < entries.length(); ++j) {
        const HostGroupEntry& e = entries[j];
        bool ipx = e.key == "ipx";
        if (headers) {
            Str key = ipx ? Str(catalogMessage(InstallOpsCatalog, 92).bound_msg()) : e.key;
            out << opsMessage(73, key) << catalogMessage(InstallOpsCatalog, 74);
            for (int h = 0; h < e.hosts.length(); ++h)
                out << (h ? ", " : "") << e.hosts[h]->getName();
            out << "\n";
        }
        for (int k = 0; k < e.opIndexes.length(); ++k)
            ops[e.opIndexes[k]].tellOp(out, headers && ipx ? 1 : 0);
        if (headers && e.opIndexes.length() == 0) out << catalogMessage(InstallOpsCatalog, 75);
    }
}

Message* HostGroup::toDoMessage() const {
    Message* result = new Message(catalogMessage(InstallOpsCatalog, argInfo.yes ? 9 : 1));
    bool any = false;
    for (int j = 0; j < entries.length(); ++j) {
        const HostGroupEntry& e = entries[j];
        for (int k = 0; k < e.opIndexes.length(); ++k) {
            Message* m = ops[e.opIndexes[k]].opMessage();
            if (!m) continue;
            result->add_msg(*m);
            delete m;
            any = true;
        }
    }
    if (!any) *result = catalogMessage(InstallOpsCatalog, 2);
    return result;
}

void HostGroup::cleanUp() {
    dbFile << "\nExecuting any RM_FILE commands:" << std::endl;
    Array<InstallHost*> none;
    Array<InstallHost*>& hosts = entries.length() ? entries[0].hosts : none;
    for (int i = 0; i < ops.length(); ++i) {
        const InstallOperation& op = ops[i];
        if (!getHost(op.host))
            dbFile << "Can't find host for op " << i << std::endl;
        else if (op.kind != RM_FILE && (op.kind < GET_FROM || op.kind > ALREADY_INSTALLED))
            dbFile << "bogus operation!!!" << std::endl;
    }
    std::vector<std::string> names;
    for (int h = 0; h < hosts.length(); ++h) names.push_back(hosts[h]->getName().str());
    forEachHost(names, [&](size_t h) { cleanUpHost(*hosts[int(h)]); });
    while (hosts.length()) delete hosts.pop();
    entries = Array<HostGroupEntry>();
    ops = Array<InstallOperation>();
    tally.clear();
    made = Array<MadeDirectory>();
    carriedOut = 0;
    dbFile << "Done executing any RM_FILE commands." << std::endl;
}

void HostGroup::cleanUpHost(InstallHost& host) {
    // The engine copied for this run goes with its private directory.
    host.removeEngineDir();
    for (int i = 0; i < ops.length(); ++i) {
        const InstallOperation& op = ops[i];
        if (op.kind != RM_FILE || op.host != host.getName()) continue;
        if (host.isOS2()) host.rmFile(host.getToolsLoc().before('/'), "MNTOOLS");
        host.rmFiles(op.list);
    }
    if (!carriedOut) removeMadeDirectories(host);
}

void HostGroup::removeMadeDirectories(InstallHost& host) {
    std::vector<Str> dirs;
    for (int i = 0; i < made.length(); ++i)
        if (made[i].host == host.getName()) dirs.push_back(made[i].path);
    if (dirs.empty()) return;
    // Children first; rmdir leaves any directory that is not empty, so
    // nothing put there meanwhile is lost.
    std::stable_sort(dirs.begin(), dirs.end(),
                     [](const Str& a, const Str& b) { return a.length() > b.length(); });
    Array<Str> list;
    for (const Str& d : dirs) list.put(d);
    dbFile << "removing the directories the check phase made on " << host.getName() << std::endl;
    host.rmDirs(list);
}
