#include "hosts/RemoteCommand.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/Args.h"
#include "engine/Timer.h"
#include "hosts/CommandInput.h"
#include "hosts/CommandStreams.h"
#include "hosts/Unreachable.h"
#include "model/DebugLog.h"

namespace {

int commandCount = 0;
const int kSshClientFailed = 255;
const int kKilledAtIdleLimit = 128 + SIGKILL;

// On an OS/2 host the path assignment's quoted value starts with the tools
// directory.
Str withToolsPath(const Str& path, const InstallHost* host) {
    if (!host || !host->isOS2() || !path.contains('"')) return path;
    return Str(path.before('"')) + "\"" + host->getToolsLoc() + ":" + Str(path.after('"'));
}

// A command as one argument of "sh -c ..." on the remote login shell.
Str shellQuoted(const Str& command) {
    return "sh -c " + shellWord(command);
}

// The tools' shell on an OS/2 host, run by the command processor.
Str os2Wrapped(const Str& command, const InstallHost* ih) {
    Str escaped(command);
    escaped.gsub("'", "\\'");
    Str tools = ih->getToolsLoc();
    tools.gsub("/", "\\");
    return "SET BEGINLIBPATH=" + tools + "&" + tools + "\\sh -c \"" + escaped + "\"";
}

void endInput(int kind, int toCommand) {
    if (kind == CHANNEL_CHILD)
        my_close(kind, toCommand);
    else
        shutdown(toCommand, SHUT_WR);
}

}  // namespace

Str unframe(const Str& raw) {
    int begin = raw.index(BEG_OF_STREAM);
    int end = raw.index(END_OF_STREAM, -1);
    int start = begin + BEG_OF_STREAM.length() + 1;
    if (begin >= 0 && end >= 0 && end >= start - 1) {
        int len = end - start - 1;
        return len > 0 ? Str(raw.at(start, len)) : Str();
    }
    dbFile << "Remote side did not properly run our command.\n" << raw << std::endl;
    Str output = begin == 0 ? Str(raw.after(BEG_OF_STREAM.length() - 1)) : raw;
    return output + OUTPUT_TRUNCATED;
}

const char* const INPUT_CUT_SHORT = "the command did not take all of its input\n";

Str genericRemoteWrapper(const Str& command, const InstallHost* host) {
    Str path = withToolsPath(argInfo.config.translate(host, "@defaultPath@"), host);
    return path + ";echo " + BEG_OF_STREAM + ";" + command + "; echo; echo " + END_OF_STREAM;
}

int startCommand(const Str& host, const Str& command, AccessMethod access, const char* user,
                 const char* password, int* toCommand, int* fromOutput, int* fromError,
                 const InstallHost* ih, int wrap) {
    Str runUser(user), runPassword(password);
    if (access == DEFAULT_ACCESS) {
        if (!argInfo.rootPassword.empty()) {
            access = USER_PASSWORD;
            runPassword = argInfo.rootPassword;
            runUser = argInfo.defaultUser.empty() ? ROOT : argInfo.defaultUser;
        } else {
            access = TRUSTED_HOST;
        }
    }
    if (argInfo.useSsh) access = SSH_ACCESS;

    dbFile << "executing following command #" << ++commandCount << " on " << host << ":\n"
           << keyClean(command) << std::endl;

    if (isLocal(host))
        return forkCommand(host, 0, command, runUser, runPassword, toCommand, fromOutput, fromError)
                   ? CHANNEL_CHILD
                   : CHANNEL_FAILED;

    Str remote = command;
    if (wrap) remote = ih && ih->isOS2() ? os2Wrapped(command, ih) : shellQuoted(command);

    switch (access) {
        case USER_PASSWORD:
            return frexec(host, remote, runUser, runPassword, toCommand, fromOutput, fromError, 0,
                          ih)
                       ? CHANNEL_SOCKET
                       : CHANNEL_FAILED;
        case SSH_ACCESS:
            return forkCommand(host, 1, remote, runUser, runPassword, toCommand, fromOutput,
                               fromError)
                       ? CHANNEL_CHILD
                       : CHANNEL_FAILED;
        default:
            return openRcmd(host, remote, toCommand, fromOutput, fromError) ? CHANNEL_SOCKET
                                                                            : CHANNEL_FAILED;
    }
}

void commandOnHost(const Str& host, const Str& command, AccessMethod access, const char* user,
                   const char* password, const Str& input, Str& output, Str& errors,
                   InstallHost::InputType inputType, const InstallHost* ih, int wrap,
                   const Str& secretLine) {
    errors = Str();
    t.elapsed("Before Command");
    // A command that stops reading its input must not end the installer.
    catchBrokenPipe();

    CommandInput source(inputType, input, host, secretLine);
    if (!source.open()) return;

    int toCommand = -1, fromOutput = -1, fromError = -1;
    int kind = startCommand(host, command, access, user, password, &toCommand, &fromOutput,
                            &fromError, ih, wrap);
    if (kind == CHANNEL_FAILED) {
        dbFile << "startCommand failure" << std::endl;
        return;
    }

    Str raw;
    CommandStreams streams(fromOutput, fromError, &raw, &errors);
    if (!source.feed(toCommand, streams, errors)) errors += INPUT_CUT_SHORT;
    endInput(kind, toCommand);

    if (command.contains("os2config")) return;

    collectStreams(streams, kind, ih, host);
    raw.gsub("\r", "");
    int status = -1;
    if (kind == CHANNEL_CHILD) {
        dbFile << "waiting for child..." << std::endl;
        status = finishChild();
        dbFile << "...finished waiting." << std::endl;
    }
    output = unframe(raw);
    if (!output.empty()) dbFile << "\noutput:\n" << output << std::endl;
    errors.gsub("\r", "");
    if (!errors.empty()) dbFile << "stderr: " << errors << std::endl;
    // The secure shell client gave up (255) and its words say why, or the
    // channel was given up at the idle limit before even the remote shell
    // said anything: the host never answered.
    if (!isLocal(host)) {
        if (status == kSshClientFailed)
            recordUnreachable(host, 0, errors);
        else if (status == kKilledAtIdleLimit && raw.empty())
            recordUnreachable(host, ETIMEDOUT, EMPTY);
    }
    t.elapsed(("Command on host " + host + " finished.").chars());
}

void InstallHost::runCommand(const Str& command, const Str& input, Str& output, Str& errors,
                             InputType type) {
    commandOnHost(name, remoteWrapper(command), access(), user(), password(), input, output, errors,
                  type, this, 1);
}

void InstallHost::runCommandWithSecret(const Str& command, const Str& secretLine, const Str& input,
                                       Str& output, Str& errors, InputType type) {
    commandOnHost(name, remoteWrapper(command), access(), user(), password(), input, output, errors,
                  type, this, 1, secretLine + "\n");
}

Str InstallHost::remoteWrapper(const Str& command) {
    return genericRemoteWrapper(command, this);
}
