#include "engine/Args.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "framework/bln_cipher.h"
#include "framework/qrx_exception.h"
#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"
#include "model/config_data.h"

namespace {

class ArgsTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        // The option reader checks for root first; these tests are about
        // what comes after.
        if (geteuid() != 0) ignoreRoot_.reset(new testutil::ScopedEnv("IgnoreRoot", "1"));
        savedTypes_ = InstallType::data;
        argInfo.kind = 1;
    }
    void TearDown() override {
        InstallType::data = savedTypes_;
        HostTest::TearDown();
    }

    // Runs the words through ProcessRest as the words after the options.
    void words(std::vector<std::string> list) {
        std::vector<char*> argv{const_cast<char*>("quillset_cli")};
        for (std::string& w : list) argv.push_back(&w[0]);
        optind = 1;
        ProcessRest(int(argv.size()), argv.data());
    }

    // zpiGetArgs over args (argv[0] added); the medium is a directory
    // holding a small index.
    void options(std::vector<std::string> list) {
        std::string medium = dir.file("medium");
        mkdir(medium.c_str(), 0755);
        std::ofstream(medium + "/QRX.IND") << "QRX:description:Test\n"
                                              "QRX:id:BIN:Binaries:server::default=/usr/local/bin\n"
                                              "QRX:id:LIB:Libraries:server::default=/usr/lib/qrx\n"
                                              "QRX:id:CLI:Client:client::default=/cli\n"
                                              "QRX:fp:BIN:generic::10:1\n";
        list.insert(list.begin(), {"/bin/quillset_cli", "-c", medium});
        std::vector<char*> argv;
        for (std::string& w : list) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        EXPECT_EQ(zpiGetArgs(int(argv.size()) - 1, argv.data()), 1);
    }

    static Str path(const char* type) { return InstallType(Str(type)).entry().path; }
    // An index declaring ZPI_NAME and three types for the words to set.
    static void declare() {
        InstallType::data = Array<InstallTypeData>();
        argInfo.index = OperationInfo(
            "QRX:id:ZPI_NAME:Server:server::\nQRX:id:ARGBIN:B:server::\n"
            "QRX:id:ARGOFF:O:server::\nQRX:id:ARGON:N:server::\n",
            "QRX");
    }
    static Str config(const char* name) {
        return argInfo.config.translate(nullptr, Str("@") + name + "@");
    }

  private:
    Array<InstallTypeData> savedTypes_;
    std::unique_ptr<testutil::ScopedEnv> ignoreRoot_;
};

TEST_F(ArgsTest, SettingsBetweenAtSigns) {
    words({"@DefaultUser@=bob", "@ZapUser@=zap", "@ZapPassword@=secret", "@RP@=rootpw",
           "@UseSSH@=1", "@Region@=north"});
    EXPECT_EQ(argInfo.defaultUser, "bob");
    EXPECT_EQ(argInfo.zapUser, "zap");
    EXPECT_EQ(argInfo.zapPassword, "secret");
    EXPECT_EQ(argInfo.rootPassword, "rootpw");
    EXPECT_EQ(argInfo.useSsh, 1);
    EXPECT_EQ(config("Region"), "north");
    EXPECT_TRUE(logged("Setting default user to: bob\n"));
    EXPECT_TRUE(logged("Setting zap user to: zap\n"));
    EXPECT_TRUE(logged("Setting zap password\n"));
    EXPECT_TRUE(logged("Setting Region to north\n"));
}

TEST_F(ArgsTest, UseSshOtherThanOneIsAConfigurationEntry) {
    words({"@UseSSH@=0"});
    EXPECT_EQ(argInfo.useSsh, 0);
    EXPECT_EQ(config("UseSSH"), "0");
}

TEST_F(ArgsTest, InstallPasswordIsShellEscapedBackslashFirst) {
    words({"@IP@=a\\$b;c|d=e"});
    EXPECT_EQ(argInfo.installPassword, "a\\\\\\$b\\;c\\|d\\=e");
}

TEST_F(ArgsTest, EncipheredPasswordsAreDeciphered) {
    char* enciphered = bln_encrypt("clear-secret");
    ASSERT_GT(std::string(enciphered).size(), 11u);
    words({std::string("@RP@=") + enciphered, std::string("@ZapPassword@=") + enciphered});
    free(enciphered);
    EXPECT_EQ(argInfo.rootPassword, "clear-secret");
    EXPECT_EQ(argInfo.zapPassword, "clear-secret");
}

// Passwords kept in a private file given with -z instead of words (which
// every user sees in the process list): the file's entries are settings
// like the words, a word still wins, and they leave the configuration, its
// log lines and its dump. The file replaces the built-in entries.
TEST_F(ArgsTest, PasswordsFromAPrivateVariableFile) {
    const std::string file = dir.write("secrets",
                                       "generic RP\nroot-pw\n%%\n"
                                       "generic IP\nin$tall\n%%\n"
                                       "generic ZapPassword\nzap-pw\n%%\n"
                                       "generic Extra\nx\n%%\n");
    struct Case {
        std::vector<std::string> args;
        const char* root;
    } cases[] = {
        {{"-z", file}, "root-pw"},
        {{"-z", file, "@RP@=from-word"}, "from-word"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.root);
        argInfo.config = Configuration(config_data);
        argInfo.rootPassword = argInfo.installPassword = argInfo.zapPassword = Str();
        options(c.args);
        EXPECT_EQ(argInfo.rootPassword, c.root);
        EXPECT_EQ(argInfo.installPassword, "in\\$tall");
        EXPECT_EQ(argInfo.zapPassword, "zap-pw");
        EXPECT_EQ(config("Extra"), "x");
        EXPECT_EQ(config("Shell"), "");
        for (const char* name : {"RP", "ZapPassword"}) EXPECT_EQ(config(name), "") << name;
        const std::string dump = argInfo.config.dump().str();
        for (const char* secret : {"root-pw", "in$tall", "zap-pw"}) {
            EXPECT_EQ(dump.find(secret), std::string::npos) << secret;
            EXPECT_FALSE(logged(secret)) << secret;
        }
    }
}

TEST_F(ArgsTest, TypePathsAndServerName) {
    declare();
    words({"ZPI_NAME=hostA", "ARGBIN=/opt/bin!", "ARGOFF=FALSE", "ARGON=True"});
    EXPECT_EQ(path("ZPI_NAME"), "hostA");
    EXPECT_EQ(argInfo.serverName, "hostA");
    EXPECT_TRUE(logged("Setting zpi name to hostA\n"));
    EXPECT_EQ(path("ARGBIN"), "/opt/bin");
    EXPECT_EQ(InstallType(Str("ARGBIN")).forceInstall(), 1);
    EXPECT_EQ(path("ARGOFF"), "0");
    EXPECT_EQ(InstallType(Str("ARGOFF")).enabled(), 0);
    EXPECT_EQ(path("ARGON"), "1");
    EXPECT_EQ(InstallType(Str("ARGON")).enabled(), 1);
}

TEST_F(ArgsTest, ZpiNameSetsTheServerOnlyForAServerInstall) {
    declare();
    argInfo.kind = 2;
    words({"ZPI_NAME=hostB"});
    EXPECT_EQ(path("ZPI_NAME"), "hostB");
    EXPECT_EQ(argInfo.serverName, "");
}

// A word for a type the index lacks (a typing error) names the known types
// and changes nothing; ZPI_NAME still names the server without such a type.
TEST_F(ArgsTest, WordOfAnUnknownTypeIsReportedAndIgnored) {
    declare();
    const int types = InstallType::data.length();
    testing::internal::CaptureStderr();
    words({"BNI=/opt/x"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "Warning: `BNI' is not an install type of the index; `BNI=/opt/x' is ignored.  "
              "Known types: ZPI_NAME, ARGBIN, ARGOFF, ARGON.\n");
    EXPECT_EQ(InstallType::id("BNI"), -1);
    EXPECT_EQ(InstallType::data.length(), types);

    InstallType::data = Array<InstallTypeData>();
    argInfo.index = OperationInfo("QRX:id:BIN:Binaries:server::\n", "QRX");
    testing::internal::CaptureStderr();
    words({"ZPI_NAME=hostC"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(argInfo.serverName, "hostC");
    EXPECT_EQ(InstallType::id("ZPI_NAME"), -1);
}

TEST_F(ArgsTest, HostWords) {
    words({"hostA,extra", "", "=odd", "hostC"});
    ASSERT_EQ(argInfo.hosts.length(), 3);
    EXPECT_EQ(argInfo.hosts[0], "hostA,extra");
    EXPECT_EQ(argInfo.hosts[1], "=odd");
    EXPECT_EQ(argInfo.hosts[2], "hostC");
    EXPECT_TRUE(logged("Adding `hostA' to the install host list.\n"));
    EXPECT_TRUE(logged("Adding `=odd' to the install host list.\n"));
}

TEST_F(ArgsTest, EmptyDefaultUserBecomesRoot) {
    argInfo.defaultUser = "";
    words({});
    EXPECT_EQ(argInfo.defaultUser, "root");
}

TEST_F(ArgsTest, OptionsReadTheMediumAndItsIndex) {
    options({"-a", "hostA", "-y", "-Z", "generic Extra\nvalue\n%%\n"});
    EXPECT_EQ(argInfo.kind, 1);
    EXPECT_EQ(argInfo.programName, "quillset_cli");
    EXPECT_EQ(argInfo.serverName, "hostA");
    EXPECT_EQ(config("ZPI_NAME"), "hostA");
    EXPECT_EQ(config("Extra"), "value");
    EXPECT_EQ(argInfo.yes, 1);
    EXPECT_TRUE(argInfo.cdrom.isOpen());
    EXPECT_EQ(argInfo.index.IsValid(), 1);
    EXPECT_EQ(argInfo.index.productName(), "QRX");
}

TEST_F(ArgsTest, DefaultPathsForServerTypesWithoutAPath) {
    options({"-d", "LIB=/mine"});
    EXPECT_EQ(path("BIN"), "/usr/local/bin");
    EXPECT_EQ(path("LIB"), "/mine");
    EXPECT_EQ(path("CLI"), "");
    EXPECT_TRUE(logged("server set default for InstallType(BIN)\n"));
}

TEST_F(ArgsTest, PathPrefix) {
    struct Case {
        const char* prefix;
        const char* given;
        const char* want;
    } cases[] = {
        {"/opt/x!", "/usr/local/bin", "/opt/x/bin"},
        {"/opt/x", "/usr/local/bin", "/opt/x/usr/local/bin"},
        {"/opt/x", "/opt/x/bin", "/opt/x/bin"},
        {"/opt/x", "relative/bin", "relative/bin"},
    };
    for (const Case& c : cases) {
        options({"-p", c.prefix, std::string("BIN=") + c.given});
        EXPECT_EQ(path("BIN"), c.want) << c.prefix << " " << c.given;
        EXPECT_EQ(path("LIB"), "") << "a type without a path stays without";
    }
}

class BuildUpArgsTest : public ArgsTest {
  protected:
    // The vector built from args (argv[0] included), as texts.
    std::vector<std::string> build(std::vector<std::string> list) {
        std::vector<char*> argv;
        for (std::string& w : list) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        int count = -1;
        char** out = BuildUpArgs(int(argv.size()) - 1, argv.data(), &count);
        std::vector<std::string> v;
        for (int i = 0; i < count; ++i) {
            v.push_back(out[i]);
            delete[] out[i];
        }
        delete[] out;
        return v;
    }
    std::string medium() {
        std::string m = dir.file("gmedium");
        mkdir(m.c_str(), 0755);
        std::ofstream(m + "/QRX.IND") << "QRX:description:Test\n"
                                         "QRX:id:GBIN:Binaries:server::default=/usr/bin\n"
                                         "QRX:id:GCLI:Client:client::default=/cli\n"
                                         "QRX:gui:b:GBIN:server:\n"
                                         "QRX:gui:c:GCLI:client:x\n"
                                         "QRX:gui:N:GNAME:server:\n"
                                         "QRX:fp:GBIN:generic::10:1\n";
        return m;
    }
};

TEST_F(BuildUpArgsTest, GuiItemsOfTheServerPhase) {
    std::vector<std::string> want = {"server", "-bGBIN:Binaries:/opt/usr/bin:", "-N"};
    EXPECT_EQ(build({"/x/server", "-c", medium(), "-p", "/opt", "-a", "tiger"}), want);
    EXPECT_EQ(argInfo.serverName, "tiger");
}

TEST_F(BuildUpArgsTest, RelativePrefixIsIgnored) {
    std::vector<std::string> want = {"server", "-bGBIN:Binaries:/usr/bin:", "-N"};
    EXPECT_EQ(build({"server", "-c", medium(), "-p", "opt"}), want);
}

TEST_F(BuildUpArgsTest, SeedFileLinesReplaceTheGuiItems) {
    std::ofstream(dir.file("seed")) << "-bGBIN:mine\nplain\nunterminated";
    std::vector<std::string> want = {"server", "-bGBIN:Binaries:/usr/bin:mine", "plain"};
    EXPECT_EQ(build({"server", "-c", medium(), "-A", dir.file("seed")}), want);
    EXPECT_TRUE(logged("reading seed file " + dir.file("seed") + "\n"));
}

TEST_F(BuildUpArgsTest, UnreadableSeedFileAddsNothing) {
    std::vector<std::string> want = {"server"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(build({"server", "-c", medium(), "-A", dir.file("none")}), want);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "can't read -A args file `" + dir.file("none") + "'\n");
    EXPECT_TRUE(logged("can't read seed file " + dir.file("none") + "\n"));
}

TEST_F(BuildUpArgsTest, UnknownOptionGoesOn) {
    testing::internal::CaptureStderr();
    std::vector<std::string> got = build({"server", "-x", "-c", medium()});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown option was passed: x\n");
    EXPECT_EQ(got.size(), 3u);
}

TEST_F(BuildUpArgsTest, InvalidIndexRaisesTheMissingIndexException) {
    EXPECT_THROW(build({"server", "-c", medium(), "-i", "NOPE"}),
                 SysAdminException::ExEntryNotFound);
}

TEST(CheckDir, OnlyDirectoriesThatOpen) {
    testutil::TempDir dir;
    EXPECT_EQ(CheckDir(dir.path().c_str()), dir.path().c_str());
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_EQ(CheckDir(dir.file("plain").c_str()), "");
    EXPECT_EQ(CheckDir(dir.file("missing").c_str()), "");
}

}  // namespace
