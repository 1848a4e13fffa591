// The command-line installer: check, confirm, execute, say goodbye.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>

#include "engine/Args.h"
#include "engine/Interrupt.h"
#include "engine/Timer.h"
#include "engine/server_cli.h"
#include "framework/bln_cipher.h"
#include "framework/qrx_runtime.h"
#include "model/DebugLog.h"
#include "model/config_data.h"

namespace {

enum Answer { YES, NO, NO_ANSWER };

// One character of standard input, leading white space skipped. An
// interrupting signal ends the wait for it.
Answer ask() {
    std::cout << "Continue(y/n)? " << std::flush;
    char answer = ' ';
    while (std::isspace(static_cast<unsigned char>(answer))) {
        if (!inputUnlessInterrupted(0)) return interruptSignal() ? NO : NO_ANSWER;
        ssize_t n = read(0, &answer, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return NO_ANSWER;
    }
    return answer == 'y' || answer == 'Y' ? YES : NO;
}

}  // namespace

int main(int argc, char** argv) {
    t.restart();
    qrx_init(nullptr);  // the installer registers no types of its own
    qrx_client_init();
    bln_init();
    catchInterrupts();
    argInfo.config.addData(config_data);
    zpi_install_check(argc, argv, std::cout);
    Answer answer = NO;
    if (!interruptSignal()) answer = argInfo.yes == 1 ? YES : ask();
    if (answer == YES && !interruptSignal()) zpi_install_doit();
    int status = zpiExitStatus();
    zpi_goodbye();
    t.elapsed("leaving main.");
    if (interruptSignal()) {
        std::cout << std::endl;
        std::fflush(nullptr);
        endByInterrupt();
    }
    if (answer == NO_ANSWER) {
        std::fputs("\nError: no answer to the prompt; nothing was installed.\n", stderr);
        status = 2;
    }
    qrx_client_exit(status);
}
