// The command-line installer as a program: usage errors, the root check,
// the confirmation and the missing server name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

const std::string kProgram = QS_BUILD_DIR "/quillset_cli";

const std::string kUsage =
    "Usage: quillset_cli -c <cdrom-path> [<optional-flags>] [<optional-variables>]\n"
    " <optional-flags>:\n"
    "    -a <server-name>\n"
    "    -I you will be prompted for an installation password.  This password \n"
    "       would then need to be given when installing clients.\n"
    "    -i <install-index-file>\n"
    "    -P  you will be prompted for root's password\n"
    "    -z <variable-file>\n"
    "    -Z <variable-entry>\n"
    " <optional-variables>: take the form: <variable id from index file>=<value>\n"
    "    BIN=<binaries-directory>\n"
    "    LIB=<libraries-directory>\n"
    "    ZPIDB=<server-database-directory>\n"
    "    MAN=<man-page-directory>\n"
    "    APPD=<X11-app-defaults-directory>\n"
    "    CAT=<message-catalog-directory>\n"
    "    RN=<region-name>\n"
    " Exit status:\n"
    "    0    everything planned was done, or the answer was no and nothing failed\n"
    "    1    a host or an operation failed; the failure report names it\n"
    "    2    a usage or input error, or no answer to the prompt\n"
    "    255  not run by root\n"
    "\n";

class QuillsetCli : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "quillset_cli ends at once for a caller who is not root";
        chmod(dir.path().c_str(), 0777);  // the log of a run as another user
        medium = dir.file("medium");
        mkdir(medium.c_str(), 0755);
        std::ofstream(medium + "/QRX.IND") << "QRX:description:Test server\n"
                                              "QRX:id:BIN:Binaries:server::default=/usr/bin\n"
                                              "QRX:fp:BIN:generic::10:1\n";
    }

    testutil::RunResult quillset(std::vector<std::string> args, const std::string& input = "",
                                 std::vector<std::string> env = {}) {
        args.insert(args.begin(), kProgram);
        env.push_back("QUILLSET_DEBUG_LOG=" + log());
        return testutil::run(args, input, env);
    }
    std::string log() const { return dir.file("log"); }
    bool logged(const std::string& s) const {
        return testutil::readFile(log()).find(s) != std::string::npos;
    }

    testutil::TempDir dir;
    std::string medium;
};

TEST_F(QuillsetCli, UsageErrorsExitTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
        std::string logLine;
    } cases[] = {
        {{}, "Error: no cdrom path specified.\n" + kUsage, ""},
        {{"-a", "tiger"}, "Error: no cdrom path specified.\n" + kUsage, ""},
        {{"-x", "-c", "/"}, kUsage, "Unknown option was passed: x\n"},
        {{"-c"}, kUsage, "Unknown option was passed: c\n"},
        // The directory searched and what its index is there.
        {{"-c", "/nonexistent/medium"},
         "Error: no valid index file found in cdrom directory.\n"
         "Searched the directory /nonexistent/medium: QRX.IND: No such file or directory.\n" +
             kUsage,
         ""},
        {{"-c", dir.path()},
         "Error: no valid index file found in cdrom directory.\nSearched the directory " +
             dir.path() + ": QRX.IND: No such file or directory.\n" + kUsage,
         ""},
    };
    for (const Case& c : cases) {
        testutil::RunResult r = quillset(c.args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.err) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(logged(c.logLine)) << c.logLine;
    }
}

TEST_F(QuillsetCli, InvalidIndexOption) {
    testutil::RunResult r = quillset({"-c", medium, "-i", "NOPE:extra"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Error processing index file `NOPE' (extra).\n");
}

TEST_F(QuillsetCli, CallerWhoIsNotRoot) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups", kProgram};
    std::string env = "QUILLSET_DEBUG_LOG=" + log();
    testutil::RunResult refused = testutil::run(asNobody, "", {env, "IgnoreRoot="});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err,
              "Error: you must be root to run server install.\n"
              "Run it as root, or set the environment variable IgnoreRoot (to any text) to go "
              "on without root's rights.\n");
    testutil::RunResult ignored = testutil::run(asNobody, "", {env, "IgnoreRoot=1"});
    EXPECT_EQ(ignored.status, 2);
    EXPECT_EQ(ignored.err,
              "Error: you must be root to run server install.\n"
              "Going on without root's rights, since IgnoreRoot is set.\n"
              "Error: no cdrom path specified.\n" +
                  kUsage);
}

// Without a server nothing can be planned: whatever the answer, the input
// was wrong.
TEST_F(QuillsetCli, MissingServerNameAndAnswers) {
    struct Case {
        std::vector<std::string> args;
        std::string input;
        bool prompted;
        bool executed;
    } cases[] = {
        {{"-c", medium}, "n\n", true, false},      {{"-c", medium}, "N\n", true, false},
        {{"-c", medium}, "  \n x\n", true, false}, {{"-c", medium}, "\n y\n", true, true},
        {{"-c", medium}, "Y", true, true},         {{"-y", "-c", medium}, "", false, true},
    };
    for (const Case& c : cases) {
        std::string what = testing::PrintToString(c.args) + " " + c.input;
        testutil::RunResult r = quillset(c.args, c.input);
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out.find("Missing ZPI host argument.\n"), 0u) << what << r.out;
        EXPECT_EQ(r.out.find("Continue(y/n)? ") != std::string::npos, c.prompted) << what;
        EXPECT_TRUE(logged("Missing ZPI host argument.\n")) << what;
        EXPECT_EQ(logged("Entering ZPI install doit"), c.executed) << what;
        EXPECT_TRUE(logged("Entering goodbye")) << what;
        EXPECT_TRUE(logged("leaving main. real ms=")) << what;
    }
}

// A server that cannot be reached says why ahead of the remote-shell
// texts, over the secure shell and over the trusted-host shell alike.
TEST_F(QuillsetCli, UnresolvableServerIsNamedAsSuch) {
    const std::string why =
        "  The host name nonexistent.invalid does not resolve to an address (Name or service not "
        "known).\n";
    struct Case {
        std::vector<std::string> words;
        std::string shellText;
    } cases[] = {
        // ssh's own words once its connection could not be made.
        {{"@UseSSH@=1"}, "  Local command setup failed: `ssh: ssh: Could not resolve hostname"},
        {{}, "  Trusted host access from KRV server denied"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-y", "-c", medium, "-a", "nonexistent.invalid"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        testutil::RunResult r = quillset(args, "", {"IgnoreRoot=1"});
        const std::string what = testing::PrintToString(c.words) + "\n" + r.out;
        EXPECT_EQ(r.status, 1) << what;
        const std::string told = " Host nonexistent.invalid:\n" + why;
        size_t reason = r.out.find(told);
        size_t shell = r.out.find(c.shellText);
        EXPECT_NE(reason, std::string::npos) << what;
        EXPECT_NE(shell, std::string::npos) << what;
        EXPECT_LT(reason, shell) << what;
        EXPECT_EQ(r.out.find(why, reason + told.size()), std::string::npos)
            << "told twice: " << what;
    }
}

TEST_F(QuillsetCli, ServerNameFromTheConfiguration) {
    testutil::RunResult r =
        quillset({"-c", medium, "-Z", "generic ZPI_NAME\nno-such-host.invalid\n%%\n"}, "n\n");
    EXPECT_EQ(r.status, 1);  // a host that cannot be reached is a failure
    EXPECT_EQ(r.out.find("Missing ZPI host argument."), std::string::npos);
    EXPECT_TRUE(logged("Processing host no-such-host.invalid...\n"));
}

// Numeric settings in range take effect; any other value is logged and
// ignored.
TEST_F(QuillsetCli, LimitSettingsOutOfRangeAreLoggedAndIgnored) {
    struct Case {
        const char* setting;
        const char* value;
        const char* logs;
    } cases[] = {
        {"HostLimit", "3", "Hosts worked on at once: 3.\n"},
        {"HostLimit", "1", "Hosts worked on at once: 1.\n"},
        {"HostLimit", "0", "HostLimit 0 ignored: not 1 to 256.\n"},
        {"HostLimit", "257", "HostLimit 257 ignored: not 1 to 256.\n"},
        {"HostLimit", "4x", "HostLimit 4x ignored: not 1 to 256.\n"},
        {"HostLimit", "99999999999999999999",
         "HostLimit 99999999999999999999 ignored: not 1 to 256.\n"},
        {"CommandIdleLimit", "60", "Idle limit of a command: 60 seconds.\n"},
        {"CommandIdleLimit", "-5", "CommandIdleLimit -5 ignored: not 1 to 86400 seconds.\n"},
    };
    for (const Case& c : cases) {
        unlink(log().c_str());
        std::string entry = std::string("generic ") + c.setting + "\n" + c.value + "\n%%\n";
        quillset({"-c", medium, "-a", "no-such-host.invalid", "-Z", entry}, "n\n");
        EXPECT_TRUE(logged(c.logs)) << c.setting << "=" << c.value << "\n"
                                    << testutil::readFile(log());
    }
}

// A variable file that cannot be read would leave the run without any
// configuration; a line cut short is said, not swallowed.
TEST_F(QuillsetCli, VariableFilesThatCannotBeReadAndLinesCutShort) {
    const std::string missing = dir.file("no-such-file");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-c", medium, "-z", dir.path()},
         2,
         "Error: cannot read the variable file `" + dir.path() + "': it is a directory.\n"},
        {{"-c", medium, "-z", missing},
         2,
         "Error: cannot read the variable file `" + missing + "': No such file or directory.\n"},
        {{"-c", medium, "-Z", "generic Long\n" + std::string(2500, 'x') + "\n%%\n", "-a",
          "no-such-host.invalid"},
         1,
         "Warning: line 2 of `(Str)' is longer than 1999 characters; the rest of it is "
         "ignored.\n"},
    };
    for (const Case& c : cases) {
        testutil::RunResult r = quillset(c.args, "n\n");
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
}

// The debug log an administrator names belongs to someone: a wrong command
// line (or any run) adds to a file of root's own and leaves anything else
// there exactly as it was.
TEST_F(QuillsetCli, NamedDebugLogIsAppendedToOrLeftAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "another user's file needs root to make";
    std::string victim = dir.write("victim", "precious\n");
    std::string foreign = dir.write("foreign.log", "someone's log\n");
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    std::string symlinked = dir.file("sym.log");
    ASSERT_EQ(symlink(victim.c_str(), symlinked.c_str()), 0);
    for (const std::string& log : {foreign, symlinked}) {
        testutil::RunResult r = testutil::run({kProgram, "-x"}, "", {"QUILLSET_DEBUG_LOG=" + log});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.find("Warning: the debug log `" + log + "' is not used"), 0u) << r.err;
    }
    EXPECT_EQ(testutil::readFile(foreign), "someone's log\n");
    EXPECT_EQ(testutil::readFile(victim), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat(foreign.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    ASSERT_EQ(lstat(symlinked.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    std::string own = dir.write("own.log", "earlier run\n");
    testutil::RunResult r = testutil::run({kProgram, "-x"}, "", {"QUILLSET_DEBUG_LOG=" + own});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, kUsage);
    std::string text = testutil::readFile(own);
    EXPECT_EQ(text.rfind("earlier run\n", 0), 0u);
    EXPECT_NE(text.find("Unknown option was passed: x\n"), std::string::npos) << text;
}

}  // namespace
