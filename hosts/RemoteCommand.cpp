#include "hosts/RemoteCommand.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "engine/Args.h"
#include "engine/Timer.h"
#include "hosts/CommandInput.h"
#include "hosts/CommandStreams.h"
#include "hosts/GroupStop.h"
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

Str unframe(const Str& framed) {
    // Callers see the output as it was before the frame named a group.
    const Str raw = withoutGroupLine(framed);
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
    Str body = command + "; echo; echo " + END_OF_STREAM;
    // The tools' shell of an OS/2 host knows no process groups. The
    // group's shell starts with the path text too: it inherits no shell
    // options (a "set -a" there exports what the command reads).
    if (!host || !host->isOS2()) body = inOwnGroup(path + ";" + body);
    return path + ";echo " + BEG_OF_STREAM + ";" + body;
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

namespace {

// A started command: its channel, the raw output it has given so far, and
// its error text.
struct Started {
    Str host;
    const InstallHost* ih = nullptr;
    int kind = CHANNEL_FAILED;
    int toCommand = -1;
    Str raw;
    Str* errors = nullptr;
    std::unique_ptr<CommandStreams> streams;
    bool inputOpen = false;
    bool cutShort = false;  // stopped taking input before its end
    // How the command was started, for the command that stops it.
    AccessMethod access = DEFAULT_ACCESS;
    Str user;
    Str password;
};

// Seconds the command that stops a given-up command may take.
const int kStopCommandLimit = 30;

void stopAtIdleLimit(Started& c);

bool start(Started& c, const Str& command, AccessMethod access, const char* user,
           const char* password, int wrap) {
    int fromOutput = -1, fromError = -1;
    c.kind = startCommand(c.host, command, access, user, password, &c.toCommand, &fromOutput,
                          &fromError, c.ih, wrap);
    if (c.kind == CHANNEL_FAILED) {
        dbFile << "startCommand failure" << std::endl;
        return false;
    }
    c.streams.reset(new CommandStreams(fromOutput, fromError, &c.raw, c.errors));
    if (c.kind == CHANNEL_CHILD) c.streams->child = lastChildPid();
    c.inputOpen = true;
    c.access = access;
    c.user = user;
    c.password = password;
    if (runsInOwnGroup(command)) c.streams->atIdleLimit = [&c] { stopAtIdleLimit(c); };
    return true;
}

void closeInput(Started& c) {
    if (!c.inputOpen) return;
    endInput(c.kind, c.toCommand);
    c.inputOpen = false;
}

// Reads the rest of the command's output, waits for its child and cuts
// the output out of the frame.
void finish(Started& c, Str& output) {
    collectStreams(*c.streams, c.kind, c.ih, c.host);
    c.raw.gsub("\r", "");
    int status = -1;
    if (c.kind == CHANNEL_CHILD) {
        dbFile << "waiting for child..." << std::endl;
        status = finishChild(c.streams->child);
        dbFile << "...finished waiting." << std::endl;
    }
    output = unframe(c.raw);
    if (!output.empty()) dbFile << "\noutput:\n" << output << std::endl;
    c.errors->gsub("\r", "");
    if (!c.errors->empty()) dbFile << "stderr: " << *c.errors << std::endl;
    // The secure shell client gave up (255) and its words say why, or the
    // channel was given up at the idle limit before even the remote shell
    // said anything: the host never answered.
    if (!isLocal(c.host)) {
        if (status == kSshClientFailed)
            recordUnreachable(c.host, 0, *c.errors);
        else if (status == kKilledAtIdleLimit && c.raw.empty())
            recordUnreachable(c.host, ETIMEDOUT, EMPTY);
    }
    t.elapsed(("Command on host " + c.host + " finished.").chars());
}

// Runs groupStopCommand for group on the host of c, by the same access,
// within its own limit; true on its positive answer.
bool stopOnHost(const Started& c, pid_t group, Str& why) {
    Started s;
    Str errors;
    s.host = c.host;
    s.ih = c.ih;
    s.errors = &errors;
    Str command = genericRemoteWrapper(groupStopCommand(group), c.ih);
    if (!start(s, command, c.access, c.user, c.password, 1)) {
        why = "the host could not be reached";
        return false;
    }
    s.streams->atIdleLimit = nullptr;
    s.streams->idleLimit = kStopCommandLimit;
    closeInput(s);
    Str output;
    finish(s, output);
    if (groupStopped(output, why)) return true;
    // The client's own words say why the host did not answer.
    if (!errors.empty()) why += " (" + (errors.contains('\n') ? errors.before('\n') : errors) + ")";
    return false;
}

// A command given up at the idle limit is stopped on its host as a whole:
// what it started would otherwise go on (and go on writing where it
// installs).
void stopAtIdleLimit(Started& c) {
    Str raw(c.raw);
    raw.gsub("\r", "");
    pid_t group = reportedGroup(raw);
    const Str limit(std::to_string(c.streams->idleLimit));
    Str why;
    bool stopped = false;
    if (!group)
        why = "it named no process group of its own";
    else if (isLocal(c.host))
        stopped = stopLocalGroup(group, c.streams->child, why);
    else
        stopped = stopOnHost(c, group, why);
    Str line = stopped ? "the command was stopped on the host at the idle limit of " + limit +
                             " seconds (process group " + Str(std::to_string(group)) + ")"
                       : "the command was given up at the idle limit of " + limit +
                             " seconds and could not be stopped on the host: " + why;
    dbFile << line << std::endl;
    *c.errors += line + "\n";
}

// The same input to several commands at once: a command that stops
// taking it is left out of the rest, the others go on.
class FanOutSink : public InputSink {
  public:
    explicit FanOutSink(std::vector<Started*>& commands) : commands_(commands) {}
    bool send(const char* data, int n) override {
        bool any = false;
        for (Started* c : commands_) {
            if (!c->inputOpen) continue;
            if (sendInput(c->toCommand, data, n, *c->streams) != n) {
                dbFile << "Input write to the command on " << c->host << " failed" << std::endl;
                c->cutShort = true;
                closeInput(*c);
                continue;
            }
            any = true;
        }
        return any;
    }

  private:
    std::vector<Started*>& commands_;
};

}  // namespace

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

    Started c;
    c.host = host;
    c.ih = ih;
    c.errors = &errors;
    if (!start(c, command, access, user, password, wrap)) return;
    CommandSink sink(c.toCommand, *c.streams);
    if (!source.feed(sink, errors)) errors += INPUT_CUT_SHORT;
    closeInput(c);

    if (command.contains("os2config")) return;
    finish(c, output);
}

void commandsOnHosts(std::vector<HostCommand>& commands, InstallHost::InputType inputType,
                     const Str& input) {
    if (commands.empty()) return;
    t.elapsed("Before Commands");
    catchBrokenPipe();
    CommandInput source(inputType, input, commands[0].host->getName());
    if (!source.open()) return;

    std::vector<Started> started(commands.size());
    std::vector<Started*> running;
    for (size_t i = 0; i < commands.size(); ++i) {
        HostCommand& hc = commands[i];
        Started& c = started[i];
        hc.errors = Str();
        c.host = hc.host->getName();
        c.ih = hc.host;
        c.errors = &hc.errors;
        if (start(c, hc.host->remoteWrapper(hc.command), hc.host->access(), hc.host->user(),
                  hc.host->password(), 1))
            running.push_back(&c);
    }
    if (running.empty()) return;
    FanOutSink sink(running);
    Str pipeErrors;
    bool whole = source.feed(sink, pipeErrors);
    for (Started* c : running) {
        c->errors->prepend(pipeErrors);
        if (c->cutShort || !whole) *c->errors += INPUT_CUT_SHORT;
        closeInput(*c);
    }
    for (size_t i = 0; i < commands.size(); ++i)
        if (started[i].streams) finish(started[i], commands[i].output);
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
