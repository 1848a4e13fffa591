#include "hosts/CommandStreams.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/EngineLock.h"
#include "engine/HostFailure.h"
#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/DebugLog.h"

namespace {

int idleLimit = 1800;

void setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

struct StreamNames {
    const char* read;
    const char* eof;
    const char* again;
    const char* error;
};

const StreamNames stdoutNames{"stdout read ", "0 byte read of stdout", "X",
                              "read() error on stdout: "};
const StreamNames stderrNames{"stderr read ", "0 byte read of stderr", "E",
                              "read() error on stderr: "};

// Reads fd through buffer (TRANSFER_SIZE bytes) until it has nothing more
// for now; sets done at its end.
void drain(int fd, char* buffer, Str* dest, bool& done, const StreamNames& names) {
    for (;;) {
        int n = my_read(CHANNEL_CHILD, fd, buffer, TRANSFER_SIZE - 1);
        if (n > 0) {
            *dest += Str(buffer, n);
            dbFile << names.read << n << " bytes." << std::endl;
            continue;
        }
        if (n == 0) {
            dbFile << names.eof << std::endl;
            done = true;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            dbFile << names.again << std::endl;
        } else if (errno == EINTR) {
            continue;
        } else {
            dbFile << names.error << errno << std::endl;
            done = true;
        }
        return;
    }
}

// The error text as one report line: no final newline, other newlines
// shown as " | ", no carriage returns.
Str reportLine(const Str& errors) {
    Str line(errors);
    line.gsub("\r", "");
    if (line.length() > 0 && line[line.length() - 1] == '\n') line.del(line.length() - 1, 1);
    line.gsub("\n", " | ");
    return line;
}

const char* const waitMark = ".";

}  // namespace

int setCommandIdleLimit(int seconds) {
    int old = idleLimit;
    idleLimit = seconds;
    return old;
}

int commandIdleLimit() {
    return idleLimit;
}

int my_read(int, int fd, char* buffer, int n) {
    return int(read(fd, buffer, size_t(n)));
}
int my_write(int, int fd, const char* buffer, int n) {
    return int(write(fd, buffer, size_t(n)));
}
int my_close(int, int fd) {
    return close(fd);
}

CommandStreams::CommandStreams(int outFd, int errFd, Str* output, Str* errors)
    : out(outFd), err(errFd), output(output), errors(errors), idleLimit(commandIdleLimit()) {
    // Both are always polled, so a read never has to wait.
    setNonBlocking(out);
    if (err >= 0) setNonBlocking(err);
    errDone = err < 0;
}

void CommandStreams::readReady(short outEvents, short errEvents) {
    if (!outDone && outEvents) drain(out, buffer_, output, outDone, stdoutNames);
    if (!errDone && errEvents) drain(err, buffer_, errors, errDone, stderrNames);
}

void CommandStreams::reachIdleLimit() {
    if (idleLimitReached) return;
    idleLimitReached = true;
    if (atIdleLimit) atIdleLimit();
}

int sendInput(int fd, const char* data, int n, CommandStreams& streams) {
    setNonBlocking(fd);
    int sent = 0;
    int idle = 0;
    while (sent < n) {
        int w = my_write(CHANNEL_CHILD, fd, data + sent, n - sent);
        if (w > 0) {
            sent += w;
            idle = 0;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return sent;
        // The command is not reading: take its output meanwhile.
        pollfd p[3] = {{fd, POLLOUT, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
        // The output descriptor of a socket is the input descriptor itself.
        bool shared = streams.out == fd;
        if (!streams.outDone) {
            if (shared)
                p[0].events |= POLLIN;
            else
                p[1].fd = streams.out;
        }
        if (!streams.errDone) p[2].fd = streams.err;
        int r;
        {
            WhileWaiting wait;
            r = poll(p, 3, 1000);
        }
        if (r < 0 && errno != EINTR) return sent;
        if (r == 0) {
            status(waitMark);
            if (++idle >= streams.idleLimit) {
                dbFile << "command takes no input for " << idle << " seconds; giving up"
                       << std::endl;
                streams.reachIdleLimit();
                return sent;
            }
            continue;
        }
        if (r > 0) {
            short outEvents =
                shared ? short(p[0].revents & (POLLIN | POLLHUP | POLLERR)) : p[1].revents;
            streams.readReady(outEvents, p[2].revents);
            if (p[0].revents & (POLLERR | POLLNVAL)) return sent;
        }
    }
    return sent;
}

void collectStreams(CommandStreams& streams, int kind, const InstallHost* ih, const Str& host) {
    if (ih && ih->isOS2() && kind == CHANNEL_SOCKET) {
        pollfd p{streams.out, POLLIN, 0};
        int limit = doNotBlock ? 30 : streams.idleLimit;
        int r;
        {
            WhileWaiting wait;
            r = poll(&p, 1, limit * 1000);
        }
        if (r <= 0) {
            dbFile << "Initial select() failed to OS/2 box; assuming failed reboot." << std::endl;
            streams.abandon();
        }
    }
    int idle = 0;
    while (!streams.finished()) {
        pollfd p[2] = {{streams.outDone ? -1 : streams.out, POLLIN, 0},
                       {streams.errDone ? -1 : streams.err, POLLIN, 0}};
        int r;
        {
            WhileWaiting wait;
            r = poll(p, 2, 1000);
        }
        if (r < 0 && errno != EINTR) break;
        if (r > 0) {
            idle = 0;
            streams.readReady(p[0].revents, p[1].revents);
        } else if (r == 0) {
            status(waitMark);
            if (++idle >= streams.idleLimit) {
                dbFile << "no output from command for " << idle << " seconds; giving up"
                       << std::endl;
                streams.reachIdleLimit();
                if (kind == CHANNEL_CHILD) killChild(streams.child);
                break;
            }
        }
    }
    my_close(kind, streams.out);
    if (streams.err >= 0) my_close(kind, streams.err);
    if (!streams.errors->empty()) hostFailures.addStandardError(host, reportLine(*streams.errors));
}

void collectOutput(int outFd, int errFd, char*, int, Str* output, Str* errors, int kind,
                   const InstallHost* ih, const Str& host, AccessMethod) {
    CommandStreams streams(outFd, errFd, output, errors);
    collectStreams(streams, kind, ih, host);
}

void catchBrokenPipe() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction sa = {};
    sa.sa_handler = [](int) {
        static const char text[] = "Caught broken pipe!\n";
        dbFile.write(text, sizeof text - 1);
    };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGPIPE, &sa, nullptr);
}
