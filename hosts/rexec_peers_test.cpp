// The remote execution client against the real in.rexecd.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "engine/FileSystemInfo.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Rexec.h"
#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"
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

// The installer's whole path over remote execution with user and password:
// the host type test, framed commands, files, the buffered read, the scout.
class RexecAccess : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_TRUE(peer.ready()) << peer.error();
        startWithEmptyTypeTable();
        const passwd* pw = getpwnam(peer.user().c_str());
        ASSERT_NE(pw, nullptr);
        home = pw->pw_dir;
        previousWait = setRexecWaitSeconds(30);
    }
    void TearDown() override {
        setRexecWaitSeconds(previousWait);
        HostTest::TearDown();
    }

    std::unique_ptr<InstallHost> typedHost() {
        return std::unique_ptr<InstallHost>(
            getInstallHostObject(peer.address().c_str(), peer.user().c_str(),
                                 peer.password().c_str(), USER_PASSWORD, ""));
    }

    testutil::InetdPeer peer{testutil::InetdPeer::REXEC};
    std::string home;
    int previousWait = 0;
};

TEST_F(RexecAccess, HostTypeCommandsFilesAndScout) {
    ASSERT_FALSE(isLocal(peer.address().c_str()));
    std::unique_ptr<InstallHost> h = typedHost();
    ASSERT_TRUE(h) << report() << log();
    EXPECT_EQ(h->getType(), "linux-ix86");

    Str out, err;
    h->runCommand("id -un; echo to-stderr >&2", EMPTY, out, err, InstallHost::STRING_INPUT);
    EXPECT_EQ(out, (peer.user() + "\n").c_str());
    EXPECT_EQ(err, "to-stderr\n");

    const Str dir = home.c_str();
    EXPECT_EQ(h->createFile(dir, "probe.txt", "over rexec\nsecond line\n", 0), 1) << log();
    EXPECT_EQ(h->fileExists(dir, "probe.txt"), 1);
    Str contents;
    h->readFile(dir, "probe.txt", contents);
    EXPECT_EQ(contents, "over rexec\nsecond line\n");
    EXPECT_TRUE(logged("readFile remote: " + home + ",probe.txt"));
    h->rmFile(dir, "probe.txt");
    EXPECT_EQ(h->fileExists(dir, "probe.txt"), 0);
    h->readFile(dir, "probe.txt", contents);
    EXPECT_EQ(contents, "");
    EXPECT_TRUE(logged("Buffered read file does not exist."));

    Str server, fsDir;
    EXPECT_EQ(h->findFS(dir + "/fs", server, fsDir), 1) << log();

    expectScoutOfTwoTypes(&*h, dir, peer.address().c_str());
}

TEST_F(RexecAccess, RefusedLoginIsRecordedForTheHost) {
    Str out = "untouched", err;
    commandOnHost(peer.address().c_str(), "echo never", USER_PASSWORD, peer.user().c_str(),
                  (peer.password() + "x").c_str(), EMPTY, out, err, InstallHost::STRING_INPUT,
                  nullptr, 1);
    EXPECT_EQ(out, "untouched");
    EXPECT_NE(report().find("  User access from KRV server denied: check host name, user, "
                            "password, etc."),
              std::string::npos)
        << report();
}

// A server on the exec port that accepts and never answers: the login gives
// up after its bounded wait and the failure is recorded.
TEST_F(RexecAccess, ServerThatNeverAnswersEndsInARecordedFailure) {
    testutil::SilentPeer silent("127.0.0.3", 512);
    ASSERT_TRUE(silent.ready());
    setRexecWaitSeconds(1);
    Str out = "untouched", err;
    commandOnHost("127.0.0.3", "echo never", USER_PASSWORD, "u", "p", EMPTY, out, err,
                  InstallHost::STRING_INPUT, nullptr, 1);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(silent.accepted(), 1);
    EXPECT_NE(report().find("User access from KRV server denied"), std::string::npos) << report();
}

}  // namespace
