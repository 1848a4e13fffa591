#include "gui/status_channel.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(StatusChannelTest, EventsOfAnotherThreadArriveWholeAndInOrder) {
    StatusChannel channel;
    // Longer than a pipe's buffer, so the writer blocks until the reader
    // has taken part of it.
    const std::string big(200000, 'x');
    std::thread worker([&] {
        channel.postLine("first\n");
        channel.postLine("");
        channel.postLine(big);
        channel.postLine("\nCompleted.");
        channel.postFinished();
    });
    std::vector<StatusChannel::Event> got;
    StatusChannel::Event e;
    while (got.size() < 5 && channel.receive(e)) got.push_back(e);
    worker.join();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].kind, StatusChannel::LINE);
    EXPECT_EQ(got[0].text, "first\n");
    EXPECT_EQ(got[1].text, "");
    EXPECT_EQ(got[2].text, big);
    EXPECT_EQ(got[3].text, "\nCompleted.");
    EXPECT_EQ(got[4].kind, StatusChannel::FINISHED);
    EXPECT_EQ(got[4].text, "");
}

}  // namespace
