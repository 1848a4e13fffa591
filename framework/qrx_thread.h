// Threads of the window front end.
//
// These are system threads and run preemptively: unlike a cooperative
// package, nothing stops two of them from touching shared state at the same
// moment, so state shared between threads (the widgets among it) needs its
// own guard, for example the toolkit's application lock. Yielding only
// offers the processor to other threads.
//
// The default stack size is a floor-raised request: sizes below
// QRX_THREAD_MIN_STACK are raised to it, because a thread that runs the
// install engine (streams, regular expressions, nested calls) overflows a
// 64 KiB stack.
#pragma once

#include <cstddef>

constexpr size_t QRX_THREAD_MIN_STACK = size_t(4) << 20;

// Sets the stack size of threads created from now on; returns the size in
// effect.
size_t qrx_thread_set_default_stacksize(size_t bytes);
// Starts body(arg) in a detached thread with the default attributes and
// stack size. Returns 0, or the system's error number.
int qrx_thread_create_detached(void* (*body)(void*), void* arg);
// Offers the processor to other threads.
void qrx_thread_yield();
