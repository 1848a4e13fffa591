#include "hosts/Rexec.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "framework/qrx_net.h"
#include "model/DebugLog.h"

namespace {

int waitLimitSeconds = 180;

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, at least 0, as poll wants them.
int msLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is readable (or has hung up); false on time-out or error.
bool readableBefore(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, msLeft(deadline));
        if (n > 0) return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        if (n == 0) return false;
        if (errno != EINTR) return false;
    }
}

Clock::time_point deadlineFromNow() {
    return Clock::now() + std::chrono::seconds(waitLimitSeconds);
}

// One byte from fd within the deadline; false on time-out, end or error.
bool receiveByte(int fd, char* c, Clock::time_point deadline) {
    if (!readableBefore(fd, deadline)) return false;
    ssize_t n;
    do n = recv(fd, c, 1, 0);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

// Sends the bytes; never raises SIGPIPE.
bool sendAll(int fd, const std::string& bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Texts, each with its terminating zero byte, in one message.
std::string zeroTerminated(std::initializer_list<const char*> texts) {
    std::string bytes;
    for (const char* t : texts) {
        bytes += t;
        bytes += '\0';
    }
    return bytes;
}

void closeIfOpen(int fd) {
    if (fd >= 0) close(fd);
}

// The server's answer: true for the zero byte. Any other first byte starts
// the server's refusal, copied to our standard error up to its newline.
bool accepted(int fd) {
    Clock::time_point deadline = deadlineFromNow();
    char c;
    if (!receiveByte(fd, &c, deadline)) return false;
    if (c == '\0') return true;
    do {
        if (write(STDERR_FILENO, &c, 1) != 1) break;
    } while (c != '\n' && receiveByte(fd, &c, deadline));
    return false;
}

// Opens the listening socket for the error channel and tells the server
// its port; -1 on failure.
int offerErrorPort(int command) {
    int listener = open_and_bind();
    if (listener < 0) return -1;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        length != sizeof local) {
        close(listener);
        return -1;
    }
    char port[16];
    std::snprintf(port, sizeof port, "%d", ntohs(local.sin_port));
    if (!sendAll(command, zeroTerminated({port}))) {
        close(listener);
        return -1;
    }
    return listener;
}

// Waits for the server to connect back to listener and returns that
// connection, or -1. A server that answers or closes on the command
// connection first has refused (its text is copied by accepted()).
int acceptErrorChannel(int command, int listener) {
    Clock::time_point deadline = deadlineFromNow();
    for (;;) {
        pollfd p[2] = {{listener, POLLIN, 0}, {command, POLLIN, 0}};
        int n = poll(p, 2, msLeft(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            dbFile << "vlk_rexec: no error connection from the server in time" << std::endl;
            return -1;
        }
        if (p[1].revents) {
            accepted(command);
            return -1;
        }
        int channel;
        do channel = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        while (channel < 0 && errno == EINTR);
        return channel;
    }
}

// Connects a socket of our port range to the host's first address.
int connectTo(const hostent* entry, unsigned short port) {
    int s = open_and_bind();
    if (s < 0) return -1;
    sockaddr_in peer{};
    peer.sin_family = static_cast<sa_family_t>(entry->h_addrtype);
    peer.sin_port = port;
    std::memcpy(&peer.sin_addr, entry->h_addr_list[0], sizeof peer.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        int err = errno;
        dbFile << "vlk_rexec: connect failed: " << std::strerror(err) << std::endl;
        close(s);
        errno = err;
        return -1;
    }
    return s;
}

// Looks host up and connects to it; the official name goes into name.
int connectByName(const char* host, unsigned short port, std::string& name) {
    hostent* entry = swstack_gethostbyname(host);
    if (!entry) {
        errno = 0;  // the caller looks the name up again to say why
        return -1;
    }
    int s = -1;
    int err = 0;
    if (entry->h_addrtype == AF_INET && entry->h_length == sizeof(in_addr) &&
        entry->h_addr_list[0]) {
        name = entry->h_name;
        s = connectTo(entry, port);
        err = errno;
    }
    swstack_freehostent(entry);
    errno = s < 0 ? err : 0;
    return s;
}

}  // namespace

int rexecWaitSeconds() {
    return waitLimitSeconds;
}

int setRexecWaitSeconds(int seconds) {
    int previous = waitLimitSeconds;
    waitLimitSeconds = seconds;
    return previous;
}

int open_and_bind() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    int bound = range_bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any);
    if (bound == QRX_BIND_NO_RANGE) {
        if (bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
            close(s);
            return -1;
        }
        return s;
    }
    if (bound == QRX_BIND_BAD_ARGUMENT || bound == QRX_BIND_BAD_RANGE ||
        bound == QRX_BIND_NO_PORT) {
        close(s);
        return -1;
    }
    return s;
}

int vlk_rexec(char** host, unsigned short port, const char* user, const char* password,
              const char* command, int* errorChannel, int /*boundedWait*/) {
    static std::string officialName;
    errno = 0;
    if (!host || !*host) return -1;
    int s = connectByName(*host, port, officialName);
    if (s < 0) return -1;
    *host = &officialName[0];

    int channel = -1;
    if (!errorChannel) {
        if (!sendAll(s, zeroTerminated({""}))) {
            close(s);
            errno = 0;
            return -1;
        }
    } else {
        int listener = offerErrorPort(s);
        if (listener >= 0) {
            channel = acceptErrorChannel(s, listener);
            close(listener);
        }
        if (channel < 0) {
            close(s);
            errno = 0;
            return -1;
        }
    }

    // A server refusing a field may hang up before the rest arrives: its
    // answer is read even when sending failed.
    bool sent = sendAll(s, zeroTerminated({user, password, command}));
    if (accepted(s) && sent) {
        if (errorChannel) *errorChannel = channel;
        return s;
    }
    closeIfOpen(channel);
    close(s);
    errno = 0;  // connected: the failure is the server's, told on standard error
    return -1;
}
