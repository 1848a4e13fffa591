#include "engine/Timer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace {

TEST(Timer, LapLinesCarryLapAndTotals) {
    std::ostringstream out;
    Timer timer(out);
    timer.elapsed("stopped");
    EXPECT_EQ(out.str(), "stopped real ms=0/0, cpu ms=0/0\n");
    timer.restart();
    usleep(20000);
    timer.elapsed("lap one");
    usleep(20000);
    timer.elapsed("lap two");
    EXPECT_FALSE(timer.stopped());
    std::istringstream lines(out.str());
    std::string line;
    std::getline(lines, line);
    long previousTotal = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(line, m, std::regex(R"(real ms=(\d+)/(\d+), cpu ms=(\d+)/(\d+))")))
            << line;
        long lap = std::stol(m[1]), total = std::stol(m[2]);
        EXPECT_GE(lap, 20) << line;
        EXPECT_EQ(total, previousTotal + lap) << line;
        EXPECT_EQ(std::stol(m[3]) % 1000, 0) << line;
        EXPECT_EQ(std::stol(m[4]) % 1000, 0) << line;
        previousTotal = total;
    }
    EXPECT_GE(previousTotal, 40);
}

}  // namespace
