#include "engine/Timer.h"

#include <unistd.h>

#include "model/DebugLog.h"

Timer t(dbFile);

void Timer::restart() {
    stopped_ = 0;
    gettimeofday(&start_, nullptr);
    cpuStart_ = clock();
}

void Timer::stop() {
    stopped_ = 1;
    gettimeofday(&stop_, nullptr);
    lastRealMs_ =
        int32_t((stop_.tv_sec - start_.tv_sec) * 1000 + (stop_.tv_usec - start_.tv_usec) / 1000);
    totalRealMs_ += lastRealMs_;
    cpuStop_ = clock();
    // Counted in whole seconds of cpu time, as the lap lines have always been.
    lastCpuMs_ = int32_t((cpuStop_ - cpuStart_) / 1000000 * 1000);
    totalCpuMs_ += lastCpuMs_;
}

void Timer::elapsed(const char* msg) {
    const bool running = !stopped_;
    if (running) stop();
    *out_ << msg << " real ms=" << lastRealMs_ << "/" << totalRealMs_ << ", cpu ms=" << lastCpuMs_
          << "/" << totalCpuMs_ << std::endl;
    if (running) restart();
}

int mySleep(int secs) {
    sleep(unsigned(secs));
    return secs;
}
