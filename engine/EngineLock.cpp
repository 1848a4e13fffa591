#include "engine/EngineLock.h"

#include <mutex>

namespace {

std::mutex& engineMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

thread_local bool held = false;

}  // namespace

EngineLockHeld::EngineLockHeld() {
    engineMutex().lock();
    held = true;
}

EngineLockHeld::~EngineLockHeld() {
    held = false;
    engineMutex().unlock();
}

WhileWaiting::WhileWaiting() : released_(held) {
    if (!released_) return;
    held = false;
    engineMutex().unlock();
}

WhileWaiting::~WhileWaiting() {
    if (!released_) return;
    engineMutex().lock();
    held = true;
}

bool engineLockHeld() {
    return held;
}
