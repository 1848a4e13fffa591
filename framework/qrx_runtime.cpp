#include "framework/qrx_runtime.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "framework/qrx_exception.h"

void qrx_init(const QRX_TypeRepository* repository) {
    qrx_register_types(repository);
}

void qrx_client_init() {
    // The whole locale: with only the message part taken, texts would be
    // converted to the "C" code set and lose their non-ASCII characters.
    std::setlocale(LC_ALL, "");
    qrx_exception_install_handler();
}

void qrx_client_exit(int status) {
    std::fflush(nullptr);
    std::exit(status);
}
