#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/EngineLock.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/HostWorkers.h"
#include "engine/InstalledLocations.h"
#include "engine/StopRequest.h"
#include "engine/server_cli.h"
#include "hosts/HostMessages.h"
#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"

namespace {

const char* kIndex =
    "QRX:id:BIN:Binaries:server::\n"
    "QRX:id:LIB:Libraries:server::\n"
    "QRX:id:MAN:Manual pages:server::\n"
    "QRX:fp:BIN:generic::100:1\n"
    "QRX:fp:LIB:generic::50:2\n"
    "QRX:fp:MAN:generic::10:3\n"
    "QRX:script:BIN:post_bin:generic\n";

// What the fake hosts were asked to do, in order, as "host: what". Kept
// outside the hosts, which the group deletes at clean-up.
std::vector<std::string>& calls() {
    static std::vector<std::string> v;
    return v;
}

// A host that records its pushes, scripts and commands instead of running
// them; a failing one records a failure as a real push would.
class FakeHost : public InstallHost {
  public:
    FakeHost(const char* name, bool pushFails)
        : InstallHost(name, "linux-ix86", "root", "", DEFAULT_ACCESS), pushFails_(pushFails) {}
    int pushFilePack(const InstallOperation& op) override {
        note("push " + op.type.entry().id.str());
        if (!pushFails_) return 1;
        recordFailure(getName(), 136, {"/bundle/fpack"});
        return 0;
    }
    int runScript(const Script& script) override {
        note("script " + script.name().str());
        return 0;
    }
    void runCommand(const Str& command, const Str& input, Str& output, Str& errors,
                    InputType) override {
        note(command.str() + (input.empty() ? "" : " < " + input.str()));
        output = Str();
        errors = Str();
    }

  private:
    void note(const std::string& what) { calls().push_back(getName().str() + ": " + what); }
    bool pushFails_;
};

class ExecuteTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        InstallType::data = Array<InstallTypeData>();
        argInfo.index = OperationInfo(kIndex, "QRX");
        argInfo.serverName = "srv";
        argInfo.kind = 0;
        const char* paths[][2] = {
            {"BIN", "/opt/q/bin"}, {"LIB", "/opt/q/lib"}, {"MAN", "/opt/q/man"}};
        for (auto& p : paths) {
            type(p[0]).setPath(p[1]);
            type(p[0]).entry().validFor = BOTH;
        }
        hostGroups = HostGroup();
        resetMultiplexMode();
        clearInstalledLocations();
        calls().clear();
        // One host at a time, in list order, unless a test says otherwise.
        setHostLimit(1);
    }
    void TearDown() override {
        setHostLimit(8);
        CleanUp();
        hostGroups = HostGroup();
        resetMultiplexMode();
        clearInstalledLocations();
        HostTest::TearDown();
    }

    static InstallType type(const char* name) { return InstallType(InstallType::id(name)); }
    static InstallHost* add(const char* name, bool pushFails = false) {
        InstallHost* h = new FakeHost(name, pushFails);
        hostGroups.addHost(h);
        return h;
    }
    static InstallOperation pushOn(const char* host, const char* typeName) {
        FileSystemInfo fs;
        fs.server = fs.client = host;
        fs.serverPath = fs.clientPath = type(typeName).entry().path;
        fs.kbytesFree = 1000000;
        return opDoFilePack(type(typeName), fs, "linux-ix86", Str());
    }
    static void plan(const InstallOperation& op) { hostGroups.ops.put(op); }
    // Each registration as "host type note".
    static std::vector<std::string> registered() {
        std::vector<std::string> v;
        for (int i = 0; i < installedLocationCount(); ++i) {
            const InstalledAt& r = installedLocation(i);
            v.push_back(r.host.str() + " " + r.typeId.str() + " " + r.note.str());
        }
        return v;
    }
};

TEST_F(ExecuteTest, FailedPushLeavesTheHostAloneAndTheOthersGoOn) {
    add("srv");
    InstallHost* bad = add("cl1", true);
    add("cl2");
    plan(pushOn("cl1", "BIN"));
    plan(pushOn("srv", "BIN"));
    plan(opGetFrom(type("LIB"), "srv", "cl1", "linux-ix86"));
    plan(opExecScript(type("BIN")));
    plan(opAlreadyInstalled(type("MAN"), "", "", "linux-ix86"));
    hostGroups.ops[3].host = "cl1";
    hostGroups.doToDo();

    std::vector<std::string> want = {"cl1: push BIN", "srv: push BIN"};
    EXPECT_EQ(calls(), want);
    // What the failed host did not get is named in its report.
    EXPECT_TRUE(hostFailures.anyFailure());
    EXPECT_NE(hostFailures.reportText().index(
                  " Host cl1:\n"
                  "\n Fatal error: something went wrong copying the distrubution binary\n"
                  " (/bundle/fpack)\n it doesn't exist, or is not executable.\n"
                  " Aborting the distribution of this portion.\n\n\n"
                  "  Not done because of the failure above:\n"
                  "    cl1 will inherit the LIB from srv's installation.\n"
                  "    execute script `post_bin'\n"
                  "    cl1 already has the MAN installed."),
              -1)
        << hostFailures.reportText();
    // The unnamed operation skips only the failed host, not the ones after it.
    EXPECT_EQ(registered(), (std::vector<std::string>{"srv MAN found", "cl2 MAN found"}));
    EXPECT_EQ(bad->checkFailure(), 1);
    EXPECT_EQ(hostGroups.getHost("srv")->checkFailure(), 0);
    EXPECT_EQ(hostGroups.checkandresetFailure(), 1);
    EXPECT_EQ(hostGroups.getFailure(), 0);
    std::vector<std::string> lines = shown();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Executing queued operation(s)\n");
    EXPECT_EQ(lines[1], "BIN:generic::100:1 --> cl1\n ");
    EXPECT_TRUE(logged("\nExecuting to do list.\n"));
    EXPECT_TRUE(logged("Done executing to do list."));
}

TEST_F(ExecuteTest, ScriptsRunWhateverTheirResultAndRegistrationsCarryTheirNotes) {
    add("srv");
    plan(opExecScript(type("BIN")));
    plan(opGetFrom(type("LIB"), "src", "srv", "linux-ix86"));
    plan(opAlreadyInstalled(type("MAN"), "src", "srv", "linux-ix86"));
    plan(pushOn("srv", "BIN"));
    hostGroups.doToDo();
    EXPECT_EQ(calls(), (std::vector<std::string>{"srv: script post_bin", "srv: push BIN"}));
    ASSERT_EQ(installedLocationCount(), 2);
    const InstalledAt& lib = installedLocation(0);
    EXPECT_EQ(lib.host, "srv");
    EXPECT_EQ(lib.paths, "/opt/q/lib ");
    EXPECT_EQ(lib.typeId, "LIB");
    EXPECT_EQ(lib.hostType, "linux-ix86");
    EXPECT_EQ(lib.description, argInfo.cdrom.path() + "/CFG/FILE2.CFG");
    EXPECT_EQ(lib.note, "owner src");
    EXPECT_EQ(installedLocation(1).note, "fowner src");
    EXPECT_EQ(installedLocation(1).description, argInfo.cdrom.path() + "/CFG/FILE3.CFG");
    EXPECT_EQ(hostGroups.getFailure(), 0);
}

TEST_F(ExecuteTest, UnnamedOperationRunsOnEveryHostTheTypeIsValidFor) {
    struct Case {
        ValidFor validFor;
        std::vector<std::string> want;
    } cases[] = {
        {BOTH, {"srv BIN found", "cl1 BIN found", "cl2 BIN found"}},
        {SERVER, {"srv BIN found"}},
        {CLIENT, {"cl1 BIN found", "cl2 BIN found"}},
        {INVALID, {}},
    };
    for (const Case& c : cases) {
        CleanUp();
        clearInstalledLocations();
        dbFile.reopen(dir.file("log"), DebugLogMode::Fresh);
        // Clients added first: the server still leads the group.
        add("cl1");
        add("cl2");
        add("srv");
        type("BIN").entry().validFor = c.validFor;
        plan(opAlreadyInstalled(type("BIN"), "", "", "linux-ix86"));
        hostGroups.doToDo();
        EXPECT_EQ(registered(), c.want) << c.validFor;
        EXPECT_EQ(logged("Can't find host for op 0"), c.want.empty()) << c.validFor;
    }
}

TEST_F(ExecuteTest, OperationWithoutHostInTheGroupIsTraced) {
    add("cl1");
    plan(opAlreadyInstalled(type("BIN"), "", "gone", "linux-ix86"));
    type("LIB").entry().validFor = SERVER;
    plan(opAlreadyInstalled(type("LIB"), "", "", "linux-ix86"));
    hostGroups.doToDo();
    EXPECT_TRUE(logged("Can't find host for op 0\n"));
    EXPECT_TRUE(logged("Can't find host for op 1\n"));
    EXPECT_EQ(installedLocationCount(), 0);
    EXPECT_TRUE(calls().empty());
}

// A host whose push is under way when the user asks to stop.
class InterruptedHost : public FakeHost {
  public:
    explicit InterruptedHost(const char* name) : FakeHost(name, false) {}
    int pushFilePack(const InstallOperation& op) override {
        if (!asked_) requestStop();
        asked_ = true;
        return FakeHost::pushFilePack(op);
    }

  private:
    bool asked_ = false;
};

TEST_F(ExecuteTest, StopRequestEndsThePushUnderWayAndLeavesOutTheRest) {
    struct ClearStop {
        ~ClearStop() { clearStopRequest(); }
    } clear;
    hostGroups.addHost(new InterruptedHost("srv"));
    add("cl1");
    plan(opAlreadyInstalled(type("MAN"), "", "", "linux-ix86"));
    plan(pushOn("srv", "BIN"));
    plan(pushOn("cl1", "LIB"));
    plan(opExecScript(type("BIN")));
    hostGroups.doToDo();
    EXPECT_EQ(calls(), std::vector<std::string>{"srv: push BIN"});
    EXPECT_EQ(registered(), (std::vector<std::string>{"srv MAN found", "cl1 MAN found"}));
    EXPECT_EQ(hostGroups.getFailure(), 0);
    std::vector<std::string> lines = shown();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Install stopped: the remaining operations were not carried out.\n");
    EXPECT_TRUE(logged("Stop requested: to do list left at operation 2.\n"));
    EXPECT_TRUE(logged("Done executing to do list."));

    // The next run starts without the request.
    clearStopRequest();
    calls().clear();
    hostGroups.doToDo();
    EXPECT_EQ(calls().size(), 4u);
}

TEST_F(ExecuteTest, RemovalsWaitForCleanUpAndGoInOneCommandPerHost) {
    add("srv");
    add("cl1");
    hostGroups.putOp(opRmFile(type("BIN"), "/opt/q/bin/.probeBIN", "srv"), nullptr);
    hostGroups.putOp(opRmFile(type("LIB"), "/opt/q/lib/.probeLIB", "srv"), nullptr);
    hostGroups.putOp(opRmFile(type("BIN"), "/opt/q/bin/.probeBIN", "cl1"), nullptr);
    hostFailures.addFailure("srv", installMessage(95));
    hostGroups.doToDo();
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(logged("\ndoToDo: I'm going to rm, at cleanup time\n\tsrv:/opt/q/bin/.probeBIN\n"));

    CleanUp();
    std::vector<std::string> want = {"srv: rm -f '/opt/q/bin/.probeBIN' '/opt/q/lib/.probeLIB'",
                                     "cl1: rm -f '/opt/q/bin/.probeBIN'"};
    EXPECT_EQ(calls(), want);
    EXPECT_EQ(hostGroups.entries.length(), 0);
    EXPECT_EQ(hostGroups.ops.length(), 0);
    EXPECT_EQ(hostFailures.numFailures(), 0);
}

TEST_F(ExecuteTest, RebootsAreCollectedButNeverRunUnconfirmed) {
    add("srv");
    add("cl1")->scheduleReboot();
    add("cl2")->scheduleReboot();
    hostGroups.handleReboots();
    EXPECT_TRUE(logged("hosts needing a reboot: cl1 cl2\n"));
    EXPECT_TRUE(logged("reboot not confirmed, no host rebooted."));
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(shown().empty());
}

TEST_F(ExecuteTest, NoRebootNeededAsksNothing) {
    add("srv");
    hostGroups.handleReboots();
    EXPECT_FALSE(logged("reboot"));
}

// The execution phase with its standard output captured.
std::string runExecutionPhase() {
    std::ostringstream out;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    zpi_install_doit();
    std::cout.rdbuf(saved);
    return out.str();
}

TEST_F(ExecuteTest, FailedPushIsReportedAfterExecution) {
    argInfo.config.addData("generic SetAttrs\n%%\n");
    add("srv", true);
    plan(pushOn("srv", "BIN"));
    std::string out = runExecutionPhase();
    std::string report =
        "The following problems were encountered:\n Host srv:\n"
        "\n Fatal error: something went wrong copying the distrubution binary\n"
        " (/bundle/fpack)\n";
    EXPECT_EQ(out.find(report), 0u) << out;
    EXPECT_NE(log().find(report), std::string::npos);
    EXPECT_NE(
        out.find("\n srv: 0 pushed, 0 already installed, 0 inherited, 1 failed (host failed)\n"),
        std::string::npos)
        << out;
    EXPECT_EQ(hostGroups.getFailure(), 0);
    EXPECT_EQ(installedLocationCount(), 0);
}

TEST_F(ExecuteTest, SuccessfulRunPrintsNothingAndRecordsOnTheServer) {
    add("srv");
    plan(pushOn("srv", "BIN"));
    // Only the summary line of the host.
    EXPECT_EQ(runExecutionPhase(), " srv: 1 pushed, 0 already installed, 0 inherited, 0 failed\n");
    ASSERT_EQ(calls().size(), 2u);
    EXPECT_EQ(calls()[0], "srv: push BIN");
    EXPECT_EQ(calls()[1].find("srv: /bin/sh -x < BINP="), 0u) << calls()[1];
    EXPECT_TRUE(logged("Entering ZPI install doit"));
    EXPECT_TRUE(logged("Exiting ZPI install doit"));
}

TEST_F(ExecuteTest, WithoutServerHostNothingIsRecorded) {
    add("cl1");
    plan(opAlreadyInstalled(type("BIN"), "", "cl1", "linux-ix86"));
    EXPECT_EQ(runExecutionPhase(), " cl1: 0 pushed, 1 already installed, 0 inherited, 0 failed\n");
    EXPECT_EQ(registered(), std::vector<std::string>{"cl1 BIN found"});
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(logged("No install host for server srv: installation not recorded."));
    EXPECT_FALSE(logged("Storing installation attributes."));
}

// The directories the check phase made go again, children first, unless
// the to-do list was carried out; a directory the host's scout names
// outside the type's location is never touched.
TEST_F(ExecuteTest, DirectoriesTheCheckMadeGoUnlessTheRunWentOn) {
    for (bool carriedOut : {false, true}) {
        SCOPED_TRACE(carriedOut ? "carried out" : "declined");
        calls().clear();
        InstallHost* srv = add("srv");
        hostGroups.entries[0].processScoutInfo(*srv,
                                               "MADE:LIB:/opt/q/lib\n"
                                               "MADE:BIN:/opt/q/bin\n"
                                               "MADE:BIN:/opt/q\n"
                                               "MADE:LIB:/opt/q\n"
                                               "MADE:BIN:/etc\n"
                                               "MADE:BIN:/opt/q/bin/..\n"
                                               "MADE:BIN:/opt/q/../x\n"
                                               "MADE:BIN:opt/q\n"
                                               "MADE:NOPE:/opt\n");
        if (carriedOut) hostGroups.doToDo();
        CleanUp();
        std::vector<std::string> want;
        if (!carriedOut) want.push_back("srv: rmdir '/opt/q/lib' '/opt/q/bin' '/opt/q'");
        EXPECT_EQ(calls(), want);
        EXPECT_EQ(hostGroups.made.length(), 0);
    }
}

TEST_F(ExecuteTest, GoodbyeEmptiesTheRunForTheNextOne) {
    add("srv");
    hostGroups.putOp(opRmFile(type("BIN"), "/opt/q/bin/.probeBIN", "srv"), nullptr);
    RegisterInstalled("srv", "/opt/q/bin ", "BIN", "linux-ix86", "d", "installed");
    hostFailures.addFailure("srv", installMessage(95));
    zpi_goodbye();
    EXPECT_EQ(calls(), std::vector<std::string>{"srv: rm -f '/opt/q/bin/.probeBIN'"});
    EXPECT_EQ(hostGroups.entries.length(), 0);
    EXPECT_EQ(hostGroups.ops.length(), 0);
    EXPECT_EQ(hostFailures.numFailures(), 0);
    EXPECT_EQ(locationsText(), "{ 0 }");
}

TEST(ToDoSteps, MergedPushesStandAloneBetweenRunsOfOtherOperations) {
    // P: push, M: merged push, S: script, A: already installed.
    struct Case {
        std::string kinds;
        std::vector<int> ends;  // of the steps from the start on
    } cases[] = {
        {"", {}},
        {"PSA", {3}},
        {"M", {1}},
        {"MM", {1, 2}},
        {"PMS", {1, 2, 3}},
        {"MPPM", {1, 3, 4}},
        {"SPMAMM", {2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        Array<InstallOperation> ops;
        for (char k : c.kinds) {
            InstallOperation op;
            op.kind = k == 'S' ? EXEC_SCRIPT : k == 'A' ? ALREADY_INSTALLED : PUSH_FILEPACK;
            if (k == 'M') op.list.put("cl1");
            ops.put(op);
        }
        std::vector<int> ends;
        for (int from = 0; from < ops.length(); from = ends.back())
            ends.push_back(toDoStepEnd(ops, from));
        EXPECT_EQ(ends, c.ends) << c.kinds;
    }
}

// Pushes that meet: each waits, as a real push waits on its host, until
// `expected` pushes are under way at once.
struct Meeting {
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    int expected = 0;
    bool met = false;
};

class MeetingHost : public FakeHost {
  public:
    MeetingHost(const char* name, bool pushFails, Meeting& meeting)
        : FakeHost(name, pushFails), meeting_(meeting) {}
    int pushFilePack(const InstallOperation& op) override {
        status("waiting");
        {
            WhileWaiting wait;
            std::unique_lock<std::mutex> lock(meeting_.m);
            ++meeting_.arrived;
            meeting_.cv.notify_all();
            // Bounded: hosts that ran one by one would never meet.
            meeting_.met = meeting_.cv.wait_for(lock, std::chrono::seconds(30), [this] {
                return meeting_.arrived >= meeting_.expected;
            });
        }
        status("\n");
        return FakeHost::pushFilePack(op);
    }

  private:
    Meeting& meeting_;
};

// Hosts side by side: their pushes are under way at once, each host's
// operations keep their order, a failed push stops only its host, and the
// status lines come whole, tagged with their host.
TEST_F(ExecuteTest, HostsSideBySideKeepTheirOwnOrderAndFailAlone) {
    setHostLimit(8);
    Meeting meeting;
    meeting.expected = 3;
    for (const char* name : {"srv", "cl1", "cl2"})
        hostGroups.addHost(new MeetingHost(name, std::string(name) == "cl1", meeting));
    for (const char* host : {"srv", "cl1", "cl2"}) plan(pushOn(host, "BIN"));
    plan(opExecScript(type("BIN")));
    for (const char* host : {"srv", "cl1", "cl2"}) plan(pushOn(host, "LIB"));
    plan(opAlreadyInstalled(type("MAN"), "", "", "linux-ix86"));
    hostGroups.doToDo();
    EXPECT_TRUE(meeting.met) << "the first pushes of the three hosts were not under way at once";

    std::map<std::string, std::vector<std::string>> perHost;
    for (const std::string& c : calls()) perHost[c.substr(0, c.find(':'))].push_back(c);
    std::vector<std::string> srv = {"srv: push BIN", "srv: script post_bin", "srv: push LIB"};
    EXPECT_EQ(perHost["srv"], srv);
    EXPECT_EQ(perHost["cl1"], std::vector<std::string>{"cl1: push BIN"});
    EXPECT_EQ(perHost["cl2"],
              (std::vector<std::string>{"cl2: push BIN", "cl2: script post_bin", "cl2: push LIB"}));
    std::vector<std::string> reg = registered();
    EXPECT_EQ(std::multiset<std::string>(reg.begin(), reg.end()),
              (std::multiset<std::string>{"srv MAN found", "cl2 MAN found"}));
    EXPECT_EQ(hostGroups.getHost("cl1")->checkFailure(), 1);
    EXPECT_EQ(hostGroups.getHost("cl2")->checkFailure(), 0);
    Str report = hostFailures.reportText();
    EXPECT_NE(report.index(" Host cl1:\n"), -1) << report;
    EXPECT_NE(report.index("    execute script `post_bin'\n"), -1) << report;
    EXPECT_EQ(report.index(" Host srv:"), -1) << report;
    EXPECT_EQ(report.index(" Host cl2:"), -1) << report;

    // Every status line after the first is whole and names its host.
    std::vector<std::string> lines = shown();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Executing queued operation(s)\n");
    std::multiset<std::string> tagged(lines.begin() + 1, lines.end());
    std::multiset<std::string> want;
    for (const char* host : {"srv", "cl1", "cl2"}) {
        want.insert(std::string(host) + ": BIN:generic::100:1 --> " + host + "\n");
        want.insert(std::string(host) + ":  waiting\n");
    }
    for (const char* host : {"srv", "cl2"}) {
        want.insert(std::string(host) + ": LIB:generic::50:2 --> " + host + "\n");
        want.insert(std::string(host) + ":  waiting\n");
    }
    EXPECT_EQ(tagged, want);
    EXPECT_TRUE(logged("\nsrv: [BIN:generic::100:1 --> srv\nsrv:  ]\n"));
    EXPECT_TRUE(logged("Done executing to do list."));
}

}  // namespace
