// Carrying out the confirmed to-do list, the reboots it asked for, and the
// end-of-run clean-up of the process-wide host group.
#include <string>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/InstalledLocations.h"
#include "engine/Interrupt.h"
#include "engine/Platform.h"
#include "engine/StopRequest.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"
#include "model/FilePack.h"

namespace {

// Whether op runs on host: a named operation on that host only, an
// unnamed one on every host the type is valid for.
bool runsOn(const InstallOperation& op, const InstallHost& host) {
    if (!op.host.empty()) return op.host == host.getName();
    bool server = host.getName() == argInfo.serverName;
    switch (op.type.entry().validFor) {
        case BOTH:
            return true;
        case CLIENT:
            return !server;
        case SERVER:
            return server;
        default:
            return false;
    }
}

// Records that the type of op is in place on host without a push.
void registerExisting(const InstallOperation& op, const InstallHost& host, const Str& note) {
    const FilePack& pack = findFilePackSpecific(op.type, op.hostType, host.getName());
    RegisterInstalled(host.getName(), host.archPathPair(op.type), op.type.entry().id, op.hostType,
                      pack.pathToDescription(), note);
}

// Checked before each operation on each host; the first time it holds,
// the user hears that the rest of the list is left out.
// A signal ends the list at once; a front end's stop request lets the
// operation under way end first (it is checked between operations too).
bool stopHere(int opIndex) {
    if (interruptSignal()) {
        dbFile << "Interrupted: operations from " << opIndex << " on not done." << std::endl;
        return true;
    }
    if (!stopRequested()) return false;
    dbFile << "Stop requested: to do list left at operation " << opIndex << "." << std::endl;
    status("Install stopped: the remaining operations were not carried out.\n");
    return true;
}

Str alreadyInstalledNote(const InstallOperation& op) {
    return op.fromHost.empty() ? Str("found") : "fowner " + op.fromHost;
}

// Names op in the failure record of a host that failed earlier; removals
// run at clean-up time whatever happened.
void noteSkipped(InstallOperation op, const InstallHost& host) {
    if (op.kind == RM_FILE) return;
    op.host = host.getName();  // an unnamed operation names no host of its own
    Message* what = op.opMessage();
    hostFailures.addSkipped(host.getName(),
                            what ? *what : catalogMessage(InstallCatalog, 282, {op.script.name()}));
    delete what;
}

// 0 when a push failed; the host then takes no further operation.
int push(const InstallOperation& op, InstallHost& host) {
    Str line = op.filePack.dump();
    if (host.getType() == "ipx") line += " (" + op.filePack.arch() + ")";
    status(line + " --> " + host.getName() + "\n ");
    return host.pushFilePack(op);
}

}  // namespace

void HostGroup::doToDo() {
    dbFile << "\nExecuting to do list." << std::endl;
    statusCatalogMessage(33);
    Array<InstallHost*> none;
    const Array<InstallHost*>& hosts = entries.length() ? entries[0].hosts : none;
    bool stopped = false;
    for (int i = 0; i < ops.length() && !stopped; ++i) {
        // A copy: a push may file a removal, which can move the list.
        const InstallOperation op = ops[i];
        bool matched = false;
        for (int h = 0; h < hosts.length(); ++h) {
            InstallHost& host = *hosts[h];
            if (!runsOn(op, host)) continue;
            matched = true;
            if ((stopped = stopHere(i))) break;
            // A host whose push failed is left alone; the others go on.
            if (host.checkFailure()) {
                noteSkipped(op, host);
                continue;
            }
            switch (op.kind) {
                case GET_FROM:
                    registerExisting(op, host, "owner " + op.fromHost);
                    break;
                case ALREADY_INSTALLED:
                    registerExisting(op, host, alreadyInstalledNote(op));
                    break;
                case PUSH_FILEPACK:
                    if (!push(op, host)) {
                        host.setFailure();
                        setFailure();
                    }
                    break;
                case EXEC_SCRIPT:
                    // A script's outcome stops nothing.
                    host.runScript(op.script);
                    break;
                case RM_FILE:
                    dbFile << "\ndoToDo: I'm going to rm, at cleanup time\n\t" << op.host << ':'
                           << op.list[0] << std::endl;
                    break;
                default:
                    dbFile << "bogus operation!!!" << std::endl;
                    break;
            }
            if (!op.host.empty()) break;
        }
        if (!matched) dbFile << "Can't find host for op " << i << std::endl;
    }
    // An interrupted run counts as not gone on: what the check made and
    // nothing filled is removed at clean-up.
    if (interruptSignal()) return;
    carriedOut = 1;
    dbFile << "Done executing to do list." << std::endl;
}

void HostGroup::handleReboots() {
    Array<InstallHost*> waiting;
    Array<Str> names;
    Str listed;
    if (entries.length()) {
        const Array<InstallHost*>& hosts = entries[0].hosts;
        for (int h = 0; h < hosts.length(); ++h) {
            if (!hosts[h]->rebootNeeded()) continue;
            waiting.put(hosts[h]);
            names.put(hosts[h]->getName());
            listed += " " + hosts[h]->getName();
        }
    }
    if (names.length() == 0) return;
    dbFile << "hosts needing a reboot:" << listed << std::endl;
    if (!confirmedReboot(names)) {
        dbFile << "reboot not confirmed, no host rebooted." << std::endl;
        return;
    }
    for (int h = 0; h < waiting.length(); ++h) {
        status("rebooting " + waiting[h]->getName() + "\n");
        waiting[h]->reboot();
    }
}

void CleanUp() {
    // The engines copied for this run go with their private directories.
    if (hostGroups.entries.length()) {
        Array<InstallHost*>& hosts = hostGroups.entries[0].hosts;
        for (int h = 0; h < hosts.length(); ++h) hosts[h]->removeEngineDir();
    }
    // cleanUp leaves the group without hosts, entries and operations.
    hostGroups.cleanUp();
    hostFailures.clear();
}
