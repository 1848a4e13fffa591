#include "engine/server_cli.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/HostWorkers.h"
#include "engine/InstalledLocations.h"
#include "engine/Interrupt.h"
#include "engine/Recording.h"
#include "engine/Timer.h"
#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

// The report was printed before the confirmation; a push that failed
// since must reach the user too.
void reportExecutionFailures(std::ostream& out) {
    if (!hostGroups.checkandresetFailure()) return;
    hostFailures.logReasons(dbFile);
    hostFailures.logReasons(out);
}

}  // namespace

void getInstallLock() {}

namespace {

// The numeric setting @name@ when it is given and lies in low..high; a
// value out of range or not a number is logged and ignored.
bool numberSetting(const char* name, long low, long high, const char* unit, long& number) {
    Str value = argInfo.config.translate(nullptr, Str("@") + name + "@");
    if (value.empty()) return false;
    char* end = nullptr;
    errno = 0;
    number = strtol(value.chars(), &end, 10);
    if (errno || end == value.chars() || *end || number < low || number > high) {
        dbFile << name << " " << value << " ignored: not " << low << " to " << high << unit << "."
               << std::endl;
        return false;
    }
    return true;
}

}  // namespace

void applyCommandIdleLimit() {
    long seconds;
    if (!numberSetting("CommandIdleLimit", 1, 86400, " seconds", seconds)) return;
    setCommandIdleLimit(int(seconds));
    dbFile << "Idle limit of a command: " << seconds << " seconds." << std::endl;
}

void applyHostLimit() {
    long hosts;
    if (!numberSetting("HostLimit", 1, kMostHostsAtOnce, "", hosts)) return;
    setHostLimit(int(hosts));
    dbFile << "Hosts worked on at once: " << hosts << "." << std::endl;
}

void zpiBuildHosts(const std::vector<Str>& names) {
    // Each host is reached and identified on its own, side by side; they
    // join the group in the order named.
    std::vector<std::string> tags;
    for (const Str& name : names) tags.push_back(name.str());
    std::vector<InstallHost*> built(names.size(), nullptr);
    forEachHost(tags, [&](size_t i) {
        dbFile << "Processing host " << names[i] << "..." << std::endl;
        built[i] = getInstallHostObject(names[i], "root", nullptr, DEFAULT_ACCESS, nullptr);
    });
    for (size_t i = 0; i < names.size(); ++i) {
        if (built[i])
            hostGroups.addHost(built[i]);
        else
            hostFailures.addFailure(names[i], catalogMessage(InstallOpsCatalog, 95));
    }
}

std::vector<Str> hostWordNames() {
    std::vector<Str> names;
    for (int i = 0; i < argInfo.hosts.length(); ++i) {
        Str name = hostWordName(argInfo.hosts[i]);
        if (name.empty()) continue;
        // A host named twice, or the server named again, is one host.
        bool seen = name == argInfo.serverName || hostGroups.getHost(name);
        for (size_t j = 0; j < names.size() && !seen; ++j) seen = names[j] == name;
        if (seen) {
            dbFile << "Host " << name << " named again: installed once." << std::endl;
            continue;
        }
        names.push_back(name);
    }
    return names;
}

void zpi_install_check(int argc, char** argv, std::ostream& out) {
    t.elapsed("Entering ZPI install check");
    getInstallLock();
    zpiGetArgs(argc, argv);
    applyCommandIdleLimit();
    applyHostLimit();
    if (argInfo.serverName.empty())
        argInfo.serverName = argInfo.config.translate(nullptr, "@ZPI_NAME@");
    if (argInfo.serverName.empty()) {
        out << catalogMessage(InstallOpsCatalog, 78);
        dbFile << "Missing ZPI host argument." << std::endl;
    } else {
        std::vector<Str> names = hostWordNames();
        names.insert(names.begin(), argInfo.serverName);
        zpiBuildHosts(names);
    }
    hostGroups.figureOutWhatToDo();
    hostFailures.logReasons(dbFile);
    hostFailures.logReasons(out);
    hostGroups.tellToDo(dbFile);
    hostGroups.tellToDo(out);
    t.elapsed("Exiting ZPI install check");
}

void zpi_install_doit() {
    t.elapsed("Entering ZPI install doit");
    hostGroups.doToDo();
    reportExecutionFailures(std::cout);
    hostGroups.tellSummary(dbFile);
    hostGroups.tellSummary(std::cout);
    if (interruptSignal()) {
        t.elapsed("Exiting ZPI install doit (interrupted)");
        return;
    }
    InstallHost* server = hostGroups.getHost(argInfo.serverName);
    if (server)
        recordInstallation(*server);
    else
        dbFile << "No install host for server " << argInfo.serverName
               << ": installation not recorded." << std::endl;
    // A host whose engine asked for a reboot is named in the log; it is
    // rebooted only when the user agrees.
    hostGroups.handleReboots();
    t.elapsed("Exiting ZPI install doit");
}

int zpiExitStatus() {
    // Without a server nothing could be planned: the input was wrong.
    if (argInfo.serverName.empty()) return 2;
    return hostFailures.anyFailure() ? 1 : 0;
}

void zpi_goodbye() {
    t.elapsed("Entering goodbye");
    CleanUp();
    // A second run in one process (the window front end) starts afresh.
    clearInstalledLocations();
    t.elapsed("Exiting goodbye");
}
