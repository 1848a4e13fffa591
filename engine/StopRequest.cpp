#include "engine/StopRequest.h"

#include <atomic>

namespace {

std::atomic<bool> stopFlag{false};

}  // namespace

void requestStop() {
    stopFlag = true;
}

bool stopRequested() {
    return stopFlag;
}

void clearStopRequest() {
    stopFlag = false;
}
