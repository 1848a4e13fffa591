#include "tests/cutting_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace testutil {

namespace {

sockaddr_in addressOf(const std::string& address, unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

void nonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Writes what it can of pending without waiting; false on an error.
bool flush(int fd, std::string& pending) {
    while (!pending.empty()) {
        ssize_t n = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        pending.erase(0, size_t(n));
    }
    return true;
}

}  // namespace

// One relayed connection: the client's socket, ours to the server, and what
// each side has sent that the other has not taken yet.
struct CuttingRelay::Link {
    int client = -1;
    int server = -1;
    size_t index = 0;
    std::string toServer, toClient;
    bool clientDone = false, serverDone = false;  // read to its end
    bool serverShut = false, clientShut = false;  // its writing side shut
    ~Link() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
};

CuttingRelay::CuttingRelay(const std::string& address, unsigned short serverPort)
    : serverPort_(serverPort), address_(address) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = addressOf(address, 0);
    socklen_t len = sizeof a;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        error_ = "cannot listen on " + address;
        return;
    }
    port_ = ntohs(a.sin_port);
    nonBlocking(listener_);
    thread_ = std::thread([this] { serve(); });
}

CuttingRelay::~CuttingRelay() {
    if (thread_.joinable()) {
        stop_ = true;
        char c = 0;
        if (write(wake_[1], &c, 1) < 0) {
            // The loop also looks at the flag between its bounded waits.
        }
        thread_.join();
    }
    for (Link* l : links_) delete l;
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

void CuttingRelay::cutAfter(unsigned long long bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    cut_ = bytes;
    passed_ = 0;
    cutConnection_ = -1;
    bytes_.clear();
}

int CuttingRelay::cutConnection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cutConnection_;
}

std::vector<unsigned long long> CuttingRelay::connectionBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

void CuttingRelay::accept() {
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) return;
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = addressOf(address_, serverPort_);
    if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (server >= 0) close(server);
        close(client);
        return;
    }
    nonBlocking(server);
    Link* l = new Link;
    l->client = client;
    l->server = server;
    l->index = bytes_.size();
    bytes_.push_back(0);
    links_.push_back(l);
}

bool CuttingRelay::pass(Link& link, int from, int to, std::string& pending) {
    char buf[16384];
    size_t want = sizeof buf;
    if (cut_ != 0) want = size_t(std::min<unsigned long long>(want, cut_ - passed_));
    ssize_t n = read(from, buf, want);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) {
        (from == link.client ? link.clientDone : link.serverDone) = true;
        return true;
    }
    pending.append(buf, size_t(n));
    passed_ += (unsigned long long)n;
    if (link.index < bytes_.size()) bytes_[link.index] += (unsigned long long)n;
    if (cut_ == 0 || passed_ < cut_) return true;
    // The cut: what was read still goes on, within a second, then the
    // connection closes on both sides.
    cut_ = 0;
    cutConnection_ = int(link.index);
    timeval limit{1, 0};
    setsockopt(to, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    fcntl(to, F_SETFL, fcntl(to, F_GETFL) & ~O_NONBLOCK);
    send(to, pending.data(), pending.size(), MSG_NOSIGNAL);
    return false;
}

void CuttingRelay::serve() {
    while (!stop_) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (Link* l : links_) {
                short c = 0, s = 0;
                if (!l->clientDone && l->toServer.empty()) c |= POLLIN;
                if (!l->toClient.empty()) c |= POLLOUT;
                if (!l->serverDone && l->toClient.empty()) s |= POLLIN;
                if (!l->toServer.empty()) s |= POLLOUT;
                fds.push_back({l->client, c, 0});
                fds.push_back({l->server, s, 0});
            }
        }
        if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) return;
        if (stop_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (fds[1].revents & POLLIN) accept();
        // The links polled are the first ones of links_: accept appends.
        std::vector<Link*> kept;
        for (size_t i = 0; i < links_.size(); ++i) {
            Link* l = links_[i];
            bool ok = true;
            if (2 + 2 * i + 1 < fds.size()) {
                const short ready = POLLIN | POLLHUP | POLLERR;
                short c = fds[2 + 2 * i].revents, s = fds[2 + 2 * i + 1].revents;
                if (ok && (c & ready) && !l->clientDone && l->toServer.empty())
                    ok = pass(*l, l->client, l->server, l->toServer);
                if (ok && (s & ready) && !l->serverDone && l->toClient.empty())
                    ok = pass(*l, l->server, l->client, l->toClient);
                ok = ok && flush(l->server, l->toServer) && flush(l->client, l->toClient);
                // An end read on one side is passed on once its bytes are.
                if (ok && l->clientDone && l->toServer.empty() && !l->serverShut) {
                    shutdown(l->server, SHUT_WR);
                    l->serverShut = true;
                }
                if (ok && l->serverDone && l->toClient.empty() && !l->clientShut) {
                    shutdown(l->client, SHUT_WR);
                    l->clientShut = true;
                }
                ok = ok && !(l->serverShut && l->clientShut);
            }
            if (ok)
                kept.push_back(l);
            else
                delete l;
        }
        links_ = kept;
    }
}

}  // namespace testutil
