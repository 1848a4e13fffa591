#include "engine/server_cli.h"

#include <iostream>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/InstalledLocations.h"
#include "engine/Interrupt.h"
#include "engine/Recording.h"
#include "engine/Timer.h"
#include "hosts/InstallHost.h"
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

void zpiBuildHost() {
    const Str& server = argInfo.serverName;
    dbFile << "Processing host " << server << "..." << std::endl;
    InstallHost* host = getInstallHostObject(server, "root", nullptr, DEFAULT_ACCESS, nullptr);
    if (host)
        hostGroups.addHost(host);
    else
        hostFailures.addFailure(server, catalogMessage(InstallOpsCatalog, 95));
}

void zpi_install_check(int argc, char** argv, std::ostream& out) {
    t.elapsed("Entering ZPI install check");
    getInstallLock();
    zpiGetArgs(argc, argv);
    if (argInfo.serverName.empty())
        argInfo.serverName = argInfo.config.translate(nullptr, "@ZPI_NAME@");
    if (argInfo.serverName.empty()) {
        out << catalogMessage(InstallOpsCatalog, 78);
        dbFile << "Missing ZPI host argument." << std::endl;
    } else {
        zpiBuildHost();
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
