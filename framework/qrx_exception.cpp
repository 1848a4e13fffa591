#include "framework/qrx_exception.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The last name of a chain: what follows the last single ':'.
std::string lastName(const std::string& chain) {
    for (size_t i = chain.size(); i > 0; --i) {
        size_t k = i - 1;
        bool single = chain[k] == ':' && (k == 0 || chain[k - 1] != ':') &&
                      (k + 1 == chain.size() || chain[k + 1] != ':');
        if (single) return chain.substr(k + 1);
    }
    return chain;
}

std::string boundText(const QRX_Types_XOpenMessage* message) {
    char* text = qrx_msg_bind(message, nullptr, 0);
    std::string s = text ? text : "";
    std::free(text);
    return s;
}

std::terminate_handler previousHandler = nullptr;

void onTerminate() {
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const QRX_Exception& e) {
            std::fprintf(stderr, "Uncaught framework exception %s: %s\n", e.typeChain(), e.text());
            std::exit(QRX_EXIT_UNCAUGHT);
        } catch (...) {
        }
    }
    if (previousHandler) previousHandler();
    std::abort();
}

}  // namespace

QRX_Exception::QRX_Exception(const char* typeChain, QRX_Types_XOpenMessage* message)
    : chain_(typeChain ? typeChain : chain()), message_(message, qrx_msg_destroy) {
    text_ = message ? boundText(message) : lastName(chain_);
}

bool QRX_Exception::isA(const char* typeName) const {
    if (!typeName || !*typeName) return false;
    size_t start = 0;
    while (start <= chain_.size()) {
        size_t end = start;
        // A name ends at a ':' that is not part of "::".
        while (end < chain_.size() &&
               !(chain_[end] == ':' && (end + 1 == chain_.size() || chain_[end + 1] != ':'))) {
            end += chain_[end] == ':' ? 2 : 1;
        }
        if (chain_.compare(start, end - start, typeName) == 0) return true;
        start = end + 1;
    }
    return false;
}

void qrx_exception_install_handler() {
    std::terminate_handler current = std::get_terminate();
    if (current == onTerminate) return;
    previousHandler = current;
    std::set_terminate(onTerminate);
}
