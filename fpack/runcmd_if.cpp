// Command runner: forking into process groups, starting filter commands,
// waiting with a time limit.
#include "runcmd_if.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "sig_end.h"

int cmd_to_args(char* text, int max, char** argv) {
    int n = 0;
    char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '\0') break;
        if (n == max) return -1;
        argv[n++] = p;
        while (*p != '\0' && *p != ' ' && *p != '\t') p++;
        if (*p != '\0') *p++ = '\0';
    }
    argv[n] = nullptr;
    return n;
}

void runcmd_close_from(int from) {
    struct rlimit rl;
    long limit = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                     ? (long)rl.rlim_cur
                     : 1024;
    // A huge limit would make the child spin; nothing this engine opens lies
    // that high.
    if (limit > 65536) limit = 65536;
    for (long fd = from; fd < limit; fd++) close((int)fd);
}

namespace {

bool refused = false;

// The SIGCHLD pipe: the handler writes a byte for every child that ends,
// the waiter polls the reading end. -1 until set up.
int chld_pipe[2] = {-1, -1};
// Without the pipe a waiter looks this often.
const int kFallbackTickMs = 20;

void on_sigchld(int) {
    int saved = errno;
    char c = 0;
    ssize_t w = write(chld_pipe[1], &c, 1);
    (void)w;  // a full pipe already wakes the waiter
    errno = saved;
}

// Sets up the pipe and the handler once; also undoes an inherited
// SIGCHLD disposition of SIG_IGN, under which children could not be
// waited for. False when the pipe could not be made (waiters then tick).
bool chld_ready() {
    if (chld_pipe[0] >= 0) return true;
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    chld_pipe[0] = p[0];
    chld_pipe[1] = p[1];
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigchld;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);
    return true;
}

void drain_chld_pipe() {
    char buf[64];
    while (read(chld_pipe[0], buf, sizeof buf) > 0) {
    }
}

long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// 1 when the child has ended (still unreaped), 0 when it runs, -1 when it
// is not our child.
int has_ended(pid_t pid) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int r;
    do r = waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT);
    while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    return info.si_pid == pid ? 1 : 0;
}

// The child has ended: while its zombie still holds the group's number,
// whatever it left in its group is killed; then it is reaped.
int reap_group(pid_t pid) {
    kill(-pid, SIGKILL);
    int status;
    pid_t r;
    do r = waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    sigend_untrack(pid);
    return r == pid ? status : -1;
}

// Moves fd to a number of at least `min` so that the dup2 calls into 0..2
// cannot overwrite one another. Returns the new descriptor or -1.
int lift(int fd, int min) {
    return fd >= min ? fd : fcntl(fd, F_DUPFD, min);
}

[[noreturn]] void exec_child(char* const* argv, int in_fd, int out_fd, int err_fd, int report) {
    in_fd = lift(in_fd, 3);
    out_fd = lift(out_fd, 3);
    err_fd = lift(err_fd, 3);
    report = lift(report, 3);
    if (in_fd >= 0 && out_fd >= 0 && err_fd >= 0 && report >= 0 && dup2(in_fd, 0) == 0 &&
        dup2(out_fd, 1) == 1 && dup2(err_fd, 2) == 2 && dup2(report, 3) == 3 &&
        fcntl(3, F_SETFD, FD_CLOEXEC) == 0) {
        runcmd_close_from(4);
        signal(SIGPIPE, SIG_DFL);
        execvp(argv[0], argv);
    }
    int err = errno;
    ssize_t w = write(3, &err, sizeof err);
    (void)w;
    _exit(127);
}

}  // namespace

void runcmd_refuse_children() {
    refused = true;
}

bool runcmd_children_refused() {
    return refused;
}

pid_t runcmd_fork() {
    if (refused) {
        errno = EPERM;
        return -1;
    }
    // Before the fork: a child that ends at once must still be waitable.
    chld_ready();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        sigend_in_child();
        signal(SIGCHLD, SIG_DFL);
        return 0;
    }
    if (pid > 0) {
        // Also here, so that the group exists whichever side runs first.
        setpgid(pid, pid);
        sigend_track(pid);
    }
    return pid;
}

pid_t runcmd_start(char* const* argv, int in_fd, int out_fd, int err_fd, int* code) {
    *code = RUNCMD_CANT_START;
    // The child reports a failed exec through a pipe that a successful exec
    // closes: end of file without data means the program runs.
    int rp[2];
    if (pipe2(rp, O_CLOEXEC) != 0) return -1;
    pid_t pid = runcmd_fork();
    if (pid == 0) {
        close(rp[0]);
        exec_child(argv, in_fd, out_fd, err_fd, rp[1]);
    }
    close(rp[1]);
    if (pid < 0) {
        close(rp[0]);
        return -1;
    }
    int err = 0;
    ssize_t n;
    do n = read(rp[0], &err, sizeof err);
    while (n < 0 && errno == EINTR);
    close(rp[0]);
    if (n != 0) {
        runcmd_wait(pid);
        return -1;
    }
    *code = 0;
    return pid;
}

int runcmd_wait_for(pid_t pid, long timeout_ms, int* status) {
    bool piped = chld_ready();
    long deadline = timeout_ms >= 0 ? now_ms() + timeout_ms : 0;
    for (;;) {
        // Emptied before looking, so that an end after the look still
        // leaves a byte to wake the poll.
        if (piped) drain_chld_pipe();
        int ended = has_ended(pid);
        if (ended < 0) {
            sigend_untrack(pid);
            return -1;
        }
        if (ended > 0) {
            *status = reap_group(pid);
            return 0;
        }
        long wait_ms = -1;
        if (timeout_ms >= 0) {
            wait_ms = deadline - now_ms();
            if (wait_ms <= 0) return 1;
        }
        if (!piped && (wait_ms < 0 || wait_ms > kFallbackTickMs)) wait_ms = kFallbackTickMs;
        struct pollfd pfd = {chld_pipe[0], POLLIN, 0};
        poll(&pfd, piped ? 1 : 0, (int)wait_ms);
    }
}

int runcmd_wait(pid_t pid) {
    int status = -1;
    return runcmd_wait_for(pid, -1, &status) == 0 ? status : -1;
}

int runcmd_stop(pid_t pid, int sig) {
    kill(-pid, sig);
    kill(pid, sig);
    int status = -1;
    int r = runcmd_wait_for(pid, RUNCMD_STOP_GRACE_MS, &status);
    if (r == 1) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        r = runcmd_wait_for(pid, -1, &status);
    }
    return r == 0 ? status : -1;
}
