// Pushing a file package onto a host: the engine is made present there
// (copied from the installer's bundle into a directory private to the run
// when missing), one shell command changes into the type's location and
// unpacks the block, which reaches the engine by the shortest way from the
// medium; then the engine's report is judged, the location registered and
// the probe file written.
#include <unistd.h>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostWorkers.h"
#include "engine/InstallOperation.h"
#include "engine/InstalledLocations.h"
#include "engine/Platform.h"
#include "hosts/HostMessages.h"
#include "hosts/InstallHost.h"
#include "hosts/PosixCksum.h"
#include "hosts/PrivateDir.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"
#include "model/LineTag.h"

namespace {

// The line the unpack command adds to the error text when the engine failed.
const char ENGINE_FAILED[] = "file package engine failed, exit status ";
// The line the engine writes once it has read the whole block; our own
// engine writes it (fpack/fp_ops.h), as any engine on the hosts does.
const char BLOCK_READ[] = "fpack: block read to its trailer\n";
// Added to the error text of a push whose probe file was not written.
const char PROBE_NOT_WRITTEN[] = "the probe file could not be written: ";
// Added to the error text of a push without that line.
const char BLOCK_NOT_READ[] =
    "the file package engine did not confirm that it read the whole block\n";

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

// Where the engine comes from, and how the unpack command names it.
struct EnginePaths {
    Str name;    // "@fpengine@"
    Str source;  // installer side: <bundle>/bin/<arch>/<name>
    Str tmpDir;  // the host's temporary directory, under which it is staged

    explicit EnginePaths(const InstallHost& host)
        : name(translated(&host, "@fpengine@")),
          source(bundleDirectory() + "/" + translated(&host, "bin/@Arch@/" + name)),
          tmpDir(translated(&host, "@TmpDir@")) {
        if (tmpDir.empty()) tmpDir = "/tmp";
    }
    // The engine as the unpack command names it on host.
    Str command(const InstallHost& host) const {
        if (isLocal(host.getName())) return source;
        if (host.isW32() || host.isOS2()) return name;
        return shellWord(host.getEngineDir() + "/" + name);
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

// The type's own set-up commands in front of the unpack, ending in ";".
Str installPrefix(const InstallHost& host, const InstallType& type) {
    Str prefix = type.entry().options;
    if (prefix.empty()) return prefix;
    if (host.isOS2() && type.entry().id == "DB") prefix.gsub("\"", "\\\"");
    prefix = translated(&host, prefix);
    if (prefix.empty() || prefix.chars()[prefix.length() - 1] != ';') prefix += ';';
    return prefix;
}

// The database account of a Windows node: the user is set in front of the
// unpack, the password read by the shell from the first line of the
// command's input, so that it stands in no command line.
struct ZapAccount {
    bool used = false;
    Str assignments;
    Str password;
};

ZapAccount zapAccount(const InstallHost& host, const InstallType& type) {
    ZapAccount account;
    const Str& id = type.entry().id;
    if (!host.isW32() || (id != "ZPIDB" && id != "DB")) return account;
    Str user = argInfo.zapUser;
    account.password = argInfo.zapPassword;
    if (user == "UseDefaultAccount") {
        user = host.user();
        account.password = host.password();
    }
    account.used = true;
    account.assignments = "ZapUser=" + shellWord(user) + ";IFS= read -r ZapPassword;";
    return account;
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

// Takes the engine's confirmation line out of output; false when it is
// not there.
bool takeConfirmation(Str& output) {
    const Str line(BLOCK_READ);
    for (int at = output.index(line); at >= 0; at = output.index(line, at + 1)) {
        if (at == 0 || output[at - 1] == '\n') {
            output.del(at, line.length());
            return true;
        }
    }
    return false;
}

// Judges what the engine wrote; the error text left is the one to keep. A
// push succeeds only when the engine confirmed that it read the whole
// block: a stream cut short, one that never arrived, or a program that is
// no engine (or none at all) must not pass for an installation.
void judge(InstallHost& host, EngineResult& r) {
    bool confirmed = takeConfirmation(r.output);
    bool truncated = false;
    if (!r.output.empty()) {
        if (r.output.contains(OUTPUT_TRUNCATED)) {
            statusCatalogMessage(61);
            truncated = r.failed = true;
        }
        status(r.output.chars());
    }
    if (!confirmed && !truncated) {
        r.failed = true;
        r.errors += BLOCK_NOT_READ;
    }
    if (r.errors.empty()) return;
    if (truncated) {
        statusCatalogMessage(30);
        status(r.errors.chars());
        return;
    }
    int hey = r.errors.index("Hey Install: initialize ");
    if (hey >= 0 && !r.failed) {
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
        r.errors.contains(ENGINE_FAILED) || r.errors.contains(INPUT_CUT_SHORT))
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

// The text after the last newline of text without its final newline.
Str lastLine(Str text) {
    if (text.length() > 0 && text[text.length() - 1] == '\n') text.del(text.length() - 1, 1);
    int nl = text.index('\n', -1);
    return nl < 0 ? text : text.after(nl);
}

// The failure report must name a host whose engine could not be copied:
// every push to it is left out.
void engineNotCopied(const InstallHost& host, const Str& source) {
    statusMessage(catalogMessage(InstallCatalog, 136, {source}));
    recordFailure(host.getName(), 136, {source});
}

// 1 when the engine is on the host afterwards: copied into a directory
// made private for this run, and used only when the host's cksum of the
// copy is that of the bundle's engine.
int copyEngine(InstallHost& host, const EnginePaths& engine) {
    Str sum = posixCksumOfFile(engine.source);
    if (sum.empty()) {
        engineNotCopied(host, engine.source);
        return 0;
    }
    Str dir = newPrivateDirPath(engine.tmpDir);
    Str file = shellWord(dir + "/" + engine.name);
    Str command = makePrivateDirScript(dir) + " && " + translated(&host, "@Cat@") + " > " + file +
                  " && chmod 700 " + file + " && cksum < " + file;
    statusCatalogMessage(71);
    Str out, err;
    host.runCommand(command, engine.source, out, err, InstallHost::FILE_INPUT);
    // Removed at clean-up, or at once when the copy is not good.
    if (privateDirMade(out)) {
        host.setEngineDir(dir);
    } else {
        Str rmOut, rmErr;
        host.runCommand(removePrivateDirScript(dir), EMPTY, rmOut, rmErr,
                        InstallHost::STRING_INPUT);
    }
    if (!privateDirMade(out) || lastLine(out) != sum) {
        dbFile << "engine copy in " << dir << " not made or not as sent (" << sum << "): " << out
               << err << std::endl;
        host.removeEngineDir();
        engineNotCopied(host, engine.source);
        return 0;
    }
    host.setEnginePresent();
    statusCatalogMessage(68);
    return 1;
}

// Whether the block reaches the engine on host as a local file of the
// installer sent on the command's input (the medium is here, the engine
// is not): only such pushes can share one reading of the image.
bool streamedFromHere(const InstallHost& host) {
    const Cdrom& media = argInfo.cdrom;
    return media.host() != host.getName() && (media.host().empty() || isLocal(media.host()));
}

Str unpackTail(const InstallHost& host) {
    return engineStatusCheck(host) + ";sleep 2";
}

// Runs the unpack command, the block reaching the engine from the medium;
// 0 when the medium's file cannot be read.
int unpack(InstallHost& host, Str command, const Str& image, const ZapAccount& account,
           EngineResult& r) {
    const Cdrom& media = argInfo.cdrom;
    Str input;
    InstallHost::InputType kind;
    Str tail = unpackTail(host);
    if (media.host() == host.getName()) {
        dbFile << "optimized.  Remote media is same as push target." << std::endl;
        command += image + tail;
        kind = InstallHost::STRING_INPUT;
    } else if (streamedFromHere(host)) {
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
    if (account.used)
        host.runCommandWithSecret(command, account.password, input, r.output, r.errors, kind);
    else
        host.runCommand(command, input, r.output, r.errors, kind);
    doNotBlock = blocking;
    return 1;
}

// Everything before the block: the engine on the host, the OS/2 reboot,
// and the unpack command up to the block's name. 0 when the push cannot
// go on.
int preparePush(InstallHost& host, const InstallOperation& op, Str& command, ZapAccount& account) {
    EnginePaths engine(host);
    if (isLocal(host.getName()) || host.isW32() || host.isOS2()) host.setEnginePresent();
    if (!host.isEnginePresent() && !copyEngine(host, engine)) {
        recordPushFailure(host, op, Str());
        return 0;
    }
    if (host.isOS2() && op.type.entry().id == "DB" && !os2RebootForDatabase(host)) return 0;
    account = zapAccount(host, op.type);
    command = installPrefix(host, op.type) + account.assignments + "cd " +
              shellWord(op.fs.clientPath) + ";" + engine.command(host) +
              translated(&host, " @unpackOptions@ ");
    return 1;
}

// Judges what the engine did on host; on success the location is
// registered and the probe file written.
int concludePush(InstallHost& host, const InstallOperation& op, EngineResult& r) {
    judge(host, r);
    if (r.failed) {
        statusCatalogMessage(62);
        recordPushFailure(host, op, r.errors);
        return 0;
    }
    // Later scouts know the type by its probe file: without it written,
    // the push is not done, and what the write may have left goes.
    const Str& name = host.getName();
    dbFile << "Adjusting probe file..." << std::endl;
    const Str probeDir = host.archPath(op.type, '/') + "/" + ".installed";
    const Str probeName = host.probeFile() + op.type.entry().id;
    if (!host.createFile(probeDir, probeName, "PUSHED:" + name + ":" + op.type.entry().id + "\n",
                         1)) {
        host.rmFile(probeDir, probeName);
        statusCatalogMessage(62);
        recordPushFailure(host, op, PROBE_NOT_WRITTEN + probeDir + "/" + probeName + "\n");
        return 0;
    }
    dbFile << "Done adjusting probe file." << std::endl;
    statusCatalogMessage(63);
    if (host.isOS2() && op.type.entry().id == "BIN") {
        Str tools = translated(&host, "@BIN@") + "/TOOLS";
        host.setToolsLoc(tools);
        tools.gsub("/", "\\");
        dbFile << "Move fpack on OS/2 nodes to PATH..." << std::endl;
        Str out, err;
        commandOnHost(name,
                      "copy " + tools + "\\..\\bln\\install\\fpack.exe " + tools + "\\fpack.exe ",
                      host.access(), host.user().chars(), host.password().chars(), "", out, err,
                      InstallHost::STRING_INPUT, &host, 0);
    }
    RegisterInstalled(name, host.archPathPair(op.type), op.type.entry().id, host.getType(),
                      op.filePack.pathToDescription(), "installed");
    // The engine reports what it did (created directories, kept backups)
    // even when it succeeds; only a failure it reports fails the push.
    return 1;
}

bool bogusPush(const InstallOperation& op) {
    if (op.filePack.kind() != DIST_NONE) return false;
    dbFile << "bogus media packet push!" << std::endl;
    statusCatalogMessage(31);
    return true;
}

}  // namespace

void InstallHost::removeEngineDir() {
    if (engineDir.empty()) return;
    dbFile << "Removing the engine's directory " << engineDir << " on host: " << name << std::endl;
    Str out, err;
    runCommand("rm -rf " + shellWord(engineDir), EMPTY, out, err, STRING_INPUT);
    engineDir = Str();
    enginePresent = 0;
}

int InstallHost::pushFilePack(const InstallOperation& op) {
    if (bogusPush(op)) return 0;
    Str command;
    ZapAccount account;
    if (!preparePush(*this, op, command, account)) return 0;
    EngineResult r;
    if (!unpack(*this, command, op.filePack.pathToImage(), account, r)) return 0;
    return concludePush(*this, op, r);
}

std::vector<int> pushFilePackToHosts(const InstallOperation& op,
                                     const std::vector<InstallHost*>& hosts) {
    std::vector<int> results(hosts.size(), 0);
    if (hosts.size() == 1) results[0] = hosts[0]->pushFilePack(op);
    if (hosts.size() < 2 || bogusPush(op)) return results;
    Str names;
    for (InstallHost* host : hosts) names += (names.empty() ? "" : ", ") + host->getName();
    status(op.filePack.dump() + catalogMessage(InstallOpsCatalog, 22).bound_msg() + names + ")\n ");

    // Hosts fed from here share one reading of the image; the others (the
    // medium on the host itself or on a third host, a secret line first)
    // are pushed each on its own. What comes before and after the shared
    // reading is each host's own, so the hosts do it side by side.
    std::vector<std::string> hostNames;
    for (InstallHost* host : hosts) hostNames.push_back(host->getName().str());
    std::vector<HostCommand> prepared(hosts.size());
    forEachHost(hostNames, [&](size_t i) {
        InstallHost& host = *hosts[i];
        Str command;
        ZapAccount account;
        if (!preparePush(host, op, command, account)) return;
        if (account.used || !streamedFromHere(host)) {
            EngineResult r;
            if (unpack(host, command, op.filePack.pathToImage(), account, r))
                results[i] = concludePush(host, op, r);
            return;
        }
        prepared[i].host = &host;
        prepared[i].command = command + "-" + unpackTail(host);
    });
    std::vector<HostCommand> shared;
    std::vector<size_t> sharedAt;
    for (size_t i = 0; i < hosts.size(); ++i) {
        if (!prepared[i].host) continue;
        shared.push_back(prepared[i]);
        sharedAt.push_back(i);
    }
    int blocking = doNotBlock;
    doNotBlock = 1;
    commandsOnHosts(shared, InstallHost::FILE_INPUT, op.filePack.pathToImage());
    doNotBlock = blocking;
    std::vector<std::string> sharedNames;
    for (const HostCommand& c : shared) sharedNames.push_back(c.host->getName().str());
    forEachHost(sharedNames, [&](size_t k) {
        // Side by side the line's tag names the host.
        if (lineTag().empty()) status(shared[k].host->getName() + ":\n ");
        EngineResult r;
        r.output = shared[k].output;
        r.errors = shared[k].errors;
        results[sharedAt[k]] = concludePush(*shared[k].host, op, r);
    });
    return results;
}
