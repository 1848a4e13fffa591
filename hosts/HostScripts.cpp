// Product scripts, command sets copied to a host, and the host's reboot.
#include "engine/Args.h"
#include "hosts/InstallHost.h"
#include "hosts/PrivateDir.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

Str catalogText(long number) {
    return catalogMessage(InstallOpsCatalog, number).bound_msg();
}

}  // namespace

int InstallHost::runScript(const Script& script) {
    Str text = argInfo.config.translate(this, "@" + script.name() + "@");
    if (text.empty()) {
        statusMessage(catalogMessage(InstallOpsCatalog, 89, {script.name()}));
        dbFile << "can't find script `" << script.name() << "'" << std::endl;
        return 0;
    }
    statusMessage(catalogMessage(InstallOpsCatalog, 90, {script.name(), name}));
    Str out, err;
    runCommand(argInfo.config.translate(this, "@Shell@"), text, out, err, STRING_INPUT);
    if (!out.empty()) status((catalogText(93) + out + "\n").chars());
    if (err.empty()) return 1;
    status((catalogText(94) + err + "\n").chars());
    return 0;
}

// The files go into a directory made private for this call under the
// host's temporary directory, and are removed with it afterwards.
int InstallHost::runScriptOnHost(const Str& spec, Str input, Str& out, Str& err) {
    Str tmp = argInfo.config.translate(this, "@TmpDir@");
    Str dir = newPrivateDirPath(tmp.empty() ? Str("/tmp") : tmp);
    // The archive goes to standard output: "tar chf <spec>" alone would
    // write it over the first file of spec.
    Str pack = (isOS2() ? "tar -chf - " : "tar chf - ") + spec;
    Str unpack = makePrivateDirScript(dir) + " && cd " + shellWord(dir) +
                 (isOS2() ? " && tar -xvf -" : " && tar xvf -");
    runCommand(unpack, pack, out, err, PIPE_INPUT);
    if (!privateDirMade(out)) {
        dbFile << "no private directory for the command set: " << out << err << std::endl;
        if (err.empty()) err = "no private directory for the command set\n";
        return 0;
    }
    runCommand("cd " + shellWord(dir) + " && " + spec, input, out, err, STRING_INPUT);
    Str rmOut, rmErr;
    runCommand("rm -rf " + shellWord(dir), EMPTY, rmOut, rmErr, STRING_INPUT);
    return err.empty() ? 1 : 0;
}

Str InstallHost::tarExtractCommand() const {
    return argInfo.config.translate(this, "@tarExtractCommand@");
}

void InstallHost::reboot() {
    Str command = argInfo.config.translate(this, "@RebootCommand@");
    if (command.empty()) command = "reboot";
    statusMessage(catalogMessage(InstallOpsCatalog, 110, {name}));
    Str out, err;
    runCommand(command, "", out, err, STRING_INPUT);
}
