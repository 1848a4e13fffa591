// A command given up at the idle limit on a real host: what it started
// there ends too, not only the client on this side.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hosts/HostMessages.h"
#include "hosts/RemoteCommand.h"
#include "hosts/SshMaster.h"
#include "hosts/host_test_fixture.h"
#include "tests/inetd_peer.h"
#include "tests/sshd_peer.h"
#include "tests/test_util.h"

namespace {

class IdleLimitOnHost : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        previousLimit_ = setCommandIdleLimit(2);
        previousWait_ = setLoginWaitSeconds(30);
    }
    void TearDown() override {
        closeSshMasters();
        setLoginWaitSeconds(previousWait_);
        setCommandIdleLimit(previousLimit_);
        HostTest::TearDown();
    }

    // Runs on h a command that records its shell's and its child's ids in
    // the test's directory (the host shares this machine's processes) and
    // then says nothing: after it is given up, both are gone.
    void expectStoppedWithItsChild(InstallHost& h) {
        const std::string shell = dir.file("shell"), child = dir.file("child");
        Str out, err;
        h.runCommand(
            ("sleep 300 & echo $! > " + child + "; echo $$ > " + shell + "; sleep 300").c_str(),
            EMPTY, out, err, InstallHost::STRING_INPUT);
        pid_t shellPid = testutil::pidFromFile(shell, 5);
        pid_t childPid = testutil::pidFromFile(child, 5);
        ASSERT_GT(shellPid, 1) << log();
        ASSERT_GT(childPid, 1) << log();
        EXPECT_TRUE(testutil::processEndsWithin(shellPid, 20)) << log();
        EXPECT_TRUE(testutil::processEndsWithin(childPid, 20)) << log();
        EXPECT_EQ(out, "\nOutput truncated.");
        const Str stopped =
            "the command was stopped on the host at the idle limit of 2 seconds "
            "(process group " +
            Str(std::to_string(shellPid)) + ")";
        EXPECT_NE(err.index(stopped), -1) << err << log();
        EXPECT_TRUE(logged("kill -TERM -" + std::to_string(shellPid))) << log();
        // A failure of the host shows its standard error, the stop with it.
        hostFailures.addFailureCritical(h.getName(), installMessage(95));
        EXPECT_NE(report().find(stopped.str()), std::string::npos) << report();
    }

  private:
    int previousLimit_ = 0;
    int previousWait_ = 0;
};

TEST_F(IdleLimitOnHost, OverSsh) {
    testutil::SshdPeer peer;
    ASSERT_TRUE(peer.ready()) << peer.error();
    testutil::ScopedEnv ssh("SSH", peer.sshProgram().c_str());
    InstallHost h(peer.address().c_str(), "linux-ix86", "root", "", SSH_ACCESS);
    expectStoppedWithItsChild(h);
}

TEST_F(IdleLimitOnHost, OverRsh) {
    testutil::InetdPeer peer(testutil::InetdPeer::RSH);
    ASSERT_TRUE(peer.ready()) << peer.error();
    InstallHost h(peer.address().c_str(), "linux-ix86", "root", "", TRUSTED_HOST);
    expectStoppedWithItsChild(h);
}

}  // namespace
