// Start and stop of the framework client runtime.
//
// Programs call qrx_init, qrx_client_init and bln_init (bln_cipher.h) in
// this order before anything else, and qrx_client_exit last. The other calls
// of this layer keep no state that needs them, so they also work (in the
// "C" locale, without the uncaught-exception handler) in tests that skip
// start-up.
#pragma once

#include "framework/qrx_any.h"

// Registers the program's types (null: none beyond the built-in ones).
void qrx_init(const QRX_TypeRepository* repository);
// Takes the locale (all of it, LC_ALL) from the environment and installs the
// handler that ends the process on an uncaught framework exception.
void qrx_client_init();
// Flushes every output stream and ends the process with that status.
[[noreturn]] void qrx_client_exit(int status);
