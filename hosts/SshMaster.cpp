#include "hosts/SshMaster.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "engine/EngineLock.h"
#include "engine/HostFailure.h"
#include "hosts/HostMessages.h"
#include "hosts/InstallHost.h"
#include "hosts/Unreachable.h"
#include "model/DebugLog.h"

namespace {

struct Master {
    pid_t pid = -1;
    std::string socket;
    std::string log;  // ssh's own messages
    bool failed = false;
};

std::string& controlDir() {
    static std::string* dir = new std::string;
    return *dir;
}

std::map<std::string, Master>& masters() {
    static std::map<std::string, Master>* m = new std::map<std::string, Master>;
    return *m;
}

// The run's private directory for control sockets, made on first use.
bool makeControlDir() {
    if (!controlDir().empty()) return true;
    char pattern[] = "/tmp/quillset-ssh.XXXXXX";
    if (!mkdtemp(pattern)) return false;
    controlDir() = pattern;
    return true;
}

bool isSocket(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == geteuid();
}

std::string fileText(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < 65536) text.append(buf, size_t(n));
    close(fd);
    return text;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(&t[0]);
    p.push_back(nullptr);
    return p;
}

// Ends pid within seconds, killing it when it does not go by itself.
void endChild(pid_t pid, int seconds) {
    int status;
    for (int i = 0; i < seconds * 20; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return;
        usleep(50000);
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// The death signal a master asks for comes when the thread that forked it
// ends, and a host's worker ends long before the run. So masters are
// forked by one thread of their own, which lives until the connections
// are closed: a master ends with the installer, whichever thread needed it.
class Forker {
  public:
    // Runs forkOnce in the forking thread; its result.
    pid_t fork(const std::function<pid_t()>& forkOnce) {
        // One job at a time: a second caller must not replace a job that
        // the thread has not yet taken.
        std::lock_guard<std::mutex> one(oneAtATime_);
        std::unique_lock<std::mutex> lock(m_);
        if (!thread_.joinable()) {
            stop_ = false;
            thread_ = std::thread([this] { serve(); });
        }
        job_ = &forkOnce;
        cv_.notify_all();
        cv_.wait(lock, [this] { return job_ == nullptr; });
        return result_;
    }
    // Ends the thread; the next fork starts it again.
    void end() {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!thread_.joinable()) return;
            stop_ = true;
            cv_.notify_all();
        }
        thread_.join();
    }

  private:
    void serve() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || job_ != nullptr; });
            if (job_) {
                result_ = (*job_)();
                job_ = nullptr;
                cv_.notify_all();
                continue;
            }
            return;
        }
    }

    std::mutex oneAtATime_;
    std::mutex m_;
    std::condition_variable cv_;
    std::thread thread_;
    const std::function<pid_t()>* job_ = nullptr;
    pid_t result_ = -1;
    bool stop_ = false;
};

// Never destroyed: at exit the thread ends with the process.
Forker& forker() {
    static Forker* f = new Forker;
    return *f;
}

// Starts the master for host as our child; waits, bounded, until its
// control socket is there or it has ended.
bool startMaster(Master& m, const Str& program, const Str& host, const char* user, bool password,
                 std::vector<std::string>& env) {
    std::vector<std::string> args = {
        program.str(), "-x", "-T", "-N", "-M", "-o", "ControlPath=" + m.socket};
    sshCommonOptions(password, args);
    if (user && *user) {
        args.push_back("-l");
        args.push_back(user);
    }
    args.push_back(host.str());
    // Even in a terminal the password goes through the askpass helper,
    // never a prompt on the terminal.
    if (password) env.push_back("SSH_ASKPASS_REQUIRE=force");
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    int logFd = open(m.log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (logFd < 0 || nullFd < 0) {
        if (logFd >= 0) close(logFd);
        if (nullFd >= 0) close(nullFd);
        return false;
    }
    pid_t parent = getpid();
    m.pid = forker().fork([&] {
        pid_t pid = fork();
        if (pid == 0) {
            // Ends with the installer; no terminal to prompt on.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            setsid();
            if (dup2(nullFd, 0) < 0 || dup2(nullFd, 1) < 0 || dup2(logFd, 2) < 0) _exit(1);
            execvpe(argv[0], argv.data(), envp.data());
            _exit(errno == ENOENT ? 77 : 1);
        }
        return pid;
    });
    close(logFd);
    close(nullFd);
    if (m.pid < 0) return false;
    // The login, with a password typed by the helper, within the connect
    // time-out and some seconds for authentication.
    for (int i = 0; i < (sshConnectTimeout() + 30) * 20; ++i) {
        if (isSocket(m.socket)) return true;
        int status;
        if (waitpid(m.pid, &status, WNOHANG) == m.pid) {
            // 77: the ssh program does not exist.
            if (WIFEXITED(status) && WEXITSTATUS(status) == 77) sshExeSearchFailed = 1;
            m.pid = -1;
            return false;
        }
        WhileWaiting wait;
        usleep(50000);
    }
    kill(m.pid, SIGTERM);
    endChild(m.pid, 5);
    m.pid = -1;
    return false;
}

}  // namespace

int sshConnectTimeout() {
    return 20;
}

void sshCommonOptions(bool password, std::vector<std::string>& args) {
    args.push_back("-o");
    args.push_back("ConnectTimeout=" + std::to_string(sshConnectTimeout()));
    args.push_back("-o");
    args.push_back(password ? "NumberOfPasswordPrompts=1" : "BatchMode=yes");
}

bool sshMasterOptions(const Str& program, const Str& host, const char* user, bool password,
                      std::vector<std::string>& env, std::vector<std::string>& args) {
    std::string key = host.str() + "\n" + (user ? user : "");
    auto found = masters().find(key);
    if (found == masters().end()) {
        Master m;
        if (makeControlDir()) {
            // Numbered by a count of our own: with hosts side by side a
            // master starting elsewhere is not in the map yet.
            static int started = 0;
            std::string n = std::to_string(started++);
            m.socket = controlDir() + "/" + n;
            m.log = controlDir() + "/" + n + ".log";
            std::vector<std::string> masterEnv = env;
            dbFile << "Starting the ssh connection to " << host << std::endl;
            m.failed = !startMaster(m, program, host, user, password, masterEnv);
        } else {
            m.failed = true;
        }
        if (m.failed) {
            std::string said = fileText(m.log);
            while (!said.empty() && said.back() == '\n') said.pop_back();
            if (said.empty()) said = "no connection";
            dbFile << "ssh connection to " << host << " failed: " << said << std::endl;
            recordUnreachable(host, 0, Str(said.c_str()));
            recordFailure(host, 101, {Str(("ssh: " + said).c_str())});
        }
        found = masters().emplace(key, m).first;
    }
    if (found->second.failed) return false;
    args.push_back("-o");
    args.push_back("ControlPath=" + found->second.socket);
    args.push_back("-o");
    args.push_back("ControlMaster=no");
    sshCommonOptions(password, args);
    return true;
}

void closeSshMasters() {
    for (auto& entry : masters()) {
        Master& m = entry.second;
        if (m.pid > 0) {
            dbFile << "Closing the ssh connection to "
                   << entry.first.substr(0, entry.first.find('\n')) << std::endl;
            // The master ends its connection on SIGTERM.
            kill(m.pid, SIGTERM);
            endChild(m.pid, 10);
        }
        if (!m.socket.empty()) unlink(m.socket.c_str());
        if (!m.log.empty()) unlink(m.log.c_str());
    }
    masters().clear();
    forker().end();
    if (!controlDir().empty()) rmdir(controlDir().c_str());
    controlDir().clear();
}
