#include "engine/Interrupt.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t noted = 0;

void note(int signal) {
    noted = signal;
}

}  // namespace

void catchInterrupts() {
    struct sigaction sa = {};
    sa.sa_handler = note;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    for (int s : kSignals) sigaction(s, &sa, nullptr);
}

int interruptSignal() {
    return noted;
}

bool inputUnlessInterrupted(int fd) {
    // The signals stay blocked except inside ppoll, so that one arriving
    // between the look at the note and the wait still ends the wait.
    sigset_t blocked, old;
    sigemptyset(&blocked);
    for (int s : kSignals) sigaddset(&blocked, s);
    sigprocmask(SIG_BLOCK, &blocked, &old);
    int ready = 0;
    while (!noted) {
        pollfd p{fd, POLLIN, 0};
        ready = ppoll(&p, 1, nullptr, &old);
        if (ready > 0 || (ready < 0 && errno != EINTR)) break;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return !noted && ready > 0;
}

void endByInterrupt() {
    int s = noted ? int(noted) : SIGTERM;
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(s, &sa, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, s);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(s);
    _exit(128 + s);  // the default action of all three ends the process
}
