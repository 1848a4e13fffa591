#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "hosts/host_test_fixture.h"

namespace {

class HostTypeTest : public HostTest {
  protected:
    std::unique_ptr<InstallHost> identify(const Str& host, AccessMethod access = DEFAULT_ACCESS,
                                          const char* type = "") {
        return std::unique_ptr<InstallHost>(getInstallHostObject(host, "root", "", access, type));
    }
    // Puts programs named like the host's own commands first on PATH.
    void fakeCommand(const std::string& name, const std::string& script) {
        std::string path = dir.write("bin/" + name, "#!/bin/sh\n" + script);
        chmod(path.c_str(), 0755);
    }
    void fakesOnPath() {
        path_.reset(new testutil::ScopedEnv(
            "PATH", (dir.file("bin") + ":" + std::string(getenv("PATH"))).c_str()));
    }
    void SetUp() override {
        HostTest::SetUp();
        mkdir(dir.file("bin").c_str(), 0755);
    }
    void TearDown() override {
        path_.reset();
        HostTest::TearDown();
    }

  private:
    std::unique_ptr<testutil::ScopedEnv> path_;
};

TEST_F(HostTypeTest, LocalLinuxHostIsIdentified) {
    auto h = identify(localName());
    ASSERT_TRUE(h);
    EXPECT_EQ(h->getType(), "linux-ix86");
    EXPECT_EQ(h->getName(), localName());
    EXPECT_TRUE(logged("uname:uname -a || /usr/bin/hostinfo || echo FAILED"));
    EXPECT_TRUE(logged("Found host match, " + localName().str() + "==linux-ix86"));
    EXPECT_EQ(report(), "");
}

TEST_F(HostTypeTest, GivenTypeRunsNothing) {
    auto h = identify("127.0.0.9", TRUSTED_HOST, "solaris2");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->getType(), "solaris2");
    EXPECT_FALSE(logged("executing following command"));
}

TEST_F(HostTypeTest, EarlierIdentityLineWins) {
    argInfo.config.define(generic, "identity", "no-type=^Nothing\nfirst-type=^Linux\nsecond=.*");
    auto h = identify(localName());
    ASSERT_TRUE(h);
    EXPECT_EQ(h->getType(), "first-type");
}

TEST_F(HostTypeTest, UnknownHostIsACriticalFailure) {
    argInfo.config.define(generic, "identity", "aix=^AIX\n\nbroken-line\n");
    EXPECT_FALSE(identify(localName()));
    EXPECT_TRUE(logged("Can't id host " + localName().str()));
    EXPECT_NE(report().find("  The type of this machine could not be classified as a supported "
                            "architecture."),
              std::string::npos)
        << report();
}

TEST_F(HostTypeTest, FailedUnameGivesNoHostAndNoRecord) {
    argInfo.config.define(generic, "uname", "echo FAILED");
    EXPECT_FALSE(identify(localName()));
    EXPECT_TRUE(logged("Failure of the host type test, returning 0"));
    EXPECT_EQ(report(), "");
}

TEST_F(HostTypeTest, MissingSshProgramGivesFailure273) {
    testutil::ScopedEnv ssh("SSH", "/nonexistent/ssh-client");
    EXPECT_FALSE(identify("127.0.0.2", SSH_ACCESS));
    EXPECT_EQ(sshExeSearchFailed, 1);
    std::string expected =
        "The type of this machine could not be classified as a supported architecture because "
        "the SSH executable (/nonexistent/ssh-client) could not be found in the path (" +
        std::string(getenv("PATH")) +
        ").  If need be set the 'SSH' environment variable to the fully qualified path of the "
        "SSH executable with 'dispadm environ set'.";
    EXPECT_NE(report().find(expected), std::string::npos) << report();

    // Every later ssh child gives up at once, even with a program that exists.
    fakeCommand("fake-ssh", "echo BEG_OF_STREAM; echo ran; echo; echo END_OF_STREAM\n");
    testutil::ScopedEnv fake("SSH", dir.file("bin/fake-ssh").c_str());
    Str output, errors;
    commandOnHost("127.0.0.2", "true", SSH_ACCESS, "", "", EMPTY, output, errors,
                  InstallHost::STRING_INPUT, nullptr, 1);
    EXPECT_EQ(output, "Output truncated.");
}

TEST_F(HostTypeTest, OS2AnswerToVerSkipsUname) {
    fakeCommand("ver", "echo 'Operating System/2 Version 4.50'\n");
    fakeCommand("which", "echo 'found at C:\\ONX\\BIN\\dispadm.exe'\n");
    fakesOnPath();
    auto h = identify(localName(), TRUSTED_HOST);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->getType(), "os2-ix86");
    EXPECT_EQ(h->getToolsLoc(), "C:/ONX/TOOLS");
    EXPECT_TRUE(logged("Host type test indicates OS2.  Check for required unix-like tools."));
    EXPECT_TRUE(logged("Save OS/2 bootDrive - c:"));
    EXPECT_FALSE(logged("uname:"));
}

TEST_F(HostTypeTest, OS2HostWithoutFrameworkGetsTemporaryTools) {
    fakeCommand("ver", "echo 'OS/2'\n");
    fakeCommand("which", "exit 1\n");
    fakesOnPath();
    argInfo.config.define("os2-ix86", "DefaultDosDrive", "d:");
    argInfo.cdrom = Cdrom("", dir.file("medium").c_str());
    auto h = identify(localName(), TRUSTED_HOST);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->getToolsLoc(), "d:/MNTOOLS");
    EXPECT_TRUE(logged("Save OS/2 bootDrive - d:"));
    EXPECT_TRUE(logged("Installing UNIX-like tools in a temporary tools directory."));
    EXPECT_EQ(shown().front(), "Installing unix-like tools on OS/2 node ....\n");
    // The medium has no tools archive: the copy is not started.
    EXPECT_NE(report().find("  Can not open file `" + dir.file("medium") +
                            "/MNTOOLS.EXE' for transfer: `No such file or directory'"),
              std::string::npos)
        << report();
    EXPECT_TRUE(logged("d: & CD d:\\MNTOOLS & d:\\MNTOOLS\\MNTOOLS.EXE \n"));
}

TEST_F(HostTypeTest, RemoteInstallationServiceStep) {
    struct Case {
        int kind;
        AccessMethod access;
        const char* rootPassword;
        const char* dontWisp;
        const char* logLine;  // null: the step is skipped silently
    } cases[] = {
        {1, USER_PASSWORD, "", "", nullptr},
        {2, USER_PASSWORD, "", "1", nullptr},
        {2, TRUSTED_HOST, "", "", "Can't install wisp by TRUSTED_HOST access."},
        {2, DEFAULT_ACCESS, "", "", "Can't install wisp by TRUSTED_HOST access."},
        {2, USER_PASSWORD, "", "", "couldn't install wisp on "},
        {3, DEFAULT_ACCESS, "rp", "", "couldn't install wisp on "},
    };
    for (const Case& c : cases) {
        dbFile.reopen(dir.file("log"));
        argInfo.kind = c.kind;
        argInfo.rootPassword = c.rootPassword;
        argInfo.config.define(generic, "dontWisp", c.dontWisp);
        auto h = identify(localName(), c.access);
        EXPECT_TRUE(h) << c.kind << " " << c.access;
        bool tried = logged("couldn't install wisp on ") ||
                     logged("Can't install wisp by TRUSTED_HOST access.");
        if (c.logLine)
            EXPECT_TRUE(logged(c.logLine)) << c.kind << " " << c.access;
        else
            EXPECT_FALSE(tried) << c.kind << " " << c.access;
    }
}

}  // namespace
