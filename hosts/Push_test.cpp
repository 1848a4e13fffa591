// Pushing file packages and running scripts: for real on the local host
// with the sample medium's images, and through a host whose commands are
// answered by the test, for the command forms of other hosts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/HostGroup.h"
#include "engine/InstalledLocations.h"
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
    };
    struct Answer {
        std::string output, errors;
    };
    ScriptedHost(const char* name, const char* type)
        : InstallHost(name, type, "root", "", TRUSTED_HOST) {}

    void runCommand(const Str& command, const Str& input, Str& output, Str& errors,
                    InputType type) override {
        calls.push_back({command.str(), input.str(), type});
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

TEST_F(PushTest, RemoteHostGetsTheEngineOnceAndItsRemovalIsPlanned) {
    hostGroups.ops = Array<InstallOperation>();
    hostGroups.entries = Array<HostGroupEntry>();
    hostGroups.entries.put(HostGroupEntry());
    ScriptedHost host("far-host.invalid", "linux-ix86");
    addConfig("TmpDir", "/var/tmp/qs");
    InstallOperation op = push("BIN", 1, "/opt/qs", "far-host.invalid");
    ASSERT_EQ(host.pushFilePack(op), 1) << log();
    ASSERT_EQ(host.pushFilePack(op), 1) << log();

    std::vector<ScriptedHost::Call> copies = host.callsWith("chmod +x");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].command,
              "cd /var/tmp/qs; umask 022; MDIR=\"bin/linux-ix86\" export MDIR; /bin/mkdir -p "
              "\"$MDIR\"; /bin/cat > bin/linux-ix86/fpack; chmod +x bin/linux-ix86/fpack");
    EXPECT_EQ(copies[0].input, dir.file("bundle") + "/bin/linux-ix86/fpack");
    EXPECT_EQ(copies[0].type, InstallHost::FILE_INPUT);
    // The medium is on the installer's host: the image is the input.
    std::vector<ScriptedHost::Call> unpacks = host.callsWith("-u -");
    ASSERT_EQ(unpacks.size(), 2u);
    EXPECT_EQ(unpacks[0].command.rfind("cd '/opt/qs';/var/tmp/qs/bin/linux-ix86/fpack -u -;", 0),
              0u)
        << unpacks[0].command;
    EXPECT_NE(unpacks[0].command.find(";sleep 2"), std::string::npos);
    EXPECT_EQ(unpacks[0].input, kMedium + "/FILE1.PKT");
    EXPECT_EQ(unpacks[0].type, InstallHost::FILE_INPUT);
    ASSERT_EQ(hostGroups.ops.length(), 1);
    EXPECT_EQ(hostGroups.ops[0].kind, RM_FILE);
    EXPECT_EQ(hostGroups.ops[0].host, "far-host.invalid");
    EXPECT_EQ(hostGroups.ops[0].list[0], "/var/tmp/qs/bin/linux-ix86/fpack");
    EXPECT_EQ(host.callsWith("PUSHED:").size(), 0u);  // the contents are the input
    EXPECT_EQ(host.callsWith(".installed/QRX_BIN").size(), 2u);
}

TEST_F(PushTest, EngineReportDecidesTheOutcome) {
    struct Case {
        const char* name;
        ScriptedHost::Answer unpack;
        int result;
        bool registered, reboot;
    } cases[] = {
        {"clean", {"", ""}, 1, true, false},
        {"fatal",
         {"", "messages:\nunpack: input error (err=5, blkno=3)\nFATAL.\n"},
         0,
         false,
         false},
        {"error log", {"", "see the last few lines of the error log (x)"}, 0, false, false},
        {"exit status", {"", "file package engine failed, exit status 127\n"}, 0, false, false},
        {"truncated", {"partial" + OUTPUT_TRUNCATED.str(), ""}, 0, false, false},
        // What the engine reports of a successful run is shown, no more.
        {"messages only", {"", "messages:\nbin: creating directory\n"}, 1, true, false},
        {"bootstrap", {"", "Hey Install: initialize 42,reboot\n"}, 1, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearInstalledLocations();
        ScriptedHost host("far-host.invalid", "linux-ix86");
        host.setEnginePresent();
        host.answers = {c.unpack};
        EXPECT_EQ(host.pushFilePack(push("BIN", 1, "/opt/qs", "far-host.invalid")), c.result);
        EXPECT_EQ(installedLocationCount(), c.registered ? 1 : 0);
        EXPECT_EQ(host.callsWith(".installed/QRX_BIN").size(), c.registered ? 1u : 0u);
        EXPECT_EQ(host.rebootNeeded(), c.reboot ? 1 : 0);
    }
    EXPECT_TRUE(logged("Bootstrap!42"));
    EXPECT_TRUE(logged("client will need to be rebooted"));
}

TEST_F(PushTest, WindowsHostUsesItsInstalledEngineAndTheDatabaseAccount) {
    ScriptedHost host("pc-host.invalid", "w32-ix86");
    argInfo.zapUser = "DOM\\admin";
    argInfo.zapPassword = "p$a\"s\\s";
    ASSERT_EQ(host.pushFilePack(push("ZPIDB", 3, "c:/qrx/db", "pc-host.invalid")), 1) << log();
    EXPECT_TRUE(host.callsWith("chmod").empty());
    std::vector<ScriptedHost::Call> unpacks = host.callsWith(" -u ");
    ASSERT_EQ(unpacks.size(), 1u);
    EXPECT_EQ(unpacks[0].command.rfind("ZapUser=\"DOM\\\\admin\";ZapPassword=\"p\\$a\\\"s\\\\s\";"
                                       "cd 'c:/qrx/db';fpack.exe -u -;sleep 2",
                                       0),
              0u)
        << unpacks[0].command;
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

TEST_F(PushTest, CommandSetIsCopiedIntoAFreshDirectoryAndRunThere) {
    InstallHost host(localName().chars(), "linux-ix86", "root", "", TRUSTED_HOST);
    dir.write("probe.sh", "#!/bin/sh\necho \"in $(pwd): $(cat)\"\n");
    ASSERT_EQ(chmod(dir.file("probe.sh").c_str(), 0755), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    Str out, err;
    int rc = host.runScriptOnHost("./probe.sh", "fed", out, err);
    ASSERT_EQ(chdir(cwd), 0);
    std::string target = "/tmp/cis." + std::to_string(getpid());
    EXPECT_EQ(rc, 1) << err;
    EXPECT_EQ(out, "in " + target + ": fed\n");
    // The source was read, never written over.
    EXPECT_EQ(testutil::readFile(dir.file("probe.sh")), "#!/bin/sh\necho \"in $(pwd): $(cat)\"\n");
    testutil::run({"rm", "-rf", target});
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
