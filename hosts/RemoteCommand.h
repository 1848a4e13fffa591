// Running one command on a host, the local host included: the channel by
// the host's access method (local shell, trusted-host remote shell, remote
// execution with password, secure shell client), the command's standard
// input from a text, a local file, a local command's output or a buffered
// read on another host, and its output cut out of whatever the login
// prints around it by the BEG_OF_STREAM/END_OF_STREAM frame.
//
// Nothing here throws: failures are recorded for the host in hostFailures
// and the caller sees empty output, or partial output ending in
// "Output truncated.".
#pragma once

#include <sys/types.h>

#include <vector>

#include "hosts/InstallHost.h"
#include "model/Str.h"

// Channel kinds returned by startCommand.
enum ChannelKind {
    CHANNEL_FAILED = 0,
    CHANNEL_CHILD = 1,  // child process on three pipes (local shell, ssh client)
    CHANNEL_SOCKET = 2  // socket for input and output, a second one for errors
};

// Runs command on host. errors is emptied, then receives the input pipe's
// error text, INPUT_CUT_SHORT when the command did not take all of its
// input, and the command's standard error (all handed to
// hostFailures.addStandardError). output receives the text between the
// markers; it is left untouched when the channel or the input cannot be
// set up, or for a command containing "os2config" (the host reboots).
// ih may be null; wrap 1 puts a shell around the command on a remote host.
// A non-empty secretLine is written ahead of the input and never logged:
// the command reads it as its first line (so that a password stands in no
// argument list).
void commandOnHost(const Str& host, const Str& command, AccessMethod access, const char* user,
                   const char* password, const Str& input, Str& output, Str& errors,
                   InstallHost::InputType inputType, const InstallHost* ih, int wrap,
                   const Str& secretLine = EMPTY);

// One command of commandsOnHosts: run on host (framed by its
// remoteWrapper, its access method and account), and what it gave back
// as commandOnHost gives it.
struct HostCommand {
    InstallHost* host = nullptr;
    Str command;
    Str output;
    Str errors;
};

// Runs each command on its host at the same time, all of them fed the
// same input, which is read once: a file pack streamed to several hosts.
// A command that cannot be started, or stops taking the input, fails on
// its own (its errors say so); the others go on.
void commandsOnHosts(std::vector<HostCommand>& commands, InstallHost::InputType inputType,
                     const Str& input);

// The line errors receives when a command stopped taking its input early.
extern const char* const INPUT_CUT_SHORT;

// The command's output cut out of raw, what a framed command brought back
// (carriage returns removed): the text between the BEG_OF_STREAM line and
// the empty line before the last END_OF_STREAM; what came, followed by
// "Output truncated.", when a marker is missing.
Str unframe(const Str& raw);

// The command framed for a remote shell: the default path of the host (of
// the generic architecture with no host), ";echo BEG_OF_STREAM;", the
// command, "; echo; echo END_OF_STREAM".
Str genericRemoteWrapper(const Str& command, const InstallHost* host);

// Opens the channel for command and returns its kind; the descriptors are
// set for kinds 1 and 2 (toCommand == fromOutput for a socket). A child
// started for kind 1 is reaped by finishChild.
int startCommand(const Str& host, const Str& command, AccessMethod access, const char* user,
                 const char* password, int* toCommand, int* fromOutput, int* fromError,
                 const InstallHost* ih, int wrap);

// The channel openers; 1 on success, 0 with a host failure recorded.
// Trusted-host shell through the system's rcmd, always as "root".
int openRcmd(const Str& host, const Str& command, int* toCommand, int* fromOutput, int* fromError);
// Seconds the trusted-host login may take before it is given up (default
// 180, as for remote execution); returns the previous value.
int setLoginWaitSeconds(int seconds);
int loginWaitSeconds();
// Remote execution with user and password; retry 1 marks the second try
// after installing the remote installation service.
int frexec(const Str& host, const Str& command, const char* user, const char* password,
           int* toCommand, int* fromOutput, int* fromError, int retry, const InstallHost* ih);
// A child on three pipes: "sh -c command" locally, or the ssh client
// (environment "SSH", else "ssh") with "-x -T [-l user] host command".
int forkCommand(const Str& host, int useSsh, const Str& command, const char* user,
                const char* password, int* toCommand, int* fromOutput, int* fromError);

// Waits for the child of the last kind-1 channel not yet waited for, and
// reaps any earlier one that has ended (the child of a buffered read that
// fed the command); each only among the calling thread's own children. Exit status 77 of an ssh
// child (its program does not exist) sets sshExeSearchFailed. Returns the exit status (128 + signal
// for a killed child), -1 when there was none. A child still running after commandIdleLimit()
// seconds is killed.
int finishChild();
// The same for the child pid (several commands may run at once).
int finishChild(pid_t pid);
// The child of the last kind-1 channel this thread opened; -1 when none
// is running.
pid_t lastChildPid();
// Kills the child pid of a kind-1 channel (a command given up).
void killChild(pid_t pid);

// The channel primitives: the plain descriptor calls for every kind.
int my_read(int kind, int fd, char* buffer, int n);
int my_write(int kind, int fd, const char* buffer, int n);
int my_close(int kind, int fd);

// Reads both descriptors until each has ended, waiting on both at once and
// showing "." for each second without data; then closes them and hands the
// error text to hostFailures. Both are always read without blocking, since
// they are polled; buffer and size are unused (the streams read through a
// buffer of their own). Gives up, killing a child,
// after commandIdleLimit() seconds without data on either descriptor.
void collectOutput(int outFd, int errFd, char* buffer, int size, Str* output, Str* errors, int kind,
                   const InstallHost* ih, const Str& host, AccessMethod access);

// Seconds collectOutput waits for any data before giving up (default
// 1800); returns the previous value.
int setCommandIdleLimit(int seconds);
int commandIdleLimit();

// Installs, once per process, a SIGPIPE handler that only logs
// "Caught broken pipe!", so that a closed channel never ends the process.
void catchBrokenPipe();

// The ssh program name and the PATH of the last ssh attempt, for failure
// 273; "<<unknown>>" before any.
const Str& lastSshProgram();
const Str& lastSshPath();

// The standard error of a PIPE_INPUT command goes to a fresh private file
// named by this prefix and a unique suffix (never a fixed name in /tmp,
// which another user could have planted as a link); it is read and removed
// after the input has been sent.
extern const char* const PIPE_STDERR_FILE;  // "/tmp/install-pipe-stderr"
