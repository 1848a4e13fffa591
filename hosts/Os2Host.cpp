#include "hosts/Os2Host.h"

#include "engine/Args.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/DebugLog.h"

const char* const OS2_TOOLS_LOADER =
    "/* rexx */;call RxFuncAdd \"SysLoadFuncs\",\"RexxUtil\",\"SysLoadFuncs\";call "
    "SysLoadFuncs;parse arg tldir nm;"
    "rc=SysMkDir(tldir);odir=directory();ndir=directory(tldir);dlentot=16384;rc = "
    "SysFileDelete(tldir\"\\\"nm);done=\"NO\";"
    "Do while(done=\"NO\");din=charin(,,dlentot);dlen=length(din);if "
    "Stream(stdin,S)=\"NOTREADY\" then if dlen=0 then done=\"YES\";a=charout(tldir\"\\\"nm,din);"
    "End;a=directory(odir);EXIT:;";

namespace {

struct Os2Channel {
    const char* host;
    const char* user;
    const char* password;
    AccessMethod access;

    Str run(const Str& command, const Str& input = EMPTY,
            InstallHost::InputType type = InstallHost::STRING_INPUT) const {
        Str output, errors;
        commandOnHost(host, command, access, user, password, input, output, errors, type, nullptr,
                      0);
        return output;
    }
};

Str bootDrive(const Os2Channel& ch, const InstallHost* ih) {
    Str drive = argInfo.config.translate(ih, "@DefaultDosDrive@");
    if (drive.empty()) {
        drive = "c:";
        Str comspec = ch.run("set comspec");
        if (comspec.contains("OS2")) drive = Str(comspec.after('=')).before('\\');
    }
    dbFile << "Save OS/2 bootDrive - " << drive << std::endl;
    return drive;
}

// The framework's tools directory when the framework is on the host.
Str installedTools(const Os2Channel& ch) {
    dbFile << "Check for required unix-like tools." << std::endl;
    Str where = ch.run("which dispadm.exe");
    if (!where.contains("dispadm")) return Str();
    Str bin = where.before("\\BIN\\dispadm.exe");
    int space = bin.index(' ', -1);
    Str dir = space < 0 ? bin : Str(bin.after(space));
    dir.gsub("\\", "/");
    return dir + "/TOOLS";
}

// Copies the tools archive of the medium into W on the host, streamed from
// the medium's host when a buffered read can be started there.
void copyToolsArchive(const Os2Channel& ch, const Str& w) {
    Str command = "MKDIR " + w + "\n" + "echo " + OS2_TOOLS_LOADER + " > " + w + "\\mntint.cmd" +
                  "\n" + w + "\\mntint.cmd " + w + " MNTOOLS.EXE " + " \n";
    const Cdrom& medium = argInfo.cdrom;
    InstallHost mediaHost(medium.host(), "", "", "", DEFAULT_ACCESS);
    if (!medium.host().empty() && mediaHost.setupBufferedReadFile(medium.path(), "MNTOOLS.EXE")) {
        ch.run(command, mediaHost.remoteReadInput(), InstallHost::REMOTE_READ_INPUT);
        return;
    }
    ch.run(command, medium.path() + "/MNTOOLS.EXE", InstallHost::FILE_INPUT);
}

}  // namespace

void prepareOs2InstallHostObject(const char* host, const char* user, const char* password,
                                 AccessMethod access, InstallHost* ih) {
    Os2Channel ch{host, user, password, access};
    Str drive = bootDrive(ch, ih);
    Str tools = installedTools(ch);
    if (!tools.empty()) {
        ih->setToolsLoc(tools);
        return;
    }
    statusCatalogMessage(109);
    ih->setToolsLoc(drive + "/MNTOOLS");
    dbFile << "Installing UNIX-like tools in a temporary tools directory." << std::endl;
    Str w = drive + "\\MNTOOLS";
    copyToolsArchive(ch, w);
    ch.run(drive + " & CD " + w + " & " + w + "\\MNTOOLS.EXE \n");
}
