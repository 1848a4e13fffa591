#include "framework/qrx_thread.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>

namespace {

std::atomic<size_t> defaultStack{QRX_THREAD_MIN_STACK};

}  // namespace

size_t qrx_thread_set_default_stacksize(size_t bytes) {
    size_t size = bytes < QRX_THREAD_MIN_STACK ? QRX_THREAD_MIN_STACK : bytes;
    defaultStack = size;
    return size;
}

int qrx_thread_create_detached(void* (*body)(void*), void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = pthread_attr_setstacksize(&attr, defaultStack);
    pthread_t thread;
    if (rc == 0) rc = pthread_create(&thread, &attr, body, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

void qrx_thread_yield() {
    sched_yield();
}
