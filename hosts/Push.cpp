// Pushing a file package onto a host: the engine is made present there
// (copied from the installer's bundle when missing), one shell command
// changes into the type's location and unpacks the block, which reaches the
// engine by the shortest way from the medium; then the engine's report is
// judged, the location registered and the probe file written.
#include <fcntl.h>
#include <unistd.h>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/InstallOperation.h"
#include "engine/InstalledLocations.h"
#include "engine/Platform.h"
#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

// The line the unpack command adds to the error text when the engine failed.
const char ENGINE_FAILED[] = "file package engine failed, exit status ";

Str translated(const InstallHost* host, const Str& text) {
    return argInfo.config.translate(host, text);
}

Str bundleDirectory() {
    Str dir = translated(nullptr, argInfo.kind == 1 ? "@InstallBundle@" : "@ClientBundle@");
    if (!dir.empty()) {
        dbFile << "using client bundle override of " << dir << std::endl;
        return dir;
    }
    dir = PathFromPlatform(argInfo.serverName, "BIN");
    if (dir.empty()) dir = GetInstallDir();
    dir += "/client_bundle";
    dbFile << "no client bundle override, using dflt: " << dir << std::endl;
    return dir;
}

// Where the engine comes from and where it goes on one host.
struct EnginePaths {
    Str name;      // "@fpengine@"
    Str relative;  // bin/<arch>/<name>
    Str source;    // installer side
    Str tmpDir;    // the host's temporary directory

    explicit EnginePaths(const InstallHost& host)
        : name(translated(&host, "@fpengine@")),
          relative(translated(&host, "bin/@Arch@/" + name)),
          source(bundleDirectory() + "/" + relative),
          tmpDir(translated(&host, "@TmpDir@")) {
        if (tmpDir.empty()) tmpDir = "/tmp";
    }
    Str onHost() const { return tmpDir + "/" + relative; }
    // The engine as the unpack command names it on host.
    Str command(const InstallHost& host) const {
        if (isLocal(host.getName())) return source;
        if (host.isW32() || host.isOS2()) return name;
        return onHost();
    }
};

// What the medium's image of the package is and where it lives.
struct ImageSource {
    Str path;  // the image on the medium's host
    Str mediaHost;
};

// An OS/2 database type is unpacked after the node has rebooted into its
// new configuration; 0 when the node does not come back.
int os2RebootForDatabase(InstallHost& host) {
    auto framed = [&](const Str& command) { return genericRemoteWrapper(command, nullptr); };
    Str out, err;
    statusCatalogMessage(43);
    int blocking = doNotBlock;
    doNotBlock = 1;
    commandOnHost(host.getName(),
                  framed(translated(&host,
                                    "@BIN@/bln/install/os2config.exe @BIN@ @DB@ @Arch@ "
                                    "@Port@")),
                  host.access(), host.user().chars(), host.password().chars(), "", out, err,
                  InstallHost::STRING_INPUT, &host, 1);
    sleep(5);
    bool back = false;
    for (int i = 0; i < 60 && !back; ++i) {
        status(">");
        sleep(5);
        out = Str();
        commandOnHost(host.getName(), framed("echo checkingReboot  "), host.access(),
                      host.user().chars(), host.password().chars(), "", out, err,
                      InstallHost::STRING_INPUT, &host, 1);
        back = out.contains("checkingReboot");
    }
    doNotBlock = blocking;
    if (!back) {
        statusCatalogMessage(59);
        return 0;
    }
    statusCatalogMessage(48);
    commandOnHost(host.getName(), "ifconfig lo 127.0.0.1 ", host.access(), host.user().chars(),
                  host.password().chars(), "", out, err, InstallHost::STRING_INPUT, &host, 0);
    return 1;
}

// Backslashes doubled; with shellSpecials also "$" and '"' escaped.
Str escapedForQuotes(const Str& text, bool shellSpecials) {
    Str result;
    for (int i = 0; i < text.length(); ++i) {
        char c = text.chars()[i];
        if (c == '\\' || (shellSpecials && (c == '$' || c == '"'))) result += '\\';
        result += c;
    }
    return result;
}

// The type's own set-up commands in front of the unpack, ending in ";".
Str installPrefix(const InstallHost& host, const InstallType& type) {
    Str prefix = type.entry().options;
    if (prefix.empty()) return prefix;
    if (host.isOS2() && type.entry().id == "DB") prefix.gsub("\"", "\\\"");
    prefix = translated(&host, prefix);
    if (prefix.empty() || prefix.chars()[prefix.length() - 1] != ';') prefix += ';';
    return prefix;
}

// The database account of a Windows node, as shell assignments.
Str zapAccount(const InstallHost& host, const InstallType& type) {
    const Str& id = type.entry().id;
    if (!host.isW32() || (id != "ZPIDB" && id != "DB")) return Str();
    Str user = argInfo.zapUser;
    Str password = argInfo.zapPassword;
    if (user == "UseDefaultAccount") {
        user = host.user();
        password = host.password();
    }
    return "ZapUser=\"" + escapedForQuotes(user, false) + "\";ZapPassword=\"" +
           escapedForQuotes(password, true) + "\";";
}

// A Bourne shell on the host reports an engine that failed (status other
// than 0, or 2 for success with messages) or could not be started, which
// its report text alone would not always show.
Str engineStatusCheck(const InstallHost& host) {
    if (host.isW32() || host.isOS2()) return Str();
    return ";qs_rc=$?;case $qs_rc in 0|2) ;; *) echo \"" + Str(ENGINE_FAILED) +
           "$qs_rc\" >&2;; esac";
}

// The output and error text of the engine and whether it failed.
struct EngineResult {
    Str output;
    Str errors;
    bool failed = false;
};

// Judges what the engine wrote; the error text left is the one to keep.
void judge(InstallHost& host, EngineResult& r) {
    bool truncated = false;
    if (!r.output.empty()) {
        if (r.output.contains(OUTPUT_TRUNCATED)) {
            statusCatalogMessage(61);
            truncated = r.failed = true;
        }
        status(r.output.chars());
    }
    if (r.errors.empty()) return;
    if (truncated) {
        statusCatalogMessage(30);
        status(r.errors.chars());
        return;
    }
    int hey = r.errors.index("Hey Install: initialize ");
    if (hey >= 0) {
        Str line = r.errors.after(hey + int(sizeof "Hey Install: initialize ") - 2);
        if (line.contains('\n')) line = line.before('\n');
        if (line.contains(",reboot")) {
            line = line.before(',');
            host.scheduleReboot();
            dbFile << "client will need to be rebooted" << std::endl;
        }
        statusCatalogMessage(46);
        dbFile << "Bootstrap!" << line << std::endl;
        char oid[16];
        snprintf(oid, sizeof oid, "%d", getClientBaseOid());
        handleBootstrap(line, oid, host.getType());
        r.errors = Str();
        return;
    }
    if (r.errors.contains("\nFATAL.\n") ||
        r.errors.contains(" the last few lines of the error log (") ||
        r.errors.contains(ENGINE_FAILED))
        r.failed = true;
    r.errors = NonCourierSpeak(r.errors);
    if (!r.errors.empty()) status(r.errors.chars());
}

// The failure as the report after execution shows it: which push, and
// what the engine said.
void recordPushFailure(const InstallHost& host, const InstallOperation& op, const Str& errors) {
    if (!errors.empty()) hostFailures.addStandardError(host.getName(), errors);
    Message* what = op.opMessage();
    if (what) {
        hostFailures.addFailureCritical(host.getName(), *what);
        delete what;
    }
    hostFailures.addFailureCritical(host.getName(), catalogMessage(InstallOpsCatalog, 62));
}

// 1 when the engine is on the host afterwards.
int copyEngine(InstallHost& host, const InstallOperation& op, const EnginePaths& engine) {
    int fd = open(engine.source.chars(), O_RDONLY);
    if (fd < 0) {
        statusMessage(catalogMessage(InstallCatalog, 136, {engine.source}));
        return 0;
    }
    close(fd);
    Str dir = translated(&host, "bin/@Arch@");
    Str head = host.isOS2() ? ";  MDIR=\"" : "; umask 022; MDIR=\"";
    Str command = "cd " + engine.tmpDir +
                  translated(&host, head + dir + "\" export MDIR; @mkdirCommand@; ") +
                  translated(&host, "@Cat@ > " + engine.relative + "; chmod +x " + engine.relative);
    statusCatalogMessage(71);
    Str out, err;
    host.runCommand(command, engine.source, out, err, InstallHost::FILE_INPUT);
    hostGroups.putOp(opRmFile(op.type, engine.onHost(), host.getName()), nullptr);
    if (err.contains("failed.")) {
        statusMessage(catalogMessage(InstallCatalog, 136, {engine.source}));
        return 0;
    }
    host.setEnginePresent();
    statusCatalogMessage(68);
    return 1;
}

// Runs the unpack command, the block reaching the engine from the medium;
// 0 when the medium's file cannot be read.
int unpack(InstallHost& host, Str command, const Str& image, EngineResult& r) {
    const Cdrom& media = argInfo.cdrom;
    Str input;
    InstallHost::InputType kind;
    Str tail = engineStatusCheck(host) + ";sleep 2";
    if (media.host() == host.getName()) {
        dbFile << "optimized.  Remote media is same as push target." << std::endl;
        command += image + tail;
        kind = InstallHost::STRING_INPUT;
    } else if (media.host().empty() || isLocal(media.host())) {
        command += "-" + tail;
        input = image;
        kind = InstallHost::FILE_INPUT;
    } else {
        InstallHost* source = media.hostObject();
        if (!source || !source->setupBufferedReadFile(image.before('/', -1), BaseName(image))) {
            statusCatalogMessage(58);
            status(image.chars());
            statusCatalogMessage(24);
            return 0;
        }
        command += "-" + tail;
        input = source->remoteReadInput();
        kind = InstallHost::REMOTE_READ_INPUT;
    }
    int blocking = doNotBlock;
    doNotBlock = 1;
    host.runCommand(command, input, r.output, r.errors, kind);
    doNotBlock = blocking;
    return 1;
}

}  // namespace

int InstallHost::pushFilePack(const InstallOperation& planned) {
    // A copy: the engine copy files a removal into the list that holds planned.
    const InstallOperation op = planned;
    if (op.filePack.kind() == DIST_NONE) {
        dbFile << "bogus media packet push!" << std::endl;
        statusCatalogMessage(31);
        return 0;
    }
    EnginePaths engine(*this);
    if (isLocal(name) || isW32() || isOS2()) enginePresent = 1;
    if (!enginePresent && !copyEngine(*this, op, engine)) return 0;
    if (isOS2() && op.type.entry().id == "DB" && !os2RebootForDatabase(*this)) return 0;

    Str command = installPrefix(*this, op.type) + zapAccount(*this, op.type) + "cd " +
                  shellWord(op.fs.clientPath) + ";" + engine.command(*this) +
                  translated(this, " @unpackOptions@ ");
    EngineResult r;
    if (!unpack(*this, command, op.filePack.pathToImage(), r)) return 0;
    judge(*this, r);
    if (r.failed) {
        statusCatalogMessage(62);
        recordPushFailure(*this, op, r.errors);
        return 0;
    }
    statusCatalogMessage(63);
    if (isOS2() && op.type.entry().id == "BIN") {
        Str tools = translated(this, "@BIN@") + "/TOOLS";
        toolsLoc = tools;
        tools.gsub("/", "\\");
        dbFile << "Move fpack on OS/2 nodes to PATH..." << std::endl;
        Str out, err;
        commandOnHost(
            name, "copy " + tools + "\\..\\bln\\install\\fpack.exe " + tools + "\\fpack.exe ",
            access(), user().chars(), password().chars(), "", out, err, STRING_INPUT, this, 0);
    }
    RegisterInstalled(name, archPathPair(op.type), op.type.entry().id, type,
                      op.filePack.pathToDescription(), "installed");
    dbFile << "Adjusting probe file..." << std::endl;
    createFile(archPath(op.type, '/') + "/" + ".installed", probeFile() + op.type.entry().id,
               "PUSHED:" + name + ":" + op.type.entry().id + "\n", 1);
    dbFile << "Done adjusting probe file." << std::endl;
    // The engine reports what it did (created directories, kept backups)
    // even when it succeeds; only a failure it reports fails the push.
    return 1;
}
