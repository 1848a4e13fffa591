// Commands on a network connection: the trusted-host remote shell and the
// remote execution service, each a socket for input and output and a
// second one for the command's standard error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "engine/Args.h"
#include "engine/Platform.h"
#include "hosts/HostMessages.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Rexec.h"
#include "hosts/Unreachable.h"
#include "model/DebugLog.h"

namespace {

int loginWait = 180;

// The service's port in network byte order, looked up once by the caller.
unsigned short servicePort(const char* service, unsigned short fallback, const char* label) {
    struct servent* s = getservbyname(service, "tcp");
    unsigned short port = s ? (unsigned short)(s->s_port) : htons(fallback);
    dbFile << label << " port is " << port << ", real port is " << ntohs(port) << std::endl;
    return port;
}

// Interrupts a blocking system call once the login wait is over: the
// system's rcmd waits without a bound for a server that accepted but does
// not answer. The signal goes to the calling thread itself, which with
// hosts side by side need not be the one the process signal would reach.
class LoginAlarm {
  public:
    LoginAlarm() {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no restart: the pending call fails with EINTR
        sigaction(SIGALRM, &sa, &old_);
        struct sigevent ev = {};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGALRM;
        ev._sigev_un._tid = gettid();
        armed_ = timer_create(CLOCK_MONOTONIC, &ev, &timer_) == 0;
        if (!armed_) {
            alarm(unsigned(loginWait));
            return;
        }
        struct itimerspec when = {};
        when.it_value.tv_sec = loginWait;
        timer_settime(timer_, 0, &when, nullptr);
    }
    ~LoginAlarm() {
        if (armed_)
            timer_delete(timer_);
        else
            alarm(0);
        sigaction(SIGALRM, &old_, nullptr);
    }
    LoginAlarm(const LoginAlarm&) = delete;
    LoginAlarm& operator=(const LoginAlarm&) = delete;

  private:
    struct sigaction old_;
    timer_t timer_;
    bool armed_;
};

}  // namespace

int setLoginWaitSeconds(int seconds) {
    int old = loginWait;
    loginWait = seconds;
    return old;
}

int loginWaitSeconds() {
    return loginWait;
}

int openRcmd(const Str& host, const Str& command, int* toCommand, int* fromOutput, int* fromError) {
    static const unsigned short port = servicePort("shell", 514, "rcmd");
    std::string name = host.str();
    char* ahost = &name[0];
    int errorSocket = -1;
    int s;
    {
        LoginAlarm bound;
        s = rcmd(&ahost, port, ROOT, ROOT, command, &errorSocket);
    }
    // Not handed to the children other hosts start meanwhile.
    if (s >= 0) fcntl(s, F_SETFD, FD_CLOEXEC);
    if (errorSocket >= 0) fcntl(errorSocket, F_SETFD, FD_CLOEXEC);
    if (s < 0) {
        recordUnreachable(host, errno, EMPTY);
        recordFailure(host, 99);
        return 0;
    }
    *toCommand = *fromOutput = s;
    *fromError = errorSocket;
    return 1;
}

int frexec(const Str& host, const Str& command, const char* user, const char* password,
           int* toCommand, int* fromOutput, int* fromError, int retry, const InstallHost* ih) {
    static const unsigned short port = servicePort("exec", 512, "rexec");
    bool os2 = ih && ih->isOS2();
    std::string name = host.str();
    char* ahost = &name[0];
    int errorSocket = -1;
    int s = vlk_rexec(&ahost, port, user, password, command, &errorSocket, os2 ? 1 : 0);
    if (s >= 0) {
        *toCommand = *fromOutput = s;
        *fromError = errorSocket;
        return 1;
    }
    recordUnreachable(host, errno, EMPTY);
    if (os2) return 0;
    if (retry != 0 || !argInfo.config.translate(nullptr, "@dontWisp@").empty()) {
        recordFailure(host, 100);
        return 0;
    }
    Str typeOut;
    try {
        if (!installWisp(host, user, password, typeOut)) {
            recordFailure(host, 100);
            return 0;
        }
    } catch (const std::exception& e) {
        dbFile << "frexec: exception installing wisp on " << host << ": " << e.what() << std::endl;
        recordFailure(host, 163, {e.what()});
        return 0;
    }
    dbFile << "Retry rexec after wisp install..." << std::endl;
    return frexec(host, command, user, password, toCommand, fromOutput, fromError, 1, ih);
}
