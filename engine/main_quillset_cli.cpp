// The command-line installer: check, confirm, execute, say goodbye.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "common/long_options.h"
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

// The options the usage text leaves out, and where the rest is told.
const char kHelpMore[] =
    " Further options:\n"
    "    -d  every install type without a path gets its default path\n"
    "    -p <path-prefix>[!]  install paths are put under path-prefix (with '!':\n"
    "       only their last component)\n"
    "    -y  install without asking \"Continue(y/n)? \"\n"
    "    --help  this text;  --version  the version\n"
    " The manual page quillset_cli(8) tells the rest.\n";

void printHelp(const char*) {
    std::printf("%s\n%s", quillset_cli_usage, kHelpMore);
}

}  // namespace

int main(int argc, char** argv) {
    // --help and --version need neither root nor any other work.
    int answered =
        answerLongOption(argc, argv, "a:c:di:IPp:yz:Z:", "quillset_cli", QS_VERSION, printHelp, 2);
    if (answered >= 0) return answered;
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
