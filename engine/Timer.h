// The run timer: lap lines with real and cpu milliseconds, each lap and
// the running totals, written to its stream (the debug log).
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>
#include <ostream>

class Timer {
  public:
    explicit Timer(std::ostream& out) : out_(&out) {}

    // Clears the stopped flag and records the wall time and cpu clock.
    void restart();
    // Writes "msg real ms=L/T, cpu ms=L/T"; a running timer is stopped for
    // the line and restarted afterwards (a lap).
    void elapsed(const char* msg);
    bool stopped() const { return stopped_; }

  private:
    void stop();

    int stopped_ = 1;
    int32_t totalRealMs_ = 0;
    int32_t lastRealMs_ = 0;
    int32_t totalCpuMs_ = 0;
    int32_t lastCpuMs_ = 0;
    timeval start_{};
    timeval stop_{};
    clock_t cpuStart_ = 0;
    clock_t cpuStop_ = 0;
    std::ostream* out_;
};

// The run timer of the installer; its stream is the debug log.
extern Timer t;

// Sleeps secs seconds and returns secs.
int mySleep(int secs);
