// Process groups and the output file that a fatal signal ends.
#include "sig_end.h"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const int kSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGALRM,
                        SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ};
const int kNumSignals = (int)(sizeof kSignals / sizeof kSignals[0]);

volatile sig_atomic_t groups[SIGEND_MAX_GROUPS];
volatile sig_atomic_t caught[kNumSignals];

// The output file; `out_set` is cleared while the path is rewritten.
char out_path[PATH_MAX];
dev_t out_dev;
ino_t out_ino;
volatile sig_atomic_t out_set;

void on_signal(int sig) {
    int saved = errno;
    for (int i = 0; i < SIGEND_MAX_GROUPS; i++)
        if (groups[i] > 0) kill(-(pid_t)groups[i], SIGKILL);
    struct stat st;
    if (out_set && lstat(out_path, &st) == 0 && st.st_dev == out_dev && st.st_ino == out_ino)
        unlink(out_path);
    // The signal is blocked while this runs: restored to its default, it
    // ends the process as soon as the handler returns.
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

}  // namespace

void sigend_install() {
    for (int i = 0; i < kNumSignals; i++) {
        struct sigaction old;
        if (sigaction(kSignals[i], nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        sigfillset(&sa.sa_mask);
        if (sigaction(kSignals[i], &sa, nullptr) == 0) caught[i] = 1;
    }
}

void sigend_track(pid_t pgid) {
    for (int i = 0; i < SIGEND_MAX_GROUPS; i++) {
        if (groups[i] == 0) {
            groups[i] = pgid;
            return;
        }
    }
}

void sigend_untrack(pid_t pgid) {
    for (int i = 0; i < SIGEND_MAX_GROUPS; i++)
        if (groups[i] == pgid) groups[i] = 0;
}

void sigend_in_child() {
    out_set = 0;
    for (int i = 0; i < SIGEND_MAX_GROUPS; i++) groups[i] = 0;
    for (int i = 0; i < kNumSignals; i++) {
        if (!caught[i]) continue;
        signal(kSignals[i], SIG_DFL);
        caught[i] = 0;
    }
}

void sigend_remove_on_signal(const char* path, dev_t dev, ino_t ino) {
    out_set = 0;
    if (path == nullptr || strlen(path) >= sizeof out_path) return;
    memcpy(out_path, path, strlen(path) + 1);
    out_dev = dev;
    out_ino = ino;
    out_set = 1;
}
