// Pushing file packages and running scripts: for real on the local host
// with the sample medium's images, and through a host whose commands are
// answered by the test, for the command forms of other hosts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/HostGroup.h"
#include "engine/InstalledLocations.h"
#include "hosts/PosixCksum.h"
#include "hosts/PrivateDir.h"
#include "hosts/RemoteCommand.h"
#include "hosts/host_test_fixture.h"
#include "model/Cdrom.h"

namespace {

const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kFpack = QS_BUILD_DIR "/fpack/fpack";

// A host whose commands never run: each is recorded, and the answer is the
// next scripted one (empty output and errors when none is left).
class ScriptedHost : public InstallHost {
  public:
    struct Call {
        std::string command, input;
        InputType type;
        std::string secretLine;
    };
    struct Answer {
        std::string output, errors;
    };
    ScriptedHost(const char* name, const char* type, const char* user = "root",
                 const char* password = "", AccessMethod access = TRUSTED_HOST)
        : InstallHost(name, type, user, password, access) {}

    void runCommand(const Str& command, const Str& input, Str& output, Str& errors,
                    InputType type) override {
        runCommandWithSecret(command, "", input, output, errors, type);
    }
    void runCommandWithSecret(const Str& command, const Str& secretLine, const Str& input,
                              Str& output, Str& errors, InputType type) override {
        calls.push_back({command.str(), input.str(), type, secretLine.str()});
        Answer a;
        if (!answers.empty()) {
            a = answers.front();
            answers.erase(answers.begin());
        }
        // A file written by createFile reads back as sent.
        output = command.contains("rm -f ") ? input : Str(a.output);
        errors = a.errors;
    }
    // The calls whose command contains text.
    std::vector<Call> callsWith(const std::string& text) const {
        std::vector<Call> v;
        for (const Call& c : calls)
            if (c.command.find(text) != std::string::npos) v.push_back(c);
        return v;
    }

    std::vector<Call> calls;
    std::vector<Answer> answers;
};

class PushTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        startWithEmptyTypeTable();
        argInfo.probeFileName = "QRX_";
        argInfo.cdrom = Cdrom(localName(), kMedium.c_str());
        savedOps_ = hostGroups.ops;
        savedEntries_ = hostGroups.entries;
        clearInstalledLocations();
        // The engine comes from a bundle of the test's own.
        std::string bin = dir.file("bundle/bin/linux-ix86");
        ASSERT_EQ(testutil::run({"mkdir", "-p", bin}).status, 0);
        ASSERT_EQ(symlink(kFpack.c_str(), (bin + "/fpack").c_str()), 0);
        addConfig("InstallBundle", dir.file("bundle"));
    }
    void TearDown() override {
        clearInstalledLocations();
        hostGroups.ops = savedOps_;
        hostGroups.entries = savedEntries_;
        HostTest::TearDown();
    }
    static void addConfig(const std::string& key, const std::string& value) {
        argInfo.config.addData(("generic " + key + "\n" + value + "\n%%\n").c_str());
    }
    // A push of image n of the medium installing type id into location.
    static InstallOperation push(const char* id, int n, const std::string& location,
                                 const char* host) {
        InstallType t{Str(id)};
        t.entry().path = location.c_str();
        t.entry().enabled = 1;
        t.entry().validFor = BOTH;
        Str fields[kIndexFields] = {"QRX", "fp", id, "generic", "", "4", std::to_string(n)};
        InstallOperation op;
        op.kind = PUSH_FILEPACK;
        op.type = t;
        op.host = host;
        op.hostType = "linux-ix86";
        op.filePack = FilePack("", fields);
        op.fs.client = host;
        op.fs.clientPath = location.c_str();
        return op;
    }

  private:
    Array<InstallOperation> savedOps_;
    Array<HostGroupEntry> savedEntries_;
};

TEST_F(PushTest, LocalPushUnpacksTheImageInPlaceAndLeavesTheProbeFile) {
    if (geteuid() != 0) GTEST_SKIP() << "the sample's packages give their files to root";
    InstallHost host(localName().chars(), "linux-ix86", "root", "", TRUSTED_HOST);
    std::string lib = dir.file("lib");
    ASSERT_EQ(testutil::run({"mkdir", lib}).status, 0);
    ASSERT_EQ(host.pushFilePack(push("LIB", 2, lib, localName().chars())), 1) << log();

    EXPECT_EQ(testutil::readFile(lib + "/qslib.sh"),
              testutil::readFile(QS_SOURCE_DIR "/sample/payload/lib/qslib.sh"));
    EXPECT_EQ(testutil::readFile(lib + "/.installed/QRX_LIB"),
              "PUSHED:" + localName().str() + ":LIB\n");
    // The medium is on the target: the engine opens the image itself.
    EXPECT_TRUE(logged("optimized.  Remote media is same as push target."));
    EXPECT_TRUE(logged(dir.file("bundle") + "/bin/linux-ix86/fpack -u " + kMedium + "/FILE2.PKT"));
    EXPECT_TRUE(logged("using client bundle override of " + dir.file("bundle")));
    ASSERT_EQ(installedLocationCount(), 1);
    const InstalledAt& at = installedLocation(0);
    EXPECT_EQ(at.host, localName());
    EXPECT_EQ(at.paths, lib + " ");
    EXPECT_EQ(at.typeId, "LIB");
    EXPECT_EQ(at.hostType, "linux-ix86");
    EXPECT_EQ(at.description, kMedium + "/CFG/FILE2.CFG");
    EXPECT_EQ(at.note, "installed");
    EXPECT_EQ(report(), "");
    EXPECT_EQ(shown().back(), " Completed.\n\n");
}

TEST_F(PushTest, FailedEngineRunIsReportedAndNothingRegistered) {
    // A damaged image (cut short), and an engine that does not exist.
    std::string medium = dir.file("medium");
    ASSERT_EQ(testutil::run({"mkdir", medium}).status, 0);
    std::string image = testutil::readFile(kMedium + "/FILE2.PKT");
    dir.write("medium/FILE2.PKT", image.substr(0, image.size() / 2));
    struct Case {
        const char* name;
        std::string medium;
        bool noEngine;
    } cases[] = {{"damaged image", medium, false}, {"missing engine", kMedium, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hostFailures.clear();
        argInfo.cdrom = Cdrom(localName(), c.medium.c_str());
        if (c.noEngine) addConfig("fpengine", "no-such-engine");
        InstallHost host(localName().chars(), "linux-ix86", "root", "", TRUSTED_HOST);
        std::string lib = dir.file(std::string("lib-") + (c.noEngine ? "e" : "d"));
        ASSERT_EQ(testutil::run({"mkdir", lib}).status, 0);
        EXPECT_EQ(host.pushFilePack(push("LIB", 2, lib, localName().chars())), 0);
        EXPECT_EQ(testutil::readFile(lib + "/.installed/QRX_LIB"), "");
        EXPECT_EQ(installedLocationCount(), 0);
        EXPECT_EQ(shown().back(), " Completed (with errors).\n\n");
        std::string r = report();
        EXPECT_NE(r.find(" Host " + localName().str() + ":"), std::string::npos) << r;
        EXPECT_NE(r.find(" Completed (with errors)."), std::string::npos) << r;
        EXPECT_NE(r.find("  Standard Error: "), std::string::npos) << r;
    }
}

// The engine's confirmation that it read the whole block.
const std::string kRead = "fpack: block read to its trailer\n";

TEST_F(PushTest, RemoteHostGetsTheEngineOnceInAPrivateDirectoryRemovedAtTheEnd) {
    hostGroups.ops = Array<InstallOperation>();
    ScriptedHost host("far-host.invalid", "linux-ix86");
    addConfig("TmpDir", "/var/tmp/qs");
    const std::string copied =
        std::string(PRIVATE_DIR_MADE) + "\n" + posixCksumOfFile(kFpack.c_str()).str() + "\n";
    // Copy, unpack, probe file; unpack, probe file.
    host.answers = {{copied, ""}, {kRead, ""}, {"", ""}, {kRead, ""}};
    InstallOperation op = push("BIN", 1, "/opt/qs", "far-host.invalid");
    ASSERT_EQ(host.pushFilePack(op), 1) << log();
    ASSERT_EQ(host.pushFilePack(op), 1) << log();

    const std::string stage = host.getEngineDir().str();
    // A scripted host: the stage is the random private name under @TmpDir@.
    ASSERT_EQ(stage.rfind("/var/tmp/qs/quillset.", 0), 0u) << stage;
    std::vector<ScriptedHost::Call> copies = host.callsWith("chmod 700");
    ASSERT_EQ(copies.size(), 1u);
    const std::string engine = "'" + stage + "/fpack'";
    EXPECT_EQ(copies[0].command, makePrivateDirScript(stage.c_str()).str() + " && /bin/cat > " +
                                     engine + " && chmod 700 " + engine + " && cksum < " + engine);
    EXPECT_EQ(copies[0].input, dir.file("bundle") + "/bin/linux-ix86/fpack");
    EXPECT_EQ(copies[0].type, InstallHost::FILE_INPUT);
    // The medium is on the installer's host: the image is the input.
    std::vector<ScriptedHost::Call> unpacks = host.callsWith("-u -");
    ASSERT_EQ(unpacks.size(), 2u);
    EXPECT_EQ(unpacks[0].command.rfind("cd '/opt/qs';" + engine + " -u -;", 0), 0u)
        << unpacks[0].command;
    EXPECT_NE(unpacks[0].command.find(";sleep 2"), std::string::npos);
    EXPECT_EQ(unpacks[0].input, kMedium + "/FILE1.PKT");
    EXPECT_EQ(unpacks[0].type, InstallHost::FILE_INPUT);
    EXPECT_EQ(host.callsWith("PUSHED:").size(), 0u);  // the contents are the input
    EXPECT_EQ(host.callsWith(".installed/QRX_BIN").size(), 2u);
    // Nothing is left for a later operation; the end of the run removes it.
    EXPECT_EQ(hostGroups.ops.length(), 0);
    host.removeEngineDir();
    EXPECT_EQ(host.calls.back().command, "rm -rf '" + stage + "'");
    EXPECT_EQ(host.getEngineDir(), "");
    EXPECT_EQ(host.isEnginePresent(), 0);
}

// The engine is run only when the host made its directory and holds
// exactly the bundle's engine there.
TEST_F(PushTest, EngineCopyThatIsNotExactlyTheBundlesAbortsThePush) {
    const std::string made = std::string(PRIVATE_DIR_MADE) + "\n";
    struct Case {
        const char* name;
        std::string answer;
        bool removed;
    } cases[] = {
        {"directory refused", "", false},
        {"copy cut short", made + "1234 99\n", true},
        {"copy not written", made, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHost host("far-host.invalid", "linux-ix86");
        host.answers = {{c.answer, ""}};
        EXPECT_EQ(host.pushFilePack(push("BIN", 1, "/opt/qs", "far-host.invalid")), 0);
        EXPECT_TRUE(host.callsWith("-u -").empty());
        // Without its marker line the directory may still have been made
        // (the line lost with the connection): removed only when it is
        // private to the account. "/tmp/quillset." is only the prefix of
        // the run's private directory (12 random characters follow, made by
        // a mkdir that refuses an existing name, mode 0700, owner checked);
        // nothing is written under a fixed name.
        EXPECT_EQ(host.callsWith("rm -rf '/tmp/quillset.").size(), 1u);
        EXPECT_EQ(host.callsWith(") rm -rf '/tmp/quillset.").size(), c.removed ? 0u : 1u);
        EXPECT_EQ(host.getEngineDir(), "");
        EXPECT_EQ(host.isEnginePresent(), 0);
        EXPECT_NE(shown().back().find("something went wrong copying the distrubution binary"),
                  std::string::npos);
    }
}

TEST_F(PushTest, EngineReportDecidesTheOutcome) {
    struct Case {
        const char* name;
        ScriptedHost::Answer unpack;
        int result;
        bool registered, reboot;
    } cases[] = {
        {"clean", {kRead, ""}, 1, true, false},
        {"fatal",
         {"", "messages:\nunpack: input error (err=5, blkno=3)\nFATAL.\n"},
         0,
         false,
         false},
        {"error log", {kRead, "see the last few lines of the error log (x)"}, 0, false, false},
        {"exit status", {kRead, "file package engine failed, exit status 127\n"}, 0, false, false},
        {"truncated", {"partial" + OUTPUT_TRUNCATED.str(), ""}, 0, false, false},
        // What the engine reports of a successful run is shown, no more.
        {"messages only", {kRead, "messages:\nbin: creating directory\n"}, 1, true, false},
        {"bootstrap", {kRead, "Hey Install: initialize 42,reboot\n"}, 1, true, true},
        // Without the engine's word that it read the whole block there is
        // no installation: no engine at all, one that read nothing, a stream
        // cut short, a line that only looks like it.
        {"no engine", {"", "sh: 1: fpack.exe: not found\n"}, 0, false, false},
        {"no confirmation", {"", ""}, 0, false, false},
        {"no confirmation, bootstrap", {"", "Hey Install: initialize 7\n"}, 0, false, false},
        {"input cut short", {kRead, INPUT_CUT_SHORT}, 0, false, false},
        {"not on a line of its own", {"x" + kRead, ""}, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearInstalledLocations();
        hostFailures.clear();
        ScriptedHost host("far-host.invalid", "linux-ix86");
        host.setEnginePresent();
        host.answers = {c.unpack};
        EXPECT_EQ(host.pushFilePack(push("BIN", 1, "/opt/qs", "far-host.invalid")), c.result);
        EXPECT_EQ(installedLocationCount(), c.registered ? 1 : 0);
        EXPECT_EQ(host.callsWith(".installed/QRX_BIN").size(), c.registered ? 1u : 0u);
        EXPECT_EQ(host.rebootNeeded(), c.reboot ? 1 : 0);
        EXPECT_EQ(shown().back(), c.result ? " Completed.\n\n" : " Completed (with errors).\n\n");
        if (c.result) {
            // The confirmation itself is not shown.
            for (const std::string& line : shown()) EXPECT_EQ(line.find(kRead), std::string::npos);
        } else {
            EXPECT_NE(report().find(" Completed (with errors)."), std::string::npos) << report();
        }
    }
    EXPECT_TRUE(logged("Bootstrap!42"));
    EXPECT_TRUE(logged("client will need to be rebooted"));
    EXPECT_FALSE(logged("Bootstrap!7"));
}

// The database password reaches the shell on the host as the first line of
// the command's input, never as part of a command.
TEST_F(PushTest, WindowsHostUsesItsInstalledEngineAndTheDatabaseAccount) {
    struct Case {
        const char* user;
        const char* password;
        std::string wantUser, wantPassword;
    } cases[] = {
        {"DOM\\admin", "p$a\"s\\s'q", "'DOM\\admin'", "p$a\"s\\s'q"},
        {"UseDefaultAccount", "unused", "'Administrator'", "host-secret"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        ScriptedHost host("pc-host.invalid", "w32-ix86", "Administrator", "host-secret",
                          USER_PASSWORD);
        argInfo.zapUser = c.user;
        argInfo.zapPassword = c.password;
        host.answers = {{kRead, ""}};
        ASSERT_EQ(host.pushFilePack(push("ZPIDB", 3, "c:/qrx/db", "pc-host.invalid")), 1) << log();
        EXPECT_TRUE(host.callsWith("chmod").empty());
        std::vector<ScriptedHost::Call> unpacks = host.callsWith(" -u ");
        ASSERT_EQ(unpacks.size(), 1u);
        EXPECT_EQ(unpacks[0].command.rfind("ZapUser=" + c.wantUser +
                                               ";IFS= read -r ZapPassword;cd 'c:/qrx/db';fpack.exe "
                                               "-u -;sleep 2",
                                           0),
                  0u)
            << unpacks[0].command;
        EXPECT_EQ(unpacks[0].secretLine, c.wantPassword);
        EXPECT_EQ(unpacks[0].input, kMedium + "/FILE3.PKT");
        for (const ScriptedHost::Call& call : host.calls)
            EXPECT_EQ(call.command.find(c.wantPassword), std::string::npos) << call.command;
        EXPECT_FALSE(logged(c.wantPassword));
    }
}

TEST_F(PushTest, MissingBundleEngineAbortsThePush) {
    addConfig("InstallBundle", dir.file("nowhere"));
    ScriptedHost host("far-host.invalid", "linux-ix86");
    EXPECT_EQ(host.pushFilePack(push("BIN", 1, "/opt/qs", "far-host.invalid")), 0);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_NE(shown().back().find("something went wrong copying the distrubution binary\n (" +
                                  dir.file("nowhere") + "/bin/linux-ix86/fpack)"),
              std::string::npos);
    // A package without a distribution is no push at all.
    InstallOperation bogus;
    EXPECT_EQ(host.pushFilePack(bogus), 0);
    EXPECT_TRUE(logged("bogus media packet push!"));
}

TEST(NonCourierSpeak, KeepsOnlyWhatScriptsAndTheEngineSaid) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"messages:\n", ""},
        {"messages:\ntemp script: /tmp/a\ntemp script: /tmp/b\n", ""},
        {"messages:\ncan't create x\nFATAL.\n", "\ncan't create x\nFATAL.\n"},
        {"messages:\nbefore\nstarting script: /tmp/p\nscript stderr: [oops\nline2\n]\n"
         "script complete: status = 100\nafter\n",
         "\nbefore\noops\nline2\nafter\n"},
        // The script's text on the line after the bracket.
        {"starting script: s\nscript stderr: [\nwarn\n]\nscript complete: status = 0\n",
         "\nwarn\n"},
        {"a\nstarting script: s\nscript stderr: [x]\nscript complete: 0\nb\n"
         "starting script: t\nscript stderr: [y]\nscript complete: 0\n",
         "\na\nxb\ny"},
        // A report cut short keeps what is there.
        {"starting script: s\nscript stderr: [cut", "\ncut"},
    };
    for (const Case& c : cases) EXPECT_EQ(NonCourierSpeak(c.in), c.out) << c.in;
}

TEST_F(PushTest, ScriptsRunThroughTheShellAndReportErrorOutput) {
    InstallHost host(localName().chars(), "linux-ix86", "root", "", TRUSTED_HOST);
    addConfig("QsGood", "echo made");
    addConfig("QsBad", "echo half; echo broken >&2");
    Str good[kIndexFields] = {"QRX", "script", "ZPIDB", "QsGood", "generic"};
    Str bad[kIndexFields] = {"QRX", "script", "ZPIDB", "QsBad", "generic"};
    Str none[kIndexFields] = {"QRX", "script", "ZPIDB", "QsNone", "generic"};

    EXPECT_EQ(host.runScript(Script(good)), 1);
    EXPECT_EQ(shown().back(), "command output:\nmade\n\n");
    EXPECT_EQ(host.runScript(Script(bad)), 0);
    EXPECT_EQ(shown().back(), "command error output:\nbroken\n\n");
    EXPECT_EQ(host.runScript(Script(none)), 0);
    EXPECT_EQ(shown().back(), "Cannot find script `\" QsNone \"'\n");
    EXPECT_TRUE(logged("can't find script `QsNone'"));
}

// The files go into a directory made for the call under the host's
// temporary directory, and go away with it.
TEST_F(PushTest, CommandSetIsCopiedIntoAFreshDirectoryAndRunThere) {
    InstallHost host(localName().chars(), "linux-ix86", "root", "", TRUSTED_HOST);
    const std::string tmp = dir.file("host-tmp");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
    addConfig("TmpDir", tmp);
    dir.write("probe.sh", "#!/bin/sh\necho \"in $(pwd): $(cat)\"\n");
    ASSERT_EQ(chmod(dir.file("probe.sh").c_str(), 0755), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    Str out, err;
    int rc = host.runScriptOnHost("./probe.sh", "fed", out, err);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(rc, 1) << err;
    const std::string prefix = "in " + tmp + "/quillset.";
    EXPECT_EQ(out.str().rfind(prefix, 0), 0u) << out;
    EXPECT_EQ(out.str().substr(prefix.size() + 12), ": fed\n");
    EXPECT_EQ(testutil::run({"ls", "-A", tmp}).out, "");
    // The source was read, never written over.
    EXPECT_EQ(testutil::readFile(dir.file("probe.sh")), "#!/bin/sh\necho \"in $(pwd): $(cat)\"\n");

    // Under a temporary directory that another account could rearrange,
    // nothing is copied and nothing runs.
    ASSERT_EQ(chmod(tmp.c_str(), 0777), 0);
    rc = host.runScriptOnHost("./probe.sh", "fed", out, err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testutil::run({"ls", "-A", tmp}).out, "");
}

TEST_F(PushTest, RebootRunsTheHostsRebootCommand) {
    ScriptedHost host("far-host.invalid", "linux-ix86");
    host.reboot();
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].command.rfind("reboot -y -g 30 -m ", 0), 0u) << host.calls[0].command;
    EXPECT_EQ(shown().back(), "rebooting far-host.invalid\n");
    addConfig("RebootCommand", "");
    host.reboot();
    EXPECT_EQ(host.calls.back().command, "reboot");
    EXPECT_EQ(host.tarExtractCommand(), "/bin/dd obs=20b | /bin/tar -xbf 20 -");
}

}  // namespace
