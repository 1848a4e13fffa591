// Commands run by a child of the installer on three pipes: a local shell,
// or the secure shell client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineLock.h"
#include "engine/Platform.h"
#include "hosts/HostMessages.h"
#include "hosts/RemoteCommand.h"
#include "hosts/SshMaster.h"
#include "model/DebugLog.h"

extern char** environ;

namespace {

// Hosts worked on side by side each start and reap their own children.
struct Child {
    pid_t pid;
    bool ssh;
    std::thread::id owner;
};

// Children not yet reaped, the latest last. A buffered read's child runs
// while the command it feeds has its own, so there may be two.
std::vector<Child>& children() {
    static std::vector<Child>* c = new std::vector<Child>;
    return *c;
}

// The exit status of a reaped child; 77 of an ssh child means its program
// does not exist.
int exitCode(const Child& child, int statusWord) {
    if (!WIFEXITED(statusWord)) return 128 + (WIFSIGNALED(statusWord) ? WTERMSIG(statusWord) : 0);
    int code = WEXITSTATUS(statusWord);
    if (code == 77 && child.ssh) sshExeSearchFailed = 1;
    return code;
}

// Reaps this thread's other children that have ended already; another
// thread's child is left for it to wait for.
void reapEnded() {
    std::vector<Child>& c = children();
    for (size_t i = 0; i < c.size();) {
        int statusWord = 0;
        if (c[i].owner == std::this_thread::get_id() &&
            waitpid(c[i].pid, &statusWord, WNOHANG) == c[i].pid) {
            exitCode(c[i], statusWord);
            c.erase(c.begin() + long(i));
        } else {
            ++i;
        }
    }
}

Str& sshProgramSeen() {
    static Str* s = new Str("<<unknown>>");
    return *s;
}
Str& sshPathSeen() {
    static Str* s = new Str("<<unknown>>");
    return *s;
}

const Str& askpassDir() {
    static const Str* dir = nullptr;
    if (!dir) {
        const char* interp = getenv("INTERP");
        dir = new Str(GetInstallDir() + "/" + (interp ? interp : ""));
    }
    return *dir;
}

Str sshProgram() {
    const char* ssh = getenv("SSH");
    return ssh && *ssh ? Str(ssh) : Str("ssh");
}

// The process environment plus the ssh client's askpass settings, built
// before the fork so that the child only calls exec.
std::vector<std::string> sshEnvironment(const char* password) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (entry.rfind("SSH_ASKPASS=", 0) == 0 || entry.rfind("SSH_PASSWORD=", 0) == 0 ||
            entry.rfind("DISPLAY=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    env.push_back("SSH_ASKPASS=" + askpassDir().str() + "/BLN/INSTALL/vlk_ssh_askpass.sh");
    if (password && *password) env.push_back(std::string("SSH_PASSWORD=") + password);
    env.push_back("DISPLAY=:-1.-1");
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(&t[0]);
    p.push_back(nullptr);
    return p;
}

void closeAll(int (&fds)[6]) {
    for (int fd : fds)
        if (fd >= 0) close(fd);
}

// In the child: the pipes become descriptors 0, 1 and 2.
[[noreturn]] void execChild(int (&fds)[6], bool ssh, std::vector<char*>& argv,
                            std::vector<char*>& envp) {
    if (ssh && sshExeSearchFailed) _exit(77);
    if (dup2(fds[0], 0) < 0 || dup2(fds[3], 1) < 0 || dup2(fds[5], 2) < 0) _exit(1);
    closeAll(fds);
    if (!ssh) {
        setpgid(0, 0);
        execvp(argv[0], argv.data());
        _exit(1);
    }
    execvpe(argv[0], argv.data(), envp.data());
    _exit(errno == ENOENT ? 77 : 1);
}

// A local shell leads a process group of its own, so that what it started
// ends with it; the ssh client is left in ours (it may have started the
// host's master connection, which outlives it).
void killHard(const Child& child) {
    if (!child.ssh) kill(-child.pid, SIGKILL);
    kill(child.pid, SIGKILL);
}

// Whether pid ends within seconds; it is not reaped. Waits on a process
// descriptor, or where there is none with growing pauses.
bool endsWithin(pid_t pid, int seconds) {
    int fd = int(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int r;
        while ((r = poll(&p, 1, seconds * 1000)) < 0 && errno == EINTR) {
        }
        close(fd);
        return r > 0;
    }
    siginfo_t info;
    long waitedUs = 0;
    for (long pause = 100; waitedUs < seconds * 1000000L; waitedUs += pause) {
        info.si_pid = 0;
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        usleep(useconds_t(pause));
        if (pause < 100000) pause *= 2;
    }
    return false;
}

}  // namespace

const Str& lastSshProgram() {
    return sshProgramSeen();
}
const Str& lastSshPath() {
    return sshPathSeen();
}

int forkCommand(const Str& host, int useSsh, const Str& command, const char* user,
                const char* password, int* toCommand, int* fromOutput, int* fromError) {
    // in[0] in[1] out[0] out[1] err[0] err[1]; close-on-exec, so that no
    // other child keeps an end open and delays the end of the output.
    int fds[6] = {-1, -1, -1, -1, -1, -1};
    if (pipe2(fds, O_CLOEXEC) < 0 || pipe2(fds + 2, O_CLOEXEC) < 0 ||
        pipe2(fds + 4, O_CLOEXEC) < 0) {
        const char* why = strerror(errno);
        dbFile << "pipe pairs failed!" << std::endl;
        recordFailure(host, 101, {why});
        closeAll(fds);
        return 0;
    }

    std::vector<std::string> args;
    std::vector<std::string> env;
    if (useSsh) {
        Str program = sshProgram();
        askpassDir();
        const char* path = getenv("PATH");
        sshProgramSeen() = program;
        sshPathSeen() = path ? path : "";
        args = {program.str(), "-x", "-T"};
        env = sshEnvironment(password);
        // Without a program the child ends at once with 77, as it always did.
        if (!sshExeSearchFailed &&
            !sshMasterOptions(program, host, user, password && *password, env, args)) {
            closeAll(fds);
            return 0;
        }
        if (user && *user) {
            args.push_back("-l");
            args.push_back(user);
        }
        args.push_back(host.str());
        args.push_back(command.str());
    } else {
        args = {"sh", "-c", command.str()};
    }
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);

    pid_t pid = fork();
    if (pid == 0) execChild(fds, useSsh != 0, argv, envp);
    if (pid < 0) {
        const char* why = strerror(errno);
        dbFile << "fork failed! " << why << std::endl;
        recordFailure(host, 102, {why});
        closeAll(fds);
        return 0;
    }
    // Also here: the group must exist before this side may signal it.
    if (!useSsh) setpgid(pid, pid);
    children().push_back(Child{pid, useSsh != 0, std::this_thread::get_id()});
    close(fds[0]);
    close(fds[3]);
    close(fds[5]);
    *toCommand = fds[1];
    *fromOutput = fds[2];
    *fromError = fds[4];
    return 1;
}

pid_t lastChildPid() {
    const std::vector<Child>& c = children();
    for (auto it = c.rbegin(); it != c.rend(); ++it)
        if (it->owner == std::this_thread::get_id()) return it->pid;
    return -1;
}

void killChild(pid_t pid) {
    for (const Child& child : children())
        if (child.pid == pid) killHard(child);
}

int finishChild() {
    return finishChild(lastChildPid());
}

int finishChild(pid_t pid) {
    std::vector<Child>& c = children();
    size_t at = 0;
    while (at < c.size() && c[at].pid != pid) ++at;
    if (at == c.size()) return -1;
    Child child = c[at];
    c.erase(c.begin() + long(at));
    // The child has closed its output and normally ends at once; one that
    // lingers past the idle limit is stopped.
    int statusWord = 0;
    pid_t r;
    {
        WhileWaiting wait;
        if (!endsWithin(child.pid, commandIdleLimit())) killHard(child);
        while ((r = waitpid(child.pid, &statusWord, 0)) < 0 && errno == EINTR) {
        }
    }
    reapEnded();
    return r == child.pid ? exitCode(child, statusWord) : -1;
}
