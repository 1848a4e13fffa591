// The remote execution client against the real in.rexecd.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "hosts/Rexec.h"
#include "tests/inetd_peer.h"

namespace {

// Reads until fd ends; a bounded wait for each piece.
std::string drain(int fd) {
    std::string text;
    char buf[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

class RexecPeer : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ready()) << peer.error();
        previousWait = setRexecWaitSeconds(30);
    }
    void TearDown() override { setRexecWaitSeconds(previousWait); }

    int login(const std::string& user, const std::string& password, const char* command,
              int* errorChannel) {
        std::snprintf(hostText, sizeof hostText, "%s", peer.address().c_str());
        host = hostText;
        return vlk_rexec(&host, htons(512), user.c_str(), password.c_str(), command, errorChannel,
                         0);
    }

    testutil::InetdPeer peer{testutil::InetdPeer::REXEC};
    int previousWait = 0;
    char hostText[64];
    char* host = nullptr;
};

TEST_F(RexecPeer, CommandOutputAndStandardErrorArriveOnTheirChannels) {
    int err = -1;
    int s = login(peer.user(), peer.password(), "id -un; echo to-stderr >&2; cat", &err);
    ASSERT_GE(s, 0) << peer.log();
    ASSERT_GE(err, 0);
    // The command's standard input is the same socket.
    const char input[] = "fed on input\n";
    ASSERT_EQ(write(s, input, sizeof input - 1), ssize_t(sizeof input - 1));
    shutdown(s, SHUT_WR);
    EXPECT_EQ(drain(s), peer.user() + "\nfed on input\n");
    EXPECT_EQ(drain(err), "to-stderr\n");
    EXPECT_STREQ(host, peer.address().c_str());
    close(s);
    close(err);
}

TEST_F(RexecPeer, WithoutErrorChannelTheCommandStillRuns) {
    int s = login(peer.user(), peer.password(), "echo fine", nullptr);
    ASSERT_GE(s, 0) << peer.log();
    EXPECT_EQ(drain(s), "fine\n");
    close(s);
}

// in.rexecd refuses a wrong password by hanging up (the reason goes to its
// log only); a refusal with a reason is copied to our standard error.
TEST_F(RexecPeer, RefusedLoginGivesMinusOneAndTheServersTextOnStandardError) {
    struct Case {
        std::string user, password, text;
    } cases[] = {
        {peer.user(), peer.password() + "x", ""},
        {peer.user(), std::string(17, 'p'), "\001password too long\n"},
        {std::string(17, 'u'), peer.password(), "\001username too long\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user + " / " + c.password);
        int err = -5;
        testing::internal::CaptureStderr();
        int s = login(c.user, c.password, "echo never", &err);
        std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(s, -1);
        EXPECT_EQ(err, -5);
        EXPECT_EQ(text, c.text);
    }
}

}  // namespace
