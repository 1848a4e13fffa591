#include "framework/qrx_thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct Report {
    std::mutex lock;
    std::condition_variable done;
    bool ran = false;
    bool detached = false;
    size_t stack = 0;
};

void* body(void* arg) {
    auto* r = static_cast<Report*>(arg);
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    int state = 0;
    pthread_attr_getdetachstate(&attr, &state);
    size_t stack = 0;
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
    qrx_thread_yield();
    std::lock_guard<std::mutex> hold(r->lock);
    r->ran = true;
    r->detached = state == PTHREAD_CREATE_DETACHED;
    r->stack = stack;
    r->done.notify_one();
    return nullptr;
}

TEST(Threads, DetachedThreadRunsWithTheDefaultStack) {
    EXPECT_EQ(qrx_thread_set_default_stacksize(65536), QRX_THREAD_MIN_STACK);
    Report r;
    ASSERT_EQ(qrx_thread_create_detached(body, &r), 0);
    std::unique_lock<std::mutex> hold(r.lock);
    ASSERT_TRUE(r.done.wait_for(hold, std::chrono::seconds(30), [&] { return r.ran; }));
    EXPECT_TRUE(r.detached);
    EXPECT_GE(r.stack, QRX_THREAD_MIN_STACK);
}

TEST(Threads, LargerStacksAreKept) {
    size_t big = QRX_THREAD_MIN_STACK * 2;
    EXPECT_EQ(qrx_thread_set_default_stacksize(big), big);
    Report r;
    ASSERT_EQ(qrx_thread_create_detached(body, &r), 0);
    std::unique_lock<std::mutex> hold(r.lock);
    ASSERT_TRUE(r.done.wait_for(hold, std::chrono::seconds(30), [&] { return r.ran; }));
    EXPECT_GE(r.stack, big);
    qrx_thread_set_default_stacksize(0);
}

}  // namespace
