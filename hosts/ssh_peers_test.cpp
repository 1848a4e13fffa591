// The installer's whole path over the secure shell against a real sshd.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "engine/FileSystemInfo.h"
#include "hosts/RemoteCommand.h"
#include "hosts/SshMaster.h"
#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"
#include "tests/inetd_peer.h"
#include "tests/sshd_peer.h"

namespace {

class SshAccess : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_TRUE(peer.ready()) << peer.error();
        ssh_.reset(new testutil::ScopedEnv("SSH", peer.sshProgram().c_str()));
        startWithEmptyTypeTable();
    }
    void TearDown() override {
        ssh_.reset();
        HostTest::TearDown();
    }

    std::unique_ptr<InstallHost> typedHost(const char* user = "root") {
        return std::unique_ptr<InstallHost>(
            getInstallHostObject(peer.address().c_str(), user, "", SSH_ACCESS, ""));
    }
    InstallHost knownHost() {
        return InstallHost(peer.address().c_str(), "linux-ix86", "root", "", SSH_ACCESS);
    }
    // The old setting is restored before the new one is made.
    void useProgram(const std::string& path) {
        ssh_.reset();
        ssh_.reset(new testutil::ScopedEnv("SSH", path.c_str()));
    }

    testutil::SshdPeer peer;

  private:
    std::unique_ptr<testutil::ScopedEnv> ssh_;
};

TEST_F(SshAccess, HostTypeCommandsFilesAndScout) {
    ASSERT_FALSE(isLocal(peer.address().c_str()));
    std::unique_ptr<InstallHost> h = typedHost();
    ASSERT_TRUE(h) << report() << log() << peer.log();
    EXPECT_EQ(h->getType(), "linux-ix86");

    Str out, err;
    h->runCommand("id -un; echo to-stderr >&2", EMPTY, out, err, InstallHost::STRING_INPUT);
    EXPECT_EQ(out, "root\n");
    EXPECT_EQ(err, "to-stderr\n");

    const Str dir = this->dir.path().c_str();
    EXPECT_EQ(h->createFile(dir + "/made", "probe.txt", "over ssh\nsecond line\n", 1), 1) << log();
    EXPECT_EQ(h->fileExists(dir + "/made", "probe.txt"), 1);
    Str contents;
    h->readFile(dir + "/made", "probe.txt", contents);
    EXPECT_EQ(contents, "over ssh\nsecond line\n");
    EXPECT_TRUE(logged("readFile remote: " + this->dir.path() + "/made,probe.txt"));
    h->rmFile(dir + "/made", "probe.txt");
    EXPECT_EQ(h->fileExists(dir + "/made", "probe.txt"), 0);
    h->readFile(dir + "/made", "probe.txt", contents);
    EXPECT_EQ(contents, "");
    EXPECT_TRUE(logged("Buffered read file does not exist."));

    expectScoutOfTwoTypes(&*h, dir, peer.address().c_str());
}

TEST_F(SshAccess, QuotesLargeInputAndGarbageAroundTheMarkers) {
    InstallHost h = knownHost();
    Str out, err;
    h.runCommand("printf '%s|%s\\n' \"it's\" 'a \"b\"'", EMPTY, out, err,
                 InstallHost::STRING_INPUT);
    EXPECT_EQ(out, "it's|a \"b\"\n");

    std::string big;
    for (int i = 0; big.size() < 2 * 1024 * 1024; ++i) big += "line " + std::to_string(i) + "\n";
    h.runCommand("cat", big.c_str(), out, err, InstallHost::STRING_INPUT);
    EXPECT_TRUE(out == big.c_str()) << out.length();

    commandOnHost(h.getName(),
                  "echo junk; echo BEG_OF_STREAM; echo x; echo; echo END_OF_STREAM; "
                  "echo trailer",
                  SSH_ACCESS, "root", "", EMPTY, out, err, InstallHost::STRING_INPUT, &h, 1);
    EXPECT_EQ(out, "x\n");
}

TEST_F(SshAccess, OutputCutBeforeTheEndMarker) {
    InstallHost h = knownHost();
    Str out, err;
    h.runCommand("echo partial; kill -KILL $$", EMPTY, out, err, InstallHost::STRING_INPUT);
    EXPECT_EQ(out, "\npartial\nOutput truncated.");
    EXPECT_TRUE(logged("Remote side did not properly run our command."));
}

// A port where nothing listens, a login that is refused and a host key
// the client does not know: no host, a critical failure, the reason in
// words before ssh's own words on the connection it could not make.
TEST_F(SshAccess, HostThatCannotBeReachedIsACriticalFailure) {
    testutil::TempDir keys;
    const std::string strange = keys.write(
        "ssh-strange-key", "#!/bin/sh\nexec " + peer.sshProgram() +
                               " -o UserKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes "
                               "-o GlobalKnownHostsFile=/dev/null \"$@\"\n");
    ASSERT_EQ(chmod(strange.c_str(), 0755), 0);
    const std::string host = peer.address();
    struct Case {
        std::string program;
        const char* user;
        std::string reason;
        const char* sshSays;
    } cases[] = {
        {peer.wrapperFor(1, "ssh-closed"), "root", "  " + host + " refused the connection (",
         "Connection refused"},
        {peer.sshProgram(), "nobody", "  A key was rejected on the way to " + host + " (",
         "Permission denied"},
        {strange, "root", "  A key was rejected on the way to " + host + " (",
         "Host key verification failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sshSays);
        hostFailures.clear();
        // A run tries each host's connection once; each case is a run.
        closeSshMasters();
        useProgram(c.program);
        EXPECT_FALSE(typedHost(c.user));
        std::string r = report();
        size_t reason = r.find(c.reason);
        size_t shellText = r.find("  Local command setup failed: `ssh: ");
        EXPECT_NE(reason, std::string::npos) << r;
        EXPECT_NE(shellText, std::string::npos) << r;
        EXPECT_LT(reason, shellText) << r;
        EXPECT_NE(r.find(c.sshSays), std::string::npos) << r;
        EXPECT_EQ(sshExeSearchFailed, 0);
    }
}

// A server that accepts and never answers: the login is given up at the
// connect time-out, no command is started, and the report says so.
TEST_F(SshAccess, ServerThatNeverAnswersIsGivenUp) {
    testutil::SilentPeer silent(peer.address());
    ASSERT_TRUE(silent.ready());
    useProgram(peer.wrapperFor(silent.port(), "ssh-silent"));
    closeSshMasters();
    InstallHost h = knownHost();
    Str out = "untouched", err;
    h.runCommand("echo never", EMPTY, out, err, InstallHost::STRING_INPUT);
    EXPECT_EQ(out, "untouched");
    EXPECT_TRUE(logged("ssh connection to " + peer.address() + " failed: "));
    EXPECT_GE(silent.accepted(), 1);
    const std::string r = report();
    const size_t why = r.find("  " + peer.address() + " never answered (Connection timed out");
    EXPECT_NE(why, std::string::npos) << r;
    EXPECT_LT(why, r.find("  Local command setup failed: `ssh: ")) << r;
}

}  // namespace
