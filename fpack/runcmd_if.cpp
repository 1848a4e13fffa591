// Command runner for the stream filters.
#include "runcmd_if.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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

// Moves fd to a number of at least `min` so that the dup2 calls into 0..2
// cannot overwrite one another. Returns the new descriptor or -1.
int lift(int fd, int min) {
    return fd >= min ? fd : fcntl(fd, F_DUPFD, min);
}

[[noreturn]] void exec_child(char* const* argv, int in_fd, int out_fd, int err_fd, int report) {
    setpgid(0, 0);
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

pid_t runcmd_start(char* const* argv, int in_fd, int out_fd, int err_fd, int* code) {
    *code = RUNCMD_CANT_START;
    // The child reports a failed exec through a pipe that a successful exec
    // closes: end of file without data means the program runs.
    int rp[2];
    if (pipe2(rp, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
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

int runcmd_wait(pid_t pid) {
    int status;
    pid_t r;
    do r = waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    return r == pid ? status : -1;
}

void runcmd_stop(pid_t pid, int sig) {
    kill(-pid, sig);
    kill(pid, sig);
    runcmd_wait(pid);
}
