// Product scripts, command sets copied to a host, and the host's reboot.
#include <unistd.h>

#include "engine/Args.h"
#include "hosts/InstallHost.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

Str catalogText(long number) {
    return catalogMessage(InstallOpsCatalog, number).bound_msg();
}

// One directory per installer process, so that two runs never share it.
const Str& copyDirectory() {
    static const Str dir = "/tmp/cis." + Str(std::to_string(getpid()));
    return dir;
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

int InstallHost::runScriptOnHost(const Str& spec, Str input, Str& out, Str& err) {
    const Str& dir = copyDirectory();
    // The archive goes to standard output: "tar chf <spec>" alone would
    // write it over the first file of spec.
    Str pack = (isOS2() ? "tar -chf - " : "tar chf - ") + spec;
    Str unpack = "(mkdir " + dir + "; cd " + dir + (isOS2() ? "; tar -xvf -)" : "; tar xvf -)");
    runCommand(unpack, pack, out, err, PIPE_INPUT);
    runCommand("cd " + dir + "; " + spec, input, out, err, STRING_INPUT);
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
