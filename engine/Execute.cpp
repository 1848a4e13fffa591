// Carrying out the confirmed to-do list, the reboots it asked for, and the
// end-of-run clean-up of the process-wide host group.
#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/HostWorkers.h"
#include "engine/InstalledLocations.h"
#include "engine/Interrupt.h"
#include "engine/Platform.h"
#include "engine/StopRequest.h"
#include "hosts/SshMaster.h"
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

// A push streamed to several hosts at once: a step of the list of its own.
bool isMergedPush(const InstallOperation& op) {
    return op.kind == PUSH_FILEPACK && op.list.length();
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
    hostGroups.tally[host.getName().str()].failed++;
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

// The hosts of a merged push that are to get it: its own host and its
// further hosts, less those that failed earlier.
std::vector<InstallHost*> pushTargets(const InstallOperation& op,
                                      const Array<InstallHost*>& hosts) {
    std::vector<InstallHost*> targets;
    for (int n = -1; n < op.list.length(); ++n) {
        const Str& name = n < 0 ? op.host : op.list[n];
        for (int h = 0; h < hosts.length(); ++h) {
            InstallHost& host = *hosts[h];
            if (host.getName() != name) continue;
            if (host.checkFailure())
                noteSkipped(op, host);
            else
                targets.push_back(&host);
            break;
        }
    }
    return targets;
}

}  // namespace

// One image streamed to every host of a merged push; each host's result
// is its own.
void HostGroup::pushToAll(const InstallOperation& op, const Array<InstallHost*>& hosts) {
    std::vector<InstallHost*> targets = pushTargets(op, hosts);
    std::vector<int> results = pushFilePackToHosts(op, targets);
    for (size_t i = 0; i < targets.size(); ++i) {
        HostTally& t = tally[targets[i]->getName().str()];
        if (results[i]) {
            t.pushed++;
            continue;
        }
        t.failed++;
        targets[i]->setFailure();
        setFailure();
    }
}

int toDoStepEnd(const Array<InstallOperation>& ops, int from) {
    if (from >= ops.length()) return from;
    if (isMergedPush(ops[from])) return from + 1;
    int end = from;
    while (end < ops.length() && !isMergedPush(ops[end])) ++end;
    return end;
}

void HostGroup::doOp(const InstallOperation& op, InstallHost& host) {
    // A host whose push failed is left alone; the others go on.
    if (host.checkFailure()) {
        noteSkipped(op, host);
        return;
    }
    switch (op.kind) {
        case GET_FROM:
            registerExisting(op, host, "owner " + op.fromHost);
            tally[host.getName().str()].inherited++;
            break;
        case ALREADY_INSTALLED:
            registerExisting(op, host, alreadyInstalledNote(op));
            tally[host.getName().str()].installed++;
            break;
        case PUSH_FILEPACK:
            if (push(op, host)) {
                tally[host.getName().str()].pushed++;
            } else {
                tally[host.getName().str()].failed++;
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
}

// Operations from..from+run.size() in list order, host after host for
// each; true when the list was stopped.
bool HostGroup::doInTurn(const std::vector<InstallOperation>& run, int from,
                         const std::vector<InstallHost*>& hosts) {
    for (size_t j = 0; j < run.size(); ++j) {
        for (InstallHost* host : hosts) {
            if (!runsOn(run[j], *host)) continue;
            if (stopHere(from + int(j))) return true;
            doOp(run[j], *host);
            if (!run[j].host.empty()) break;
        }
    }
    return false;
}

// The same operations with the hosts side by side, each walking them in
// order; true when the list was stopped.
bool HostGroup::doSideBySide(const std::vector<InstallOperation>& run, int from,
                             const std::vector<InstallHost*>& hosts) {
    std::vector<std::string> names;
    for (InstallHost* host : hosts) names.push_back(host->getName().str());
    bool stopped = false;  // only touched under the engine lock
    runSideBySide(names, hostLimit(), [&](size_t h) {
        for (size_t j = 0; j < run.size() && !stopped; ++j) {
            if (!runsOn(run[j], *hosts[h])) continue;
            if ((stopped = stopHere(from + int(j)))) break;
            doOp(run[j], *hosts[h]);
        }
    });
    return stopped;
}

void HostGroup::doToDo() {
    dbFile << "\nExecuting to do list." << std::endl;
    statusCatalogMessage(33);
    Array<InstallHost*> none;
    const Array<InstallHost*>& hosts = entries.length() ? entries[0].hosts : none;
    bool stopped = false;
    // A push may file a removal at the end of the list; it is taken up by
    // a later step.
    for (int from = 0, end; from < ops.length() && !stopped; from = end) {
        end = toDoStepEnd(ops, from);
        if (isMergedPush(ops[from])) {
            const InstallOperation op = ops[from];
            if ((stopped = stopHere(from))) break;
            pushToAll(op, hosts);
            continue;
        }
        // Copies: the list itself may move meanwhile.
        std::vector<InstallOperation> run;
        for (int i = from; i < end; ++i) run.push_back(ops[i]);
        std::vector<InstallHost*> busy;
        for (int h = 0; h < hosts.length(); ++h) {
            bool any = false;
            for (size_t j = 0; j < run.size() && !any; ++j) any = runsOn(run[j], *hosts[h]);
            if (any) busy.push_back(hosts[h]);
        }
        for (size_t j = 0; j < run.size(); ++j) {
            bool matched = false;
            for (InstallHost* host : busy) matched = matched || runsOn(run[j], *host);
            if (!matched) dbFile << "Can't find host for op " << from + int(j) << std::endl;
        }
        stopped = hostLimit() > 1 && busy.size() > 1 ? doSideBySide(run, from, busy)
                                                     : doInTurn(run, from, busy);
    }
    // An interrupted run counts as not gone on: what the check made and
    // nothing filled is removed at clean-up.
    if (interruptSignal()) return;
    carriedOut = 1;
    dbFile << "Done executing to do list." << std::endl;
}

void HostGroup::tellSummary(std::ostream& out) const {
    if (entries.length() == 0) return;
    const Array<InstallHost*>& hosts = entries[0].hosts;
    for (int h = 0; h < hosts.length(); ++h) {
        auto found = tally.find(hosts[h]->getName().str());
        HostTally t = found == tally.end() ? HostTally() : found->second;
        out << " " << hosts[h]->getName() << ": " << t.pushed << " pushed, " << t.installed
            << " already installed, " << t.inherited << " inherited, " << t.failed << " failed"
            << (hosts[h]->checkFailure() ? " (host failed)" : "") << std::endl;
    }
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
    // cleanUp leaves the group without hosts, entries and operations.
    hostGroups.cleanUp();
    closeSshMasters();
    hostFailures.clear();
}
