// File operations on a host: each is one short shell command whose result
// is judged by its output and error text; file contents travel on the
// command's standard input or output. Also the buffered read that streams
// a file out of a host into a command on another.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "engine/Args.h"
#include "engine/FileSystemInfo.h"
#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "model/DebugLog.h"

namespace {

constexpr int BUFFERED_BLOCK = 65536;

// dir/name; the directory alone for an empty name, and no doubled "/".
Str joinPath(const Str& dir, const Str& name) {
    if (name.empty()) return dir;
    if (!dir.empty() && dir[dir.length() - 1] == '/') return dir + name;
    return dir + "/" + name;
}

Str withoutCarriageReturns(Str text) {
    text.gsub("\r", "");
    return text;
}

// The host's cat, "cat" when it names none.
Str catCommand(const InstallHost& host) {
    Str cat = argInfo.config.translate(&host, "@Cat@");
    return cat.empty() ? Str("cat") : cat;
}

// The host's directory-making command for dir, after a umask except on
// OS/2 hosts.
Str mkdirCommand(const InstallHost& host, const Str& dir) {
    return (host.isOS2() ? Str() : Str("umask 022;")) + "MDIR=" + shellWord(dir) + ";" +
           argInfo.config.translate(&host, "@mkdirCommand@");
}

// Creates path when missing, then prints its disk probe line.
Str diskProbeScript(const InstallHost& host, const Str& path) {
    Str quoted = shellWord(path);
    return "if [ ! -d " + quoted + " ]; then " + mkdirCommand(host, path) + "; fi; if [ ! -d " +
           quoted + " ]; then echo " + quoted + ": not a directory; else cd " + quoted + "; " +
           host.dfScriptSequence() + ";fi ";
}

// Waits for fd to have data (or end); false after the command idle limit.
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    int n;
    do n = poll(&p, 1, commandIdleLimit() * 1000);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

// What an open buffered read needs besides its output descriptor (kept by
// the host): the channel kind and the error descriptor, closed at the end.
struct BufferedRead {
    int kind = CHANNEL_FAILED;
    int fromError = -1;
};
std::map<const InstallHost*, BufferedRead> openReads;

void closeRead(const InstallHost* host, int fromOutput) {
    auto it = openReads.find(host);
    if (it == openReads.end()) return;
    my_close(it->second.kind, fromOutput);
    my_close(it->second.kind, it->second.fromError);
    openReads.erase(it);
}

}  // namespace

int InstallHost::createFile(const Str& dir, const Str& name, const Str& contents, int makeDir) {
    Str path = joinPath(dir, name);
    dbFile << "Generic creating File " << path << " on host: " << getName() << std::endl;
    Str cat = catCommand(*this);
    Str command;
    if (makeDir == 1)
        command = "MDIR=" + shellWord(dir) +
                  argInfo.config.translate(this, ";if [ ! -d \"$MDIR\" ];then @mkdirCommand@;fi;");
    // Written under a name of its own and put in place only when all of it
    // came: a connection dropped on the way leaves the old file or none,
    // never a part of the new one.
    Str quoted = shellWord(path);
    command += "T=" + shellWord(path + ".new") + "$$;rm -f \"$T\";(set -C;" + cat +
               " > \"$T\")&&[ `wc -c < \"$T\"` -eq " + Str(std::to_string(contents.length())) +
               " ]&&mv -f \"$T\" " + quoted + ";rm -f \"$T\";" + cat + " " + quoted;
    Str output, errors;
    runCommand(command, contents, output, errors, STRING_INPUT);
    if (output != contents) {
        dbFile << "File create failed -- contents bad" << std::endl;
        return 0;
    }
    return 1;
}

int InstallHost::fileExists(const Str& dir, const Str& name) {
    if (dir.empty()) {
        dbFile << "bad directory for IH:fileExists!" << std::endl;
        return 0;
    }
    Str path = joinPath(dir, name);
    dbFile << "Generic checking existence of " << path << " on host: " << getName() << std::endl;
    Str output, errors;
    runCommand("ls " + shellWord(path), EMPTY, output, errors, STRING_INPUT);
    int exists = !(!errors.empty() && errors.contains(path) &&
                   (errors.contains("not found") || errors.contains("No such file")));
    dbFile << "Generic: " << path << (exists ? " TRUE" : " FALSE") << std::endl;
    return exists;
}

void InstallHost::rmFile(const Str& dir, const Str& name) {
    Str path = joinPath(dir, name);
    dbFile << "Generic removing " << path << " on host: " << getName() << std::endl;
    Str command = isOS2() && argInfo.kind == 2 ? getToolsLoc() + "/rm -rf " + shellWord(path)
                                               : "rm -f " + shellWord(path);
    Str output, errors;
    runCommand(command, EMPTY, output, errors, STRING_INPUT);
}

void InstallHost::rmFiles(const Array<Str>& paths) {
    dbFile << "Generic removing list of files on host: " << getName() << std::endl;
    if (paths.length() == 0) {
        dbFile << "No files on list to remove!" << std::endl;
        return;
    }
    Str command = "rm -f";
    for (int i = 0; i < paths.length(); ++i) command += " " + shellWord(paths[i]);
    Str output, errors;
    runCommand(command, EMPTY, output, errors, STRING_INPUT);
}

void InstallHost::rmDir(const Str& dir) {
    dbFile << "Generic rmdir " << dir << " on host: " << getName() << std::endl;
    Str output, errors;
    runCommand("rmdir " + shellWord(dir), EMPTY, output, errors, STRING_INPUT);
}

void InstallHost::rmDirs(const Array<Str>& dirs) {
    dbFile << "Generic rmdir of " << dirs.length() << " directories on host: " << getName()
           << std::endl;
    if (dirs.length() == 0) return;
    Str command = "rmdir";
    for (int i = 0; i < dirs.length(); ++i) command += " " + shellWord(dirs[i]);
    Str output, errors;
    runCommand(command, EMPTY, output, errors, STRING_INPUT);
}

int InstallHost::createDirectory(const Str& dir) {
    dbFile << "Generic Creating directory " << dir << " on host: " << getName() << std::endl;
    Str command = mkdirCommand(*this, dir);
    Str output, errors;
    runCommand(command, EMPTY, output, errors, STRING_INPUT);
    if (!errors.empty() && errors.contains("mkdir") && errors.contains(dir)) {
        dbFile << "Mkdir failed: " << errors << std::endl;
        return 0;
    }
    return 1;
}

void InstallHost::readFile(const Str& dir, const Str& name, Str& out) {
    Str path = joinPath(dir, name);
    out = Str();
    if (isLocal(getName())) {
        dbFile << "readFile local:" << dir << "," << name << std::endl;
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char buf[16384];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
                if (n > 0) out += Str(buf, int(n));
            close(fd);
        }
    } else {
        dbFile << "readFile remote: " << dir << "," << name << std::endl;
        if (setupBufferedReadFile(dir, name)) {
            bool child = openReads[this].kind == CHANNEL_CHILD;
            char* block = nullptr;
            for (int n; (n = contBufferedRead(block)) > 0; block = nullptr) {
                out += Str(block, n);
                delete[] block;
            }
            delete[] block;
            cleanupBufferedReadStuff();
            // No command ran since the read started: the last child is its own.
            if (child) finishChild();
        }
    }
    if (!out.empty()) out = withoutCarriageReturns(out);
}

int InstallHost::setupBufferedReadFile(const Str& dir, const Str& name) {
    Str command = "FN=" + shellWord(joinPath(dir, name)) + "; if [ -f \"$FN\" ];then echo Yes>&2;" +
                  catCommand(*this) + " \"$FN\";else echo No>&2;fi";
    int toCommand = -1, fromOutput = -1, fromError = -1;
    int kind = startCommand(getName(), command, access(), user(), password(), &toCommand,
                            &fromOutput, &fromError, this, 1);
    if (kind == CHANNEL_FAILED) {
        dbFile << "startCommand failure for buffered read!" << std::endl;
        bufferedReadChannel = 0;
        return 0;
    }
    bufferedReadChannel = fromOutput;
    openReads[this] = BufferedRead{kind, fromError};
    if (kind == CHANNEL_CHILD)
        my_close(kind, toCommand);
    else
        shutdown(toCommand, SHUT_WR);

    char answer[100];
    int n = readable(fromError) ? my_read(kind, fromError, answer, 99) : -1;
    const char* failure = nullptr;
    if (n <= 0)
        failure = "something went wrong read stderr brstream.";
    else if (Str(answer, n).index("No") == 0)
        failure = "Buffered read file does not exist.";
    if (!failure) return 1;
    dbFile << failure << std::endl;
    closeRead(this, bufferedReadChannel);
    bufferedReadChannel = 0;
    return 0;
}

int InstallHost::contBufferedRead(char*& block) {
    if (!bufferedReadChannel) return 0;
    auto open = openReads.find(this);
    if (open == openReads.end()) return 0;
    block = new char[BUFFERED_BLOCK];
    if (!readable(bufferedReadChannel)) return 0;
    int n;
    do n = my_read(open->second.kind, bufferedReadChannel, block, BUFFERED_BLOCK);
    while (n < 0 && errno == EINTR);
    return n > 0 ? n : 0;
}

int InstallHost::cleanupBufferedReadStuff() {
    if (bufferedReadChannel) {
        closeRead(this, bufferedReadChannel);
        bufferedReadChannel = 0;
    }
    return 0;
}

int InstallHost::findFS(const Str& path, Str& server, Str& dir) {
    server = Str();
    dir = Str();
    dbFile << "Generic: resolving server/dir on " << getName() << ", path is " << path << std::endl;
    // OS/2 hosts are not probed; their answer is the df failure below.
    Str output, errors;
    if (!isOS2()) runCommand("sh", diskProbeScript(*this, path), output, errors, STRING_INPUT);
    if (output.contains(": not a directory")) {
        dbFile << "findFS (not a dir): " << output << errors << std::endl;
        return 0;
    }
    if (!output.contains("DF_DATA#")) {
        dbFile << "findFS (df seq failure): " << output << errors << std::endl;
        return 0;
    }
    FileSystemInfo scratch;
    return processDfSequence(output.from("DF_DATA#"), scratch, -1);
}
