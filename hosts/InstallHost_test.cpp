#include "hosts/InstallHost.h"

#include <gtest/gtest.h>

#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"

namespace {

class InstallHostModel : public HostTest {};

TEST_F(InstallHostModel, TypePrefixesAndEngine) {
    struct Case {
        const char* type;
        bool w32, os2, nw;
        int engine;
    } cases[] = {
        {"w32-ix86", true, false, false, 1},   {"os2-ix86", false, true, false, 1},
        {"nwr-ix86", false, false, true, 0},   {"linux-ix86", false, false, false, 0},
        {"xw32-ix86", false, false, false, 0}, {"W32-ix86", false, false, false, 0},
    };
    for (const Case& c : cases) {
        InstallHost h("h", c.type, "u", "p", TRUSTED_HOST);
        EXPECT_EQ(h.isW32(), c.w32) << c.type;
        EXPECT_EQ(h.isOS2(), c.os2) << c.type;
        EXPECT_EQ(h.isNW(), c.nw) << c.type;
        EXPECT_EQ(h.isEnginePresent(), c.engine) << c.type;
    }
    EXPECT_TRUE(logged("Constructing InstallHost host: h type w32-ix86 user: u"));
}

TEST_F(InstallHostModel, AccessUserAndPasswordFollowTheRunUnlessGiven) {
    struct Case {
        AccessMethod own;
        const char* type;
        int useSsh;
        const char* rootPassword;
        const char* defaultUser;
        AccessMethod access;
        const char* user;
        const char* password;
    } cases[] = {
        {DEFAULT_ACCESS, "linux-ix86", 0, "", "", TRUSTED_HOST, "root", ""},
        {DEFAULT_ACCESS, "linux-ix86", 0, "rp", "", USER_PASSWORD, "root", "rp"},
        {DEFAULT_ACCESS, "w32-ix86", 0, "", "", TRUSTED_HOST, "Administrator", ""},
        {DEFAULT_ACCESS, "w32-ix86", 0, "", "admin", TRUSTED_HOST, "admin", ""},
        {DEFAULT_ACCESS, "linux-ix86", 1, "rp", "", SSH_ACCESS, "root", "rp"},
        {USER_PASSWORD, "linux-ix86", 1, "", "du", SSH_ACCESS, "hu", "hp"},
        {USER_PASSWORD, "linux-ix86", 0, "", "du", USER_PASSWORD, "hu", "hp"},
        {TRUSTED_HOST, "linux-ix86", 0, "rp", "du", TRUSTED_HOST, "hu", "hp"},
    };
    for (const Case& c : cases) {
        argInfo.useSsh = c.useSsh;
        argInfo.rootPassword = c.rootPassword;
        argInfo.defaultUser = c.defaultUser;
        InstallHost h("h", c.type, "hu", "hp", c.own);
        EXPECT_EQ(h.access(), c.access) << c.own << " " << c.type << " " << c.useSsh;
        EXPECT_EQ(h.user(), c.user) << c.own << " " << c.type;
        EXPECT_EQ(h.password(), c.password) << c.own << " " << c.type;
    }
}

TEST_F(InstallHostModel, StatesGrowWithUnknownSlots) {
    InstallHost h("h", "linux-ix86", "", "", TRUSTED_HOST);
    EXPECT_EQ(h.getState(InstallType(3)), FS_UNKNOWN);
    h.setState(InstallType(5), FS_PUSH);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(h.getState(InstallType(i)), FS_UNKNOWN) << i;
    EXPECT_EQ(h.getState(InstallType(5)), FS_PUSH);
    EXPECT_EQ(h.getState(InstallType(6)), FS_UNKNOWN);
    h.setState(InstallType(2), FS_INSTALLED);
    EXPECT_EQ(h.getState(InstallType(2)), FS_INSTALLED);
    EXPECT_EQ(h.getState(InstallType(5)), FS_PUSH);
}

TEST_F(InstallHostModel, MarksOnlyRise) {
    InstallHost h("h", "linux-ix86", "", "", TRUSTED_HOST);
    EXPECT_EQ(h.rebootNeeded(), 0);
    EXPECT_EQ(h.checkFailure(), 0);
    h.scheduleReboot();
    h.setFailure();
    EXPECT_EQ(h.rebootNeeded(), 1);
    EXPECT_EQ(h.checkFailure(), 1);
}

TEST_F(InstallHostModel, PathRulesByHostKind) {
    InstallType bin(Str("BIN"));
    struct Case {
        const char* type;
        const char* path;
        int ok;
    } cases[] = {
        {"linux-ix86", "/opt/x", 1},
        {"linux-ix86", "opt/x", 0},
        {"linux-ix86", "c:/x", 0},
        {"w32-ix86", "c:/x", 1},
        {"w32-ix86", "c:", 1},
        {"os2-ix86", "d:\\x", 1},
        {"w32-ix86", "/x", 1},
        {"w32-ix86", "cc:/x", 0},
        {"nwr-ix86", "SYS:/x", 1},
        {"nwr-ix86", "s:x", 0},
        {"nwr-ix86", "VOL:x", 1},
        {"nwr-ix86", "/x", 1},
        {"nwr-ix86", "ABCDEFGHIJKLMNOP:x", 0},
        {"nwr-ix86", "ABCDEFGHIJKLMNO:x", 1},
    };
    for (const Case& c : cases) {
        hostFailures.clear();
        InstallHost h("h", c.type, "", "", TRUSTED_HOST);
        EXPECT_EQ(h.checkPath(c.path, bin), c.ok) << c.type << " " << c.path;
        EXPECT_EQ(hostFailures.numFailures(), c.ok ? 0 : 1) << c.type << " " << c.path;
    }
    hostFailures.clear();
    InstallHost h("h", "linux-ix86", "", "", TRUSTED_HOST);
    EXPECT_EQ(h.checkPath("", bin), 0);
    EXPECT_EQ(hostFailures.numFailures(), 0);
    EXPECT_EQ(h.checkPath("rel/dir", bin), 0);
    EXPECT_NE(report().find("  Error: The entered path `rel/dir' for BIN does not start with an "
                            "'/'.  You must use absolute path names."),
              std::string::npos)
        << report();
    h.pcInstall() = 1;
    EXPECT_EQ(h.checkPath("", bin), 1);
    EXPECT_EQ(h.checkPath("rel", bin), 1);
}

TEST_F(InstallHostModel, KeyCleanHidesPasswords) {
    argInfo.installPassword = "s3cr";
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a=s3cr;b=s3cr;c=s3cr", "a=XxX;b=XxX;c=s3cr"},
        {"ZapPassword=abc;X=1;Y=abc", "ZapPassword=xXx;X=1;Y=abc"},
        {"ZapPassword=abc", "ZapPassword=xXx"},
        {"ZapPassword=;X", "ZapPassword=xXx;X"},
        {"A ZapPassword=1; B ZapPassword=2;", "A ZapPassword=xXx; B ZapPassword=xXx;"},
        {"P=s3cr;ZapPassword=s3cr;", "P=XxX;ZapPassword=xXx;"},
        {"nothing secret", "nothing secret"},
    };
    for (const Case& c : cases) EXPECT_EQ(keyClean(c.in), c.out) << c.in;
    argInfo.installPassword = "";
    EXPECT_EQ(keyClean("a=;b"), "a=;b");
}

TEST_F(InstallHostModel, RemoteReadInputNamesOnlyLiveHosts) {
    auto* h = new InstallHost("src", "linux-ix86", "", "", TRUSTED_HOST);
    Str input = h->remoteReadInput();
    EXPECT_EQ(InstallHost::fromRemoteReadInput(input), h);
    InstallHost copy(*h);
    EXPECT_EQ(InstallHost::fromRemoteReadInput(copy.remoteReadInput()), &copy);
    delete h;
    EXPECT_EQ(InstallHost::fromRemoteReadInput(input), nullptr);
    for (const char* bad : {"", "0", "12abc", "-1", "99999999999999999999999"})
        EXPECT_EQ(InstallHost::fromRemoteReadInput(bad), nullptr) << bad;
}

TEST_F(InstallHostModel, LocalNames) {
    EXPECT_FALSE(localName().empty());
    EXPECT_TRUE(isLocal(localName()));
    EXPECT_FALSE(isLocal("127.0.0.2"));
    EXPECT_FALSE(isLocal(""));
    EXPECT_FALSE(isLocal(localName() + "x"));
}

}  // namespace
