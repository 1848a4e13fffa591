// Scouting a host for the install types wanted there, the locations of the
// types on a host, the probe files that mark an installation, and the
// parsing of the one-line disk report ("DF_DATA#...").
#include <cstdlib>

#include "engine/Args.h"
#include "engine/FileSystemInfo.h"
#include "engine/Platform.h"
#include "hosts/HostMessages.h"
#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "model/DebugLog.h"
#include "model/FilePack.h"
#include "model/InstallType.h"

namespace {

constexpr int MAX_CHAIN_DEPTH = 100;

// Marker of a type that is always to be pushed: no such file exists.
const char* const NEVER_EXISTS = "NoWaYThiExistS";

// On an OS/2 host the tools directory leads the default path's quoted value.
Str withToolsPath(const Str& path, const InstallHost& host) {
    if (!host.isOS2() || !path.contains('"')) return path;
    return Str(path.before('"')) + "\"" + host.getToolsLoc() + ":" + Str(path.after('"'));
}

// One field of a scout input line. The probe program splits its lines at
// blanks with read, which keeps a blank escaped by a backslash; the field
// reaches echo as one shell word, so nothing in it is expanded or run.
Str scoutField(const Str& text) {
    Str escaped;
    for (char c : text.str()) {
        if (c == ' ' || c == '\t') escaped += '\\';
        escaped += c;
    }
    return shellWord(escaped);
}

// A line end inside a path would start a line of its own for the probe
// program: a type and location of someone else's choosing.
bool hasControlCharacter(const Str& text) {
    for (unsigned char c : text.str())
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Whether the type is scouted on this host: server hosts take the types
// valid for the server, every other host those valid for clients.
bool validHere(const InstallType& t, const InstallHost& host) {
    ValidFor v = t.entry().validFor;
    if (host.getName() == argInfo.serverName) return v == SERVER || v == BOTH;
    return v == CLIENT || v == BOTH;
}

// The recorded location of a type that t chains to, following chains;
// empty when none is recorded or the chain loops.
Str chainPath(const Str& host, const InstallType& t, int depth) {
    if (depth > MAX_CHAIN_DEPTH) {
        dbFile << "chainPath chain loop detected..." << std::endl;
        return Str();
    }
    const Str& chained = t.entry().linkedType;
    if (chained.empty()) return Str();
    for (int i = 0; i < InstallType::data.length(); ++i) {
        const InstallTypeData& d = InstallType::data[i];
        if (d.id != chained) continue;
        Str path = PathFromPlatform(host, d.id);
        if (path.empty() && !d.linkedType.empty())
            path = chainPath(host, InstallType(i), depth + 1);
        if (!path.empty()) return path;
    }
    return Str();
}

// A path on some host: absolute, a drive letter and colon, or a volume
// name of 2 to 15 characters and a colon.
bool isPath(const Str& text) {
    if (text.empty()) return false;
    if (text[0] == '/' || text[0] == '\\') return true;
    char first = text[0];
    bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
    if (text.length() > 1 && text[1] == ':' && letter) return true;
    for (int i = 2; i <= 15 && i < text.length(); ++i)
        if (text[i] == ':') return true;
    return false;
}

// Splits a report line of exactly four fields at its "#" signs.
bool reportFields(const Str& line, Str fields[4]) {
    if (line.freq('#') != 3) return false;
    Str rest(line);
    for (int i = 0; i < 3; ++i) {
        fields[i] = rest.before('#');
        rest = rest.after('#');
    }
    fields[3] = rest;
    return true;
}

// The failure message a Windows or OS/2 location breaks, 0 when none.
int locationFailure(const InstallHost& host, const InstallType& t, const Str& location,
                    const Str& device, const Str& space) {
    if (host.isW32()) {
        if (!space.contains("NTFS")) return 176;
        const Str& id = t.entry().id;
        if ((id == "ZPIDB" || id == "DB") && !space.contains("LOCAL")) return 177;
        if (location.length() > 1 && location[1] == ':' && !space.contains("LOCAL")) return 178;
    } else if (host.isOS2() && !device.contains("HPFS")) {
        return 176;
    }
    return 0;
}

}  // namespace

Str InstallHost::scoutForInstall() {
    return runScout(scoutScript());
}

Str InstallHost::scoutScript() {
    const Configuration& config = argInfo.config;
    Str script = withToolsPath(config.translate(this, "@defaultPath@"), *this) +
                 ";PFN=" + shellWord(probeFile()) + ";HN=" + shellWord(getName()) + ";(\n";
    int scouted = 0;
    for (int i = 0; i < InstallType::data.length(); ++i) {
        InstallType t(i);
        Str path = t.myPath(this);
        if (path.contains('@')) {
            path = config.translate(this, path);
            t.setPath(path);
            // A translation that was stopped leaves no usable location.
            if (holdsToken(path)) continue;
        }
        if (!t.enabled() || t.variable() || !checkPath(path, t) || !validHere(t, *this)) continue;
        if (hasControlCharacter(path)) {
            recordFailure(getName(), 280, {path, t.entry().id});
            continue;
        }
        Str arch = archSpecificPart(t);
        script += "echo " + scoutField(t.entry().id) + " " + scoutField(path) + " " +
                  scoutField(arch.empty() ? Str("EMPTY") : arch) + " " +
                  scoutField(t.forceInstall() ? Str(NEVER_EXISTS) : fileThereIfInstalled(t)) +
                  ";\n";
        ++scouted;
    }
    script += "\n) |";
    if (scouted == 0) {
        dbFile << "Nothing to scout!" << std::endl;
        return Str();
    }
    script += config.translate(this, "@probeForInstall@");
    if (argInfo.kind == 2 && (isW32() || isOS2()))
        script += config.translate(this, "\n@ConfigureOS@");
    return script;
}

Str InstallHost::runScout(const Str& script) {
    if (script.empty()) return Str();
    Str output, errors;
    int blocking = doNotBlock;
    doNotBlock = 1;
    runCommand(argInfo.config.translate(this, "@Shell@"), script, output, errors, STRING_INPUT);
    doNotBlock = blocking;
    return output;
}

Str InstallHost::probeFile() const {
    Str& name = argInfo.probeFileName;
    if (name.empty()) {
        switch (argInfo.kind) {
            case 1:
            case 2:
                name = argInfo.index.productName() + "_";
                break;
            case 3:
                name = argInfo.productIndex.productName() + "_";
                break;
            case 4:
                name = "pa_" + argInfo.patchIndex.productName() + "_";
                break;
            default:
                dbFile << "Bogus install phase for probeFile()" << std::endl;
        }
    }
    dbFile << "Probe file is: " << name << std::endl;
    return name;
}

Str InstallHost::fileThereIfInstalled(const InstallType& t) const {
    const FilePack& fp = findFilePackSpecific(t, getType(), getName());
    if (!fp.installedCheck().empty()) return fp.installedCheck();
    return ".installed/" + probeFile() + t.entry().id;
}

Str InstallHost::archPath(const InstallType& t, char separator) const {
    Str path = t.myPath(this);
    dbFile << "In archPath -> " << path << std::endl;
    const int kind = argInfo.kind;
    if ((kind == 3 || kind == 4) && path.empty()) {
        path = PathFromPlatform(getName(), t.entry().id);
        if (path.empty() && kind == 4 && !t.entry().linkedType.empty())
            path = PathFromPlatform(getName(), t.entry().linkedType);
        if (path.empty() && kind == 3) path = chainPath(getName(), t, 0);
    }
    if (path.empty()) return path;
    Str part = archSpecificPart(t);
    return part.empty() ? path : path + separator + part;
}

Str InstallHost::archPathPair(const InstallType& t) const {
    Str pair = archPath(t, ' ');
    if (pair.empty() || pair[pair.length() - 1] != ' ') pair += ' ';
    return pair;
}

Str InstallHost::probeFileWithPath(const InstallType& t) const {
    return archPath(t, '/') + "/" + probeFile() + t.entry().id;
}

Str InstallHost::dfScriptSequence() const {
    return argInfo.config.translate(this, "@dfSequence@");
}

int InstallHost::processDfSequence(Str text, FileSystemInfo& info, int typeIndex) {
    info.client = getName();
    Str line = text.after("DF_DATA#");
    if (line.contains('\n')) line = line.before('\n');
    if (line.empty()) {
        dbFile << "pdfs failed, seq=" << text << std::endl;
        return 0;
    }
    Str field[4];
    if (!reportFields(line, field)) {
        dbFile << "pdfs (df # failed, missing tokens): " << line << std::endl;
        return 0;
    }
    info.clientPath = field[0];
    if (!isPath(info.clientPath)) {
        dbFile << "pdfs pwd failed, not a path:\n" << info << std::endl;
        return 0;
    }
    info.serverPath = field[1];
    const Str& space = field[2];
    info.kbytesFree = decimalPrefix(space);

    if ((argInfo.kind == 1 || argInfo.kind == 2) && typeIndex >= 0) {
        InstallType t(typeIndex);
        Str location = archPath(t, '/');
        if (int n = locationFailure(*this, t, location, info.serverPath, space)) {
            recordFailure(getName(), n, {location});
            setState(t, FS_FAILED);
            return 0;
        }
    }
    if (space.contains(':') && Str(space.after(':')) == ".5k") info.kbytesFree /= 2;

    info.mountedOn = field[3];
    if (!isPath(info.mountedOn)) {
        dbFile << "pdfs (mo not a path, failed)\n" << std::endl;
        return 0;
    }
    while (info.mountedOn.length() > 1 && info.mountedOn[info.mountedOn.length() - 1] == '/')
        info.mountedOn.del(info.mountedOn.length() - 1, 1);

    if (!info.serverPath.contains(':') || isOS2()) {
        info.serverDevice = field[1];
        info.serverPath = info.clientPath;
        info.server = info.client;
        info.serverMountedOn = info.mountedOn;
        dbFile << "pdfs local\n" << info << std::endl;
        return 1;
    }
    info.server = field[1].before(':');
    info.serverPath = field[1].after(':');
    info.serverMountedOn = info.serverPath;
    if (info.clientPath.length() < info.mountedOn.length()) {
        dbFile << "pdfs (df failed): mo\n" << info << std::endl;
        return 0;
    }
    info.serverPath += info.clientPath.from(info.mountedOn.length());
    dbFile << "pdfs remote\n" << info << std::endl;
    return 1;
}
