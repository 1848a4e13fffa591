#include "tests/inetd_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "tests/test_util.h"

namespace testutil {

namespace {

const char* const INETD = "/usr/sbin/inetd";
const char* const PID_FILE = "/run/inetd.pid";  // inetd writes it even with -d
const char* const ACCOUNT = "qspeer";
const char* const ACCOUNT_MARK = "quillset peer test account";
const unsigned short RSH_PORT = 514;
const unsigned short REXEC_PORT = 512;

bool writeText(const std::string& path, const std::string& text, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, mode);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    ok = fchmod(fd, mode) == 0 && ok;
    return close(fd) == 0 && ok;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Runs a system tool quietly; true when it exits 0.
bool tool(const std::vector<std::string>& argv, const std::string& input = "") {
    return run(argv, input, {}, 30).status == 0;
}

std::string randomPassword() {
    std::random_device rd;
    const char alphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string p = "Qs";
    for (int i = 0; i < 8; ++i) p += alphabet[rd() % (sizeof alphabet - 1)];
    return p;
}

std::string rootHome() {
    const passwd* pw = getpwuid(0);
    return pw && pw->pw_dir ? pw->pw_dir : "/root";
}

// A pid file naming no live process is left from an inetd that was killed.
bool stalePidFileRemoved() {
    long pid = std::atol(readFile(PID_FILE).c_str());
    if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) return false;
    return unlink(PID_FILE) == 0;
}

}  // namespace

InetdPeer::InetdPeer(unsigned services, const std::string& address) : address_(address) {
    if (geteuid() != 0) {
        error_ = "the rsh and rexec peers need root (fixed ports, an account, /root/.rhosts)";
        return;
    }
    if (access(INETD, X_OK) != 0) {
        error_ = std::string(INETD) + " is missing (package openbsd-inetd)";
        return;
    }
    char dir[] = "/tmp/qs-inetd-XXXXXX";
    if (!mkdtemp(dir)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = dir;
    if (!writeConfig(services)) return;
    if ((services & REXEC) && !createAccount()) return;
    if ((services & RSH) && !trustRoot()) return;
    if (startInetd()) waitForPorts(services);
}

InetdPeer::~InetdPeer() {
    stopInetd();
    removeAccount();
    restoreTrust();
    if (!dir_.empty()) run({"rm", "-rf", dir_});
}

std::string InetdPeer::log() const {
    return readFile(dir_ + "/inetd.log");
}

bool InetdPeer::writeConfig(unsigned services) {
    std::string conf;
    if (services & RSH)
        conf += address_ + ":shell stream tcp nowait root /usr/sbin/in.rshd in.rshd\n";
    if (services & REXEC)
        conf += address_ + ":exec stream tcp nowait root /usr/sbin/in.rexecd in.rexecd\n";
    for (const char* server : {"/usr/sbin/in.rshd", "/usr/sbin/in.rexecd"}) {
        if (access(server, X_OK) != 0) {
            error_ = std::string(server) + " is missing (package rsh-server)";
            return false;
        }
    }
    if (!writeText(dir_ + "/inetd.conf", conf, 0600)) {
        error_ = "cannot write " + dir_ + "/inetd.conf";
        return false;
    }
    return true;
}

bool InetdPeer::createAccount() {
    // A leftover of a run that was killed is ours only if it carries our mark.
    if (const passwd* old = getpwnam(ACCOUNT)) {
        if (!old->pw_gecos || std::strcmp(old->pw_gecos, ACCOUNT_MARK) != 0) {
            error_ = std::string("an account ") + ACCOUNT + " exists that is not a test account";
            return false;
        }
        tool({"userdel", "-f", "-r", ACCOUNT});
    }
    if (!tool({"useradd", "-m", "-s", "/bin/sh", "-c", ACCOUNT_MARK, ACCOUNT})) {
        error_ = "useradd failed";
        return false;
    }
    accountMade_ = true;
    user_ = ACCOUNT;
    password_ = randomPassword();
    if (!tool({"chpasswd"}, user_ + ":" + password_ + "\n")) {
        error_ = "chpasswd failed";
        return false;
    }
    return true;
}

bool InetdPeer::trustRoot() {
    std::string rhosts = rootHome() + "/.rhosts";
    hadRhosts_ = exists(rhosts);
    if (hadRhosts_) savedRhosts_ = readFile(rhosts);
    // The client's address is a loopback one; which one depends on the
    // address it connected to, so every name of it is trusted.
    std::string trust = savedRhosts_;
    if (!trust.empty() && trust.back() != '\n') trust += '\n';
    for (const std::string& from : {std::string("127.0.0.1"), std::string("localhost"), address_})
        trust += from + " root\n";
    trustMade_ = true;
    if (!writeText(rhosts, trust, 0600)) {
        error_ = "cannot write " + rhosts;
        return false;
    }
    return true;
}

bool InetdPeer::startInetd() {
    if (exists(PID_FILE) && !stalePidFileRemoved()) {
        error_ = std::string(PID_FILE) + " exists: another inetd runs; not starting a second one";
        return false;
    }
    std::string logPath = dir_ + "/inetd.log";
    std::string conf = dir_ + "/inetd.conf";
    const pid_t parent = getpid();
    inetd_ = fork();
    if (inetd_ < 0) {
        error_ = "fork failed";
        return false;
    }
    if (inetd_ == 0) {
        setpgid(0, 0);  // its own group, so that its servers go with it
        serveOnlyWhileTheTestRuns(parent);
        int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        execl(INETD, "inetd", "-d", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(inetd_, inetd_);
    return true;
}

bool InetdPeer::waitForPorts(unsigned services) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(inetd_, &status, WNOHANG) == inetd_) {
            inetd_ = -1;
            error_ = "inetd ended at once:\n" + log();
            return false;
        }
        bool up = (!(services & RSH) || portAccepts(address_, RSH_PORT)) &&
                  (!(services & REXEC) || portAccepts(address_, REXEC_PORT));
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "inetd did not listen in time:\n" + log();
    return false;
}

void InetdPeer::stopInetd() {
    if (inetd_ <= 0) return;
    kill(-inetd_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status;
    while (waitpid(inetd_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(-inetd_, SIGKILL);
            waitpid(inetd_, &status, 0);
            // Killed, it could not remove its pid file; it was ours.
            unlink(PID_FILE);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-inetd_, SIGKILL);  // servers still running in its group
    inetd_ = -1;
}

void InetdPeer::removeAccount() {
    if (!accountMade_) return;
    // -f: a command the test started as the account may still be ending.
    tool({"userdel", "-f", "-r", ACCOUNT});
    accountMade_ = false;
}

void InetdPeer::restoreTrust() {
    if (!trustMade_) return;
    std::string rhosts = rootHome() + "/.rhosts";
    if (hadRhosts_)
        writeText(rhosts, savedRhosts_, 0600);
    else
        unlink(rhosts.c_str());
    trustMade_ = false;
}

SilentPeer::SilentPeer(const std::string& address, unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    port_ = ntohs(a.sin_port);
}

SilentPeer::~SilentPeer() {
    for (int c : connections_) close(c);
    if (fd_ >= 0) close(fd_);
}

int SilentPeer::accepted() const {
    for (int c; fd_ >= 0 && (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        connections_.push_back(c);
    return static_cast<int>(connections_.size());
}

}  // namespace testutil
