// The command-line installer: check, confirm, execute, say goodbye.
#include <iostream>

#include "engine/Args.h"
#include "engine/Timer.h"
#include "engine/server_cli.h"
#include "framework/bln_cipher.h"
#include "framework/qrx_runtime.h"
#include "model/DebugLog.h"
#include "model/config_data.h"

namespace {

// One character of standard input, leading white space skipped.
bool confirmed() {
    std::cout << "Continue(y/n)? " << std::flush;
    char answer = 0;
    std::cin >> answer;
    return answer == 'y' || answer == 'Y';
}

}  // namespace

int main(int argc, char** argv) {
    t.restart();
    qrx_init(nullptr);  // the installer registers no types of its own
    qrx_client_init();
    bln_init();
    argInfo.config.addData(config_data);
    zpi_install_check(argc, argv, std::cout);
    if (argInfo.yes == 1 || confirmed()) zpi_install_doit();
    zpi_goodbye();
    t.elapsed("leaving main.");
    qrx_client_exit(0);
}
