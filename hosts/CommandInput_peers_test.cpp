// What a command reads on a real host is exactly what the installer sent,
// for every kind of input and every way of reaching the host, also when
// the command prints a lot while the installer is still writing and when
// it is slow to read.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hosts/RemoteCommand.h"
#include "hosts/Rexec.h"
#include "hosts/host_test_fixture.h"
#include "tests/inetd_peer.h"
#include "tests/sshd_peer.h"

namespace {

// The digest of the command's standard input as cksum on the host prints
// it, on a line of its own after whatever the command printed before.
const char kQuiet[] = "s=`cksum`; echo \"SUM $s\"";
// Prints 1.4 MB while the installer writes, and does not read for two
// seconds, so that the installer has to take output while input waits.
const char kChattySlow[] =
    "yes chatter-chatter-chatter | head -n 50000 & sleep 2; s=`cksum`; wait; echo \"SUM $s\"";

std::string sumLine(const Str& output) {
    std::string text = output.str();
    size_t at = text.rfind("SUM ");
    if (at == std::string::npos) return "no SUM line in " + std::to_string(text.size()) + " bytes";
    size_t end = text.find('\n', at);
    return text.substr(at + 4, end == std::string::npos ? std::string::npos : end - at - 4);
}

class CommandInputPeers : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_TRUE(sshd.ready()) << sshd.error();
        ASSERT_TRUE(inetd.ready()) << inetd.error();
        ssh_.reset(new testutil::ScopedEnv("SSH", sshd.sshProgram().c_str()));
        previousLogin_ = setLoginWaitSeconds(30);
        previousRexec_ = setRexecWaitSeconds(30);
    }
    void TearDown() override {
        setRexecWaitSeconds(previousRexec_);
        setLoginWaitSeconds(previousLogin_);
        ssh_.reset();
        HostTest::TearDown();
    }

    // The same test host reached each way.
    std::vector<std::pair<std::string, InstallHost>> targets() const {
        const Str address = sshd.address().c_str();
        return {
            {"ssh", InstallHost(address, "linux-ix86", "root", "", SSH_ACCESS)},
            {"rsh", InstallHost(address, "linux-ix86", "root", "", TRUSTED_HOST)},
            {"rexec", InstallHost(address, "linux-ix86", inetd.user().c_str(),
                                  inetd.password().c_str(), USER_PASSWORD)},
        };
    }

    testutil::SshdPeer sshd;
    testutil::InetdPeer inetd;

  private:
    std::unique_ptr<testutil::ScopedEnv> ssh_;
    int previousLogin_ = 0;
    int previousRexec_ = 0;
};

TEST_F(CommandInputPeers, EveryKindOfInputArrivesUnchanged) {
    const std::string data = testutil::randomBytes(3 * 1024 * 1024 + 4321, 12);
    const std::string file = dir.write("data", data);
    const std::string want = testutil::cksumOf(data);
    // The buffered read comes from a host other than the target.
    InstallHost mediaHost(sshd.address().c_str(), "linux-ix86", "root", "", SSH_ACCESS);

    for (auto& target : targets()) {
        for (const char* command : {kQuiet, kChattySlow}) {
            for (InstallHost::InputType kind :
                 {InstallHost::STRING_INPUT, InstallHost::FILE_INPUT, InstallHost::PIPE_INPUT,
                  InstallHost::REMOTE_READ_INPUT}) {
                SCOPED_TRACE(target.first + ", input kind " + std::to_string(kind) + ", " +
                             command);
                Str input;
                switch (kind) {
                    case InstallHost::STRING_INPUT:
                        input = Str(data.data(), int(data.size()));
                        break;
                    case InstallHost::FILE_INPUT:
                        input = file.c_str();
                        break;
                    case InstallHost::PIPE_INPUT:
                        input = ("cat " + file).c_str();
                        break;
                    case InstallHost::REMOTE_READ_INPUT:
                        ASSERT_EQ(mediaHost.setupBufferedReadFile(dir.path().c_str(), "data"), 1)
                            << log();
                        input = mediaHost.remoteReadInput();
                        break;
                }
                Str out, err;
                target.second.runCommand(command, input, out, err, kind);
                EXPECT_EQ(sumLine(out), want);
                EXPECT_EQ(err, "");
            }
        }
    }
    EXPECT_EQ(report(), "");
}

}  // namespace
