#include "tests/sshd_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
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
#include <thread>

#include "tests/test_util.h"

namespace testutil {

namespace {

// sshd refuses every connection without its privilege separation
// directory. It is made when missing and left in place: the sshd of another
// test may still be serving, and removing it under that server resets each
// connection it accepts from then on.
const char* const RUN_DIR = "/run/sshd";
const char* const SSHD = "/usr/sbin/sshd";

bool writeText(const std::string& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream out(path);
    out << text;
    out.close();
    return out && chmod(path.c_str(), mode) == 0;
}

// A port that is free on address now.
unsigned short freePort(const std::string& address) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    unsigned short port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

std::string mountNamespaceOf(const std::string& pid) {
    char link[128];
    ssize_t n = readlink(("/proc/" + pid + "/ns/mnt").c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

// In the child, before sshd starts: a mount namespace of its own, from
// which no mount propagates back, with a tmpfs over each directory. Returns
// the step that failed, or null.
const char* coverWithTmpfs(const std::vector<std::string>& dirs) {
    if (dirs.empty()) return nullptr;
    if (unshare(CLONE_NEWNS) != 0) return "unshare(CLONE_NEWNS)";
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "making / private";
    for (const std::string& dir : dirs)
        if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            return "mounting a tmpfs";
    return nullptr;
}

}  // namespace

std::string writeSshDispatcher(const std::string& path, const std::vector<const SshdPeer*>& peers) {
    std::string text = "#!/bin/sh\nfor a in \"$@\"; do case \"$a\" in\n";
    for (const SshdPeer* p : peers)
        text += p->address() + ") exec " + p->sshProgram() + " \"$@\";;\n";
    text += "esac; done\necho \"no test host in: $*\" >&2\nexit 255\n";
    return writeText(path, text, 0755) ? path : std::string();
}

size_t acceptedLogins(const SshdPeer& peer) {
    const std::string log = peer.log();
    const std::string word = "Accepted publickey";
    size_t n = 0;
    for (size_t at = log.find(word); at != std::string::npos; at = log.find(word, at + 1)) ++n;
    return n;
}

std::vector<pid_t> processesInNamespace(const std::string& ns) {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (const dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid > 0 && *end == '\0' && mountNamespaceOf(e->d_name) == ns)
            pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return pids;
}

SshdPeer::SshdPeer(const std::string& address, const std::vector<std::string>& privateDirs)
    : address_(address), privateDirs_(privateDirs) {
    // A fresh host's home: this machine's shell start-up files would run
    // at every command the host is given, and be timed as ours.
    const passwd* pw = getpwuid(0);
    struct stat st {};
    if (pw && pw->pw_dir && std::string(pw->pw_dir) != "/" && stat(pw->pw_dir, &st) == 0 &&
        S_ISDIR(st.st_mode))
        privateDirs_.push_back(pw->pw_dir);
    char pattern[] = "/tmp/qs-sshd-XXXXXX";
    if (!mkdtemp(pattern)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = pattern;
    port_ = freePort(address_);
    if (port_ == 0) {
        error_ = "no free port on " + address_;
        return;
    }
    if (makeKeys() && writeFiles() && start() && waitForPort()) return;
    stop();
}

SshdPeer::~SshdPeer() {
    stop();
    if (!dir_.empty()) run({"rm", "-rf", dir_}, "", {}, 30);
}

bool SshdPeer::makeKeys() {
    for (const char* key : {"host_key", "client_key"}) {
        RunResult r = run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "quillset-test",
                           "-f", dir_ + "/" + key},
                          "", {}, 30);
        if (r.status != 0) {
            error_ = "ssh-keygen failed: " + r.err;
            return false;
        }
    }
    std::string pub = readFile(dir_ + "/client_key.pub");
    if (pub.empty() || !writeText(dir_ + "/authorized_keys", pub)) {
        error_ = "cannot write authorized_keys";
        return false;
    }
    return true;
}

bool SshdPeer::writeFiles() {
    const std::string port = std::to_string(port_);
    bool ok = writeText(dir_ + "/sshd_config", "ListenAddress " + address_ + ":" + port +
                                                   "\n"
                                                   "HostKey " +
                                                   dir_ +
                                                   "/host_key\n"
                                                   "AuthorizedKeysFile " +
                                                   dir_ +
                                                   "/authorized_keys\n"
                                                   "PidFile " +
                                                   dir_ +
                                                   "/sshd.pid\n"
                                                   "StrictModes no\n"
                                                   "UsePAM no\n"
                                                   "PermitRootLogin prohibit-password\n"
                                                   "PasswordAuthentication no\n"
                                                   "KbdInteractiveAuthentication no\n"
                                                   "PubkeyAuthentication yes\n"
                                                   "MaxStartups 100\n"
                                                   "LogLevel VERBOSE\n");
    ok = ok && writeText(dir_ + "/ssh_config",
                         "Host *\n"
                         "  Port " +
                             port +
                             "\n"
                             "  IdentityFile " +
                             dir_ +
                             "/client_key\n"
                             "  IdentitiesOnly yes\n"
                             "  BatchMode yes\n"
                             "  StrictHostKeyChecking no\n"
                             "  UserKnownHostsFile /dev/null\n"
                             "  GlobalKnownHostsFile /dev/null\n"
                             "  ConnectTimeout 10\n"
                             "  LogLevel ERROR\n");
    wrapper_ = wrapperFor(port_, "ssh");
    if (!ok || wrapper_.empty()) error_ = "cannot write the ssh configuration in " + dir_;
    return error_.empty();
}

std::string SshdPeer::wrapperFor(unsigned short port, const std::string& name) const {
    std::string path = dir_ + "/" + name;
    // -p after -F: the command line wins over the configuration's port.
    bool ok = writeText(
        path,
        "#!/bin/sh\nexec ssh -F " + dir_ + "/ssh_config -p " + std::to_string(port) + " \"$@\"\n",
        0755);
    return ok ? path : std::string();
}

bool SshdPeer::start() {
    struct stat st;
    if (stat(RUN_DIR, &st) != 0 && mkdir(RUN_DIR, 0755) != 0 && errno != EEXIST) {
        error_ = std::string("cannot create ") + RUN_DIR;
        return false;
    }
    const std::string config = dir_ + "/sshd_config";
    const std::string logFile = dir_ + "/sshd.log";
    const pid_t parent = getpid();
    sshd_ = fork();
    if (sshd_ < 0) {
        error_ = "fork failed";
        return false;
    }
    if (sshd_ == 0) {
        serveOnlyWhileTheTestRuns(parent);
        int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int null = open("/dev/null", O_RDONLY);
        if (fd < 0 || null < 0) _exit(127);
        dup2(null, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        if (const char* failed = coverWithTmpfs(privateDirs_)) {
            dprintf(2, "private directories: %s: %s\n", failed, std::strerror(errno));
            _exit(126);
        }
        // -D: stay in the foreground as our child; -e: log to standard error.
        execl(SSHD, SSHD, "-D", "-e", "-f", config.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return true;
}

bool SshdPeer::waitForPort() {
    for (int i = 0; i < 200; ++i) {
        if (portAccepts(address_, port_)) {
            // Listening, sshd is past the namespace set-up.
            namespace_ = mountNamespaceOf(std::to_string(sshd_));
            if (!privateDirs_.empty() && namespace_ == mountNamespaceOf("self"))
                error_ = "sshd does not run in a namespace of its own";
            return error_.empty();
        }
        int status;
        if (waitpid(sshd_, &status, WNOHANG) == sshd_) {
            sshd_ = -1;
            error_ = "sshd ended at start: " + log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "sshd does not accept connections: " + log();
    return false;
}

void SshdPeer::stop() {
    if (sshd_ > 0) {
        kill(sshd_, SIGTERM);
        int status;
        bool gone = false;
        for (int i = 0; i < 100 && !gone; ++i) {
            gone = waitpid(sshd_, &status, WNOHANG) == sshd_;
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!gone) {
            kill(sshd_, SIGKILL);
            waitpid(sshd_, &status, 0);
        }
        sshd_ = -1;
    }
    endNamespace();
}

// Sessions that outlived sshd keep its namespace, and the mounts in it,
// alive; they are ours, started through this server.
void SshdPeer::endNamespace() {
    if (privateDirs_.empty() || namespace_.empty()) return;
    for (int round = 0; round < 100; ++round) {
        std::vector<pid_t> left = processesInNamespace(namespace_);
        if (left.empty()) break;
        for (pid_t pid : left) kill(pid, round < 40 ? SIGTERM : SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    namespace_.clear();
}

RunResult SshdPeer::command(const std::string& shellCommand, int timeoutSeconds) const {
    return run({wrapper_, "-x", "-T", "-l", "root", address_, shellCommand}, "", {},
               timeoutSeconds);
}

std::string SshdPeer::log() const {
    return readFile(dir_ + "/sshd.log");
}

}  // namespace testutil
