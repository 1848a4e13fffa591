// The installer's picture of one target host: its name, its interpreter
// type (the architecture key of its configuration entries), the account and
// method by which it is reached, the state of each install type found by
// scouting, and the reboot and failure marks of planning and execution.
//
// Every remote operation is a method of this class or takes it as an
// argument. The bodies live beside their concern: this file (the model, the
// local-host tests, password scrubbing), RemoteCommand.cpp (running
// commands), RemoteFile.cpp (file operations, the buffered read), Scout.cpp
// (scouting, locations, disk probes), and the push and script module.
#pragma once

#include <vector>

#include "model/Array.h"
#include "model/Str.h"

class InstallType;
class InstallOperation;
class Script;
struct FileSystemInfo;

enum AccessMethod { DEFAULT_ACCESS = 0, TRUSTED_HOST = 1, USER_PASSWORD = 2, SSH_ACCESS = 3 };

// State of one install type on one host; new slots are FS_UNKNOWN.
enum FSState {
    FS_UNKNOWN = 0,
    FS_READONLY = 2,
    FS_INSTALLED = 4,
    FS_GETFROM = 7,
    FS_PUSH = 8,
    FS_FAILED = 9
};

QS_ARRAY_LABEL(FSState, "ptArray.FSState");

class InstallHost {
  public:
    // What the input argument of a command names.
    enum InputType {
        STRING_INPUT = 0,      // the text itself (may be empty)
        PIPE_INPUT = 1,        // a local shell command whose output is fed
        FILE_INPUT = 2,        // the path of a local file
        REMOTE_READ_INPUT = 3  // remoteReadInput() of a host with an open buffered read
    };

    // Every text empty, every number 0.
    InstallHost();
    // enginePresent is 1 for "w32-" and "os2-" types (the engine is
    // installed there). Logs "Constructing InstallHost host: ...".
    InstallHost(const Str& name, const char* type, const char* user, const char* password,
                AccessMethod access);
    InstallHost(const InstallHost& other);
    InstallHost& operator=(const InstallHost& other);

    // Virtual slots, in this order.
    virtual ~InstallHost();
    // Runs remoteWrapper(command) on this host with its access(), user() and
    // password(), shell wrapping on. Failures are recorded, never thrown.
    virtual void runCommand(const Str& command, const Str& input, Str& output, Str& errors,
                            InputType type);
    // The file's contents, carriage returns removed: read directly on the
    // local host, through a buffered read elsewhere. Empty when missing.
    virtual void readFile(const Str& dir, const Str& name, Str& out);
    // Starts streaming dir/name out of this host; 1 when the file exists
    // and its reading has started (bufferedReadChannel is then open).
    virtual int setupBufferedReadFile(const Str& dir, const Str& name);
    // The next block (65536 bytes at most, new[]-allocated, owned by the
    // caller) into block; its length, 0 at the end or on error.
    virtual int contBufferedRead(char*& block);
    // Closes an open buffered read; returns 0.
    virtual int cleanupBufferedReadStuff();
    // Runs the scout script for every wanted install type and returns its
    // whole output; empty (and nothing run) when there is nothing to scout.
    virtual Str scoutForInstall();
    // scoutForInstall in two steps: the script (empty when there is
    // nothing to scout), then its run. Making a script may keep a type's
    // translated path for the hosts after this one, so scripts are made
    // host after host; their runs may overlap.
    Str scoutScript();
    Str runScout(const Str& script);
    // Pushes the file package of op; 1 on success.
    virtual int pushFilePack(const InstallOperation& op);
    // Runs a product script; 1 when it ran and wrote no error text.
    virtual int runScript(const Script& script);
    // The command framed with the default path and the stream markers.
    virtual Str remoteWrapper(const Str& command);
    // Copies files into a fresh temporary directory on the host and runs a
    // command there.
    virtual int runScriptOnHost(const Str& spec, Str input, Str& out, Str& err);
    // Prefix tests of the type ("w32-", "os2-", "nwr-").
    virtual bool isW32() const;
    virtual bool isOS2() const;
    virtual bool isNW() const;
    // runCommand for a command that first reads one line, secretLine, from
    // its standard input, ahead of input: a password passed this way stands
    // in no argument list and no log.
    virtual void runCommandWithSecret(const Str& command, const Str& secretLine, const Str& input,
                                      Str& output, Str& errors, InputType type);

    const Str& getName() const { return name; }
    const Str& getType() const { return type; }
    const Str& getToolsLoc() const { return toolsLoc; }
    void setToolsLoc(const Str& dir) { toolsLoc = dir; }
    int& pcInstall() { return pcInstallFlag; }
    int isEnginePresent() const { return enginePresent; }
    void setEnginePresent() { enginePresent = 1; }
    // The private directory made on the host for the engine copied there,
    // empty when none was made.
    const Str& getEngineDir() const { return engineDir; }
    void setEngineDir(const Str& dir) { engineDir = dir; }
    // Removes that directory with the engine in it (end of the run).
    void removeEngineDir();

    // The method, account and password for reaching the host now: the
    // host's own when it was given one, else the run's settings.
    AccessMethod access() const;
    Str user() const;
    Str password() const;

    // State of the type on this host; FS_UNKNOWN beyond the array.
    FSState getState(const InstallType& t) const;
    // Grows the array with FS_UNKNOWN up to the type's index.
    void setState(const InstallType& t, FSState state);

    // The host's "@tarExtractCommand@".
    Str tarExtractCommand() const;
    // Runs the host's "@RebootCommand@" ("reboot" when it has none).
    void reboot();

    void scheduleReboot() { rebootPending = 1; }
    int rebootNeeded() const { return rebootPending; }
    void setFailure() { failed = 1; }
    int checkFailure() const { return failed; }

    // 1 when path is an absolute path on this host; otherwise 0, with
    // failure 96 recorded for a non-empty path.
    int checkPath(const Str& path, const InstallType& t) const;

    // File operations on the host, each one short shell command.
    // 1 when the contents read back equal what was sent.
    int createFile(const Str& dir, const Str& name, const Str& contents, int makeDir);
    int fileExists(const Str& dir, const Str& name);
    void rmFile(const Str& dir, const Str& name);
    void rmFiles(const Array<Str>& paths);
    void rmDir(const Str& dir);
    // rmdir of every directory, in the order given; those not empty stay.
    void rmDirs(const Array<Str>& dirs);
    // 0 when the error text shows that mkdir failed.
    int createDirectory(const Str& dir);
    // Whether the disk probe of path succeeded; server and dir are emptied.
    int findFS(const Str& path, Str& server, Str& dir);

    // Scouting, locations and disk probes.
    Str probeFile() const;
    Str fileThereIfInstalled(const InstallType& t) const;
    // The type's architecture-specific subdirectory on this host: its
    // template translated for this host; empty when it has none.
    Str archSpecificPart(const InstallType& t) const;
    Str archPath(const InstallType& t, char separator) const;
    Str archPathPair(const InstallType& t) const;
    Str probeFileWithPath(const InstallType& t) const;
    Str dfScriptSequence() const;
    // Parses the first "DF_DATA#" line of text into info; 1 on success.
    // typeIndex: the install type being placed, -1 for none.
    int processDfSequence(Str text, FileSystemInfo& info, int typeIndex);

    // The input text that names this host's open buffered read for a
    // REMOTE_READ_INPUT command.
    Str remoteReadInput() const;
    // The live host that remoteReadInput() named, or null for any other
    // text (a stale or malformed input is refused, never dereferenced).
    static InstallHost* fromRemoteReadInput(const Str& input);

  private:
    void registerLive();

    Str name;
    Str type;
    int enginePresent = 0;
    int pcInstallFlag = 0;
    int rebootPending = 0;
    int failed = 0;
    AccessMethod accessMethod = DEFAULT_ACCESS;
    Str hostUser;
    Str hostPassword;
    Array<FSState> states;
    int bufferedReadChannel = 0;
    Str toolsLoc;
    Str engineDir;
};

QS_ARRAY_LABEL(InstallHost*, "ptArray.InstallHost_p");

// Set when the ssh client program could not be found; every later ssh child
// then exits with 77 at once.
extern int sshExeSearchFailed;
// Set around commands to OS/2 hosts: reads do not block, and the first
// read of a socket waits at most 30 seconds. Each thread its own: hosts
// worked on side by side set and restore it around their own commands.
extern thread_local int doNotBlock;
extern const Str EMPTY;
extern const Str ROOT;              // "root"
extern const Str BEG_OF_STREAM;     // "BEG_OF_STREAM"
extern const Str END_OF_STREAM;     // "END_OF_STREAM"
extern const Str OUTPUT_TRUNCATED;  // "Output truncated."

// The host object for host, owned by the caller. With an empty type the
// type is found on the host ("ver", then uname against the identity
// table); null when it cannot be, with failure 273 (ssh client missing)
// or a critical 95 recorded for the host.
// Pushes op's file pack onto every host at once, their results in the
// order of hosts (1 pushed, 0 failed). A host fed from the installer's
// medium shares the one reading of the image with the others; each is
// judged, registered and given its probe file on its own.
std::vector<int> pushFilePackToHosts(const InstallOperation& op,
                                     const std::vector<InstallHost*>& hosts);

InstallHost* getInstallHostObject(const char* host, const char* user, const char* password,
                                  AccessMethod access, const char* type);

// The local host name ("@LocalName@" when set), computed once.
const Str& localName();
// The local name, or another name of the local host by the host look-up.
bool isLocal(const Str& host);

// The engine's error report without its script bookkeeping: what the
// package scripts wrote to standard error, and the engine's own lines.
Str NonCourierSpeak(const Str& engineErrors);

// command with the installation password and every "ZapPassword=" value
// hidden, for the debug log.
Str keyClean(const Str& command);
