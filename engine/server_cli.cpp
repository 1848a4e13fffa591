#include "engine/server_cli.h"

#include <cstdlib>
#include <iostream>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
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

void applyCommandIdleLimit() {
    Str value = argInfo.config.translate(nullptr, "@CommandIdleLimit@");
    if (value.empty()) return;
    char* end = nullptr;
    long seconds = strtol(value.chars(), &end, 10);
    if (*end || seconds < 1 || seconds > 86400) {
        dbFile << "CommandIdleLimit " << value << " ignored: not 1 to 86400 seconds." << std::endl;
        return;
    }
    setCommandIdleLimit(int(seconds));
    dbFile << "Idle limit of a command: " << seconds << " seconds." << std::endl;
}

void zpiBuildHost(const Str& name) {
    dbFile << "Processing host " << name << "..." << std::endl;
    InstallHost* host = getInstallHostObject(name, "root", nullptr, DEFAULT_ACCESS, nullptr);
    if (host)
        hostGroups.addHost(host);
    else
        hostFailures.addFailure(name, catalogMessage(InstallOpsCatalog, 95));
}

void zpiBuildHosts() {
    for (int i = 0; i < argInfo.hosts.length(); ++i) {
        Str name = hostWordName(argInfo.hosts[i]);
        if (name.empty()) continue;
        // A host named twice, or the server named again, is one host.
        bool seen = name == argInfo.serverName || hostGroups.getHost(name);
        for (int j = 0; j < i && !seen; ++j) seen = hostWordName(argInfo.hosts[j]) == name;
        if (seen) {
            dbFile << "Host " << name << " named again: installed once." << std::endl;
            continue;
        }
        zpiBuildHost(name);
    }
}

void zpi_install_check(int argc, char** argv, std::ostream& out) {
    t.elapsed("Entering ZPI install check");
    getInstallLock();
    zpiGetArgs(argc, argv);
    applyCommandIdleLimit();
    if (argInfo.serverName.empty())
        argInfo.serverName = argInfo.config.translate(nullptr, "@ZPI_NAME@");
    if (argInfo.serverName.empty()) {
        out << catalogMessage(InstallOpsCatalog, 78);
        dbFile << "Missing ZPI host argument." << std::endl;
    } else {
        zpiBuildHost(argInfo.serverName);
        zpiBuildHosts();
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
