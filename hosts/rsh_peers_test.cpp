// The installer's whole path over the trusted-host remote shell (the
// system's rcmd) against the real in.rshd.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/FileSystemInfo.h"
#include "hosts/RemoteCommand.h"
#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"
#include "tests/inetd_peer.h"

namespace {

class RshAccess : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        startWithEmptyTypeTable();
        previousWait_ = setLoginWaitSeconds(30);
    }
    void TearDown() override {
        setLoginWaitSeconds(previousWait_);
        HostTest::TearDown();
    }

    int previousWait_ = 0;
};

TEST_F(RshAccess, HostTypeCommandsFilesAndScout) {
    testutil::InetdPeer peer(testutil::InetdPeer::RSH);
    ASSERT_TRUE(peer.ready()) << peer.error();
    const Str address = peer.address().c_str();
    ASSERT_FALSE(isLocal(address));
    std::unique_ptr<InstallHost> h(getInstallHostObject(address, "root", "", TRUSTED_HOST, ""));
    ASSERT_TRUE(h) << report() << log() << peer.log();
    EXPECT_EQ(h->getType(), "linux-ix86");

    Str out, err;
    h->runCommand("id -un; echo to-stderr >&2; printf '%s\\n' \"it's\"", EMPTY, out, err,
                  InstallHost::STRING_INPUT);
    EXPECT_EQ(out, "root\nit's\n");
    EXPECT_EQ(err, "to-stderr\n");

    std::string big(1024 * 1024, 'r');
    h->runCommand("wc -c", big.c_str(), out, err, InstallHost::STRING_INPUT);
    EXPECT_EQ(out, "1048576\n");

    const Str dir = this->dir.path().c_str();
    EXPECT_EQ(h->createFile(dir, "probe.txt", "over rsh\n", 0), 1) << log();
    EXPECT_EQ(h->fileExists(dir, "probe.txt"), 1);
    Str contents;
    h->readFile(dir, "probe.txt", contents);
    EXPECT_EQ(contents, "over rsh\n");
    h->rmFile(dir, "probe.txt");
    EXPECT_EQ(h->fileExists(dir, "probe.txt"), 0);

    expectScoutOfTwoTypes(&*h, dir, address);
}

// A server on the shell port that accepts and never answers: the login is
// given up after its bounded wait and failure 99 is recorded.
TEST_F(RshAccess, ServerThatNeverAnswersEndsInFailure99) {
    testutil::SilentPeer silent("127.0.0.2", 514);
    ASSERT_TRUE(silent.ready());
    setLoginWaitSeconds(2);
    Str out = "untouched", err;
    testing::internal::CaptureStderr();
    commandOnHost("127.0.0.2", "echo never", TRUSTED_HOST, "root", "", EMPTY, out, err,
                  InstallHost::STRING_INPUT, nullptr, 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "untouched");
    EXPECT_NE(report().find("  Trusted host access from KRV server denied: check host name, "
                            "/.rhosts, etc."),
              std::string::npos)
        << report();
    EXPECT_TRUE(logged("startCommand failure"));
    EXPECT_GE(silent.accepted(), 1);
}

}  // namespace
