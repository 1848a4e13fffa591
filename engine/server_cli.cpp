#include "engine/server_cli.h"

#include <iostream>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/Timer.h"
#include "hosts/InstallHost.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

// Carrying out the planned operations arrives with the push and script
// steps; until then a confirmed run executes nothing.
void executeToDoList() {}

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
    executeToDoList();
    t.elapsed("Exiting ZPI install doit");
}

void zpi_goodbye() {
    t.elapsed("Entering goodbye");
    hostGroups.cleanUp();
    hostGroups.entries = Array<HostGroupEntry>();
    hostGroups.ops = Array<InstallOperation>();
    hostFailures.clear();
    t.elapsed("Exiting goodbye");
}
