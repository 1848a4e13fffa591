#include "engine/HostGroup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"

namespace {

// BIN is one package for all, LIB one per host type, MAN one per machine,
// ETC has no package at all.
const char* kIndex =
    "QRX:id:BIN:Binaries:server::\n"
    "QRX:id:LIB:Libraries:server::\n"
    "QRX:id:MAN:Manual pages:server::\n"
    "QRX:id:ETC:Settings:server::\n"
    "QRX:fp:BIN:generic::100:1\n"
    "QRX:fp:LIB:linux-ix86::50:2\n"
    "QRX:fp:LIB:hpux::50:3\n"
    "QRX:fp:LIB:solaris2::50:4\n"
    "QRX:fp:MAN:unique::10:5\n";

class PlanTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        savedTypes_ = InstallType::data;
        InstallType::data = Array<InstallTypeData>();
        argInfo.index = OperationInfo(kIndex, "QRX");
        argInfo.serverName = "srv";
        argInfo.kind = 0;
        const char* paths[][2] = {
            {"BIN", "/opt/q/bin"}, {"LIB", "/opt/q/lib"}, {"MAN", "/opt/q/man"}, {"ETC", "/etc/q"}};
        for (auto& p : paths) type(p[0]).setPath(p[1]);
        hostGroups = HostGroup();
        resetMultiplexMode();
    }
    void TearDown() override {
        if (hostGroups.entries.length()) {
            Array<InstallHost*>& hosts = hostGroups.entries[0].hosts;
            while (hosts.length()) delete hosts.pop();
        }
        hostGroups = HostGroup();
        resetMultiplexMode();
        InstallType::data = savedTypes_;
        HostTest::TearDown();
    }

    static InstallType type(const char* name) { return InstallType(InstallType::id(name)); }
    static InstallHost* add(const char* name, const char* hostType) {
        InstallHost* h = new InstallHost(name, hostType, "root", "", DEFAULT_ACCESS);
        hostGroups.addHost(h);
        return h;
    }
    static void scout(InstallHost* h, const char* output) {
        hostGroups.entries[0].processScoutInfo(*h, output);
    }
    static FileSystemInfo fsOn(const char* host, const char* path, std::int64_t freeKB) {
        FileSystemInfo fs;
        fs.server = fs.client = host;
        fs.serverPath = fs.clientPath = path;
        fs.serverMountedOn = fs.mountedOn = "/opt";
        fs.kbytesFree = freeKB;
        return fs;
    }
    static std::vector<int> kinds() {
        std::vector<int> v;
        for (int i = 0; i < hostGroups.ops.length(); ++i) v.push_back(hostGroups.ops[i].kind);
        return v;
    }
    static std::string toDo() {
        std::ostringstream out;
        hostGroups.tellToDo(out);
        return out.str();
    }

  private:
    Array<InstallTypeData> savedTypes_;
};

TEST_F(PlanTest, HostsGroupedByTypeWithTheServerFirst) {
    add("a", "hpux");
    add("b", "linux-ix86");
    add("c", "hpux");
    add("srv", "hpux");
    ASSERT_EQ(hostGroups.entries.length(), 3);
    EXPECT_EQ(hostGroups.entries[0].key, "independent");
    const char* expected[][5] = {{"independent", "srv", "a", "b", "c"},
                                 {"hpux", "srv", "a", "c", nullptr},
                                 {"linux-ix86", "b", nullptr, nullptr, nullptr}};
    for (int j = 0; j < 3; ++j) {
        const HostGroupEntry& e = hostGroups.entries[j];
        EXPECT_EQ(e.key, expected[j][0]);
        int n = 0;
        while (n < 4 && expected[j][n + 1]) ++n;
        ASSERT_EQ(e.hosts.length(), n) << e.key;
        for (int i = 0; i < n; ++i) EXPECT_EQ(e.hosts[i]->getName(), expected[j][i + 1]);
    }
    hostGroups.addHost(nullptr);
    EXPECT_EQ(hostGroups.entries[0].hosts.length(), 4);
    EXPECT_EQ(hostGroups.hostArchitecture("b"), "linux-ix86");
    EXPECT_EQ(hostGroups.hostArchitecture("nobody"), "");
    EXPECT_EQ(hostGroups.getHost("nobody"), nullptr);
    EXPECT_EQ(hostGroups.haveW32(), 0);
    add("pc", "w32-ix86");
    EXPECT_EQ(hostGroups.haveW32(), 1);
    EXPECT_EQ(HostGroupEntry().key, "BOGUS HOST");
}

TEST_F(PlanTest, ScoutStatusesGiveStatesAndOperations) {
    struct Case {
        const char* output;
        const char* typeName;
        FSState state;
        std::vector<int> kinds;
        const char* fromHost;  // of the first operation
        const char* trace;
    } cases[] = {
        {"INSTALLED:BIN\n", "BIN", FS_INSTALLED, {ALREADY_INSTALLED}, "", "line: INSTALLED:BIN"},
        {"PUSHED:old:BIN\n",
         "BIN",
         FS_INSTALLED,
         {ALREADY_INSTALLED},
         "old",
         "status=PUSHED getfrom=old rest=BIN"},
        {"READONLY:BIN\n", "BIN", FS_READONLY, {}, "", "status=READONLY"},
        {"SOMETHING:BIN\n", "BIN", FS_UNKNOWN, {}, "", "line: SOMETHING:BIN"},
        {"INSTALLED:NOPE\n", "BIN", FS_UNKNOWN, {}, "", "Bad install type NOPE"},
        {"INSTALLED:BIN", "BIN", FS_UNKNOWN, {}, "", "processScoutInfo done"},
    };
    for (const Case& c : cases) {
        // Each case from the state the test started in.
        TearDown();
        SetUp();
        InstallHost* srv = add("srv", "linux-ix86");
        scout(srv, c.output);
        EXPECT_EQ(srv->getState(type(c.typeName)), c.state) << c.output;
        EXPECT_EQ(kinds(), c.kinds) << c.output;
        if (!c.kinds.empty()) {
            EXPECT_EQ(hostGroups.ops[0].fromHost, c.fromHost);
            EXPECT_EQ(hostGroups.ops[0].host, "srv");
            EXPECT_EQ(hostGroups.entries[0].opIndexes.length(), 1);
        }
        EXPECT_TRUE(logged(c.trace)) << c.output;
        EXPECT_EQ(hostFailures.numFailures(), 0) << c.output;
    }
}

TEST_F(PlanTest, CreateFailuresOfOneHostShareOneMessage) {
    InstallHost* srv = add("srv", "linux-ix86");
    scout(srv, "CREATE_FAILURE:BIN\nCREATE_FAILURE:LIB\nCREATE_FAILURE:BIN\n");
    EXPECT_EQ(srv->getState(type("BIN")), FS_FAILED);
    EXPECT_EQ(srv->getState(type("LIB")), FS_FAILED);
    EXPECT_EQ(hostFailures.numFailures(), 1);
    EXPECT_EQ(report(),
              "The following problems were encountered:"
              " Host srv:"
              "  The following directories do not exist:\n"
              "   (select ``create if missing'' option to override)\n"
              "    /opt/q/bin\n"
              "    /opt/q/lib");
    EXPECT_TRUE(logged("path added to existing messsage."));
    EXPECT_TRUE(logged("/opt/q/bin already on failure list."));
    EXPECT_EQ(kinds(), std::vector<int>{});
}

TEST_F(PlanTest, GetFromItselfReadsTheDiskProbeLine) {
    InstallHost* srv = add("srv", "linux-ix86");
    scout(srv, "GETFROM:srv:BIN\nDF_DATA#/opt/q/bin#/dev/sda1#5000:1k#/opt\nINSTALLED:LIB\n");
    EXPECT_EQ(srv->getState(type("BIN")), FS_PUSH);
    EXPECT_EQ(kinds(), (std::vector<int>{PUSH_FILEPACK, RM_FILE, ALREADY_INSTALLED}));
    const InstallOperation& push = hostGroups.ops[0];
    EXPECT_EQ(push.host, "srv");
    EXPECT_EQ(push.fs.kbytesFree, 5000);
    EXPECT_EQ(push.fs.clientPath, "/opt/q/bin");
    EXPECT_EQ(push.filePack.fileNumber(), 1);
    EXPECT_EQ(hostGroups.ops[1].list[0], srv->probeFileWithPath(type("BIN")));
    EXPECT_FALSE(logged("line: DF_DATA"));
    EXPECT_EQ(hostFailures.numFailures(), 0);
}

TEST_F(PlanTest, GetFromItselfWithoutDiskProbeFails) {
    InstallHost* srv = add("srv", "linux-ix86");
    scout(srv, "GETFROM:srv:BIN\n");
    EXPECT_EQ(srv->getState(type("BIN")), FS_FAILED);
    EXPECT_EQ(kinds(), std::vector<int>{RM_FILE});
    EXPECT_NE(report().find("  The filesystem behind `/opt/q/bin' could not be determined, or is "
                            "not valid."),
              std::string::npos);
}

TEST_F(PlanTest, GetFromWithEmptyHostNamesAnUnknownHost) {
    InstallHost* srv = add("srv", "linux-ix86");
    scout(srv, "GETFROM::BIN\n");
    EXPECT_EQ(srv->getState(type("BIN")), FS_FAILED);
    EXPECT_NE(report().find("  The BIN can not be shared from  because the host is unknown."),
              std::string::npos);
    EXPECT_TRUE(logged("don't know about host: \n"));
}

TEST_F(PlanTest, GetFromAcrossArchitectures) {
    struct Case {
        const char* typeName;
        const char* target;  // host taking the type from srv
        FSState state;
        const char* failure;
    } cases[] = {
        {"BIN", "hp", FS_GETFROM, nullptr},
        {"LIB", "lx", FS_GETFROM, nullptr},
        {"LIB", "hp", FS_FAILED,
         "  The LIB can not be shared from srv because their architectures differ."},
        {"MAN", "lx", FS_FAILED,
         "  The MAN can not be shared from srv because each host must have it's own unique copy."},
        {"ETC", "lx", FS_FAILED,
         "  The ETC can not be shared from srv because the description for this operation could "
         "not be found."},
    };
    for (const Case& c : cases) {
        // Each case from the state the test started in.
        TearDown();
        SetUp();
        add("srv", "linux-ix86");
        InstallHost* hp = add("hp", "hpux");
        InstallHost* lx = add("lx", "linux-ix86");
        InstallHost* target = std::string(c.target) == "hp" ? hp : lx;
        hostGroups.addGetFrom("srv", *target, type(c.typeName));
        EXPECT_EQ(target->getState(type(c.typeName)), c.state) << c.typeName << " " << c.target;
        if (c.failure) {
            EXPECT_NE(report().find(c.failure), std::string::npos) << report();
            EXPECT_EQ(kinds(), std::vector<int>{});
        } else {
            ASSERT_EQ(kinds(), std::vector<int>{GET_FROM});
            EXPECT_EQ(hostGroups.ops[0].fromHost, "srv");
            EXPECT_EQ(hostGroups.ops[0].host, c.target);
        }
    }
}

TEST_F(PlanTest, ArchitectureSpecificGetFromIsFiledInItsTypeGroup) {
    add("srv", "linux-ix86");
    add("hp", "hpux");
    InstallHost* lx = add("lx", "linux-ix86");
    hostGroups.addGetFrom("srv", *lx, type("LIB"));
    EXPECT_EQ(hostGroups.entries[0].opIndexes.length(), 0);
    ASSERT_EQ(hostGroups.entries[1].key, "linux-ix86");
    EXPECT_EQ(hostGroups.entries[1].opIndexes.length(), 1);
    EXPECT_EQ(hostGroups.ops[0].hostType, "linux-ix86");
}

TEST_F(PlanTest, MultiplexMergesPushesOfOnePackageToOnePath) {
    struct Case {
        const char* setting;  // null: no "Multiplex" entry
        std::vector<int> kinds;
    } cases[] = {
        {nullptr, {PUSH_FILEPACK, RM_FILE, PUSH_FILEPACK, RM_FILE}},
        {"no", {PUSH_FILEPACK, RM_FILE, PUSH_FILEPACK, RM_FILE}},
        {"No", {PUSH_FILEPACK, RM_FILE, PUSH_FILEPACK, RM_FILE}},
        {"yes", {PUSH_FILEPACK, RM_FILE, RM_FILE}},
    };
    for (const Case& c : cases) {
        // Each case from the state the test started in.
        TearDown();
        SetUp();
        if (c.setting) argInfo.config.define("generic", "Multiplex", c.setting);
        InstallHost* a = add("srv", "linux-ix86");
        InstallHost* b = add("b", "linux-ix86");
        scout(a, "GETFROM:srv:BIN\nDF_DATA#/opt/q/bin#/dev/sda1#5000:1k#/opt\n");
        scout(b, "GETFROM:b:BIN\nDF_DATA#/opt/q/bin#/dev/sdb1#5000:1k#/opt\n");
        EXPECT_EQ(kinds(), c.kinds) << (c.setting ? c.setting : "unset");
        if (c.kinds.size() == 3) {
            ASSERT_EQ(hostGroups.ops[0].list.length(), 1);
            EXPECT_EQ(hostGroups.ops[0].list[0], "b");
            EXPECT_TRUE(logged("piggybacked push to b onto push to srv"));
        }
    }
}

TEST_F(PlanTest, RemovalsOfOneHostAreMerged) {
    add("srv", "linux-ix86");
    hostGroups.putOp(opRmFile(type("BIN"), "/a", "srv"), nullptr);
    hostGroups.putOp(opRmFile(type("LIB"), "/b", "srv"), nullptr);
    hostGroups.putOp(opRmFile(type("LIB"), "/c", "other"), nullptr);
    ASSERT_EQ(kinds(), (std::vector<int>{RM_FILE, RM_FILE}));
    ASSERT_EQ(hostGroups.ops[0].list.length(), 2);
    EXPECT_EQ(hostGroups.ops[0].list[1], "/b");
}

// Free space and package sizes beyond 32 bits, and crafted sizes at the
// limits, compare as the numbers they are.
TEST_F(PlanTest, DiskSpaceBeyondThirtyTwoBits) {
    add("srv", "linux-ix86");
    FileSystemInfo fs = fsOn("srv", "/opt/q", 3LL << 30);  // 3 TiB
    EXPECT_EQ(hostGroups.isEnoughDisk(fs, 100), 1);
    EXPECT_EQ(hostGroups.isEnoughDisk(fs, (3LL << 30) + 1), 0);
    InstallOperation huge = opDoFilePack(type("BIN"), fs, "linux-ix86", "");
    ASSERT_EQ(huge.kind, PUSH_FILEPACK);
    Str fields[kIndexFields] = {"QRX", "fp", "BIN", "generic", "", "9223372036854775807", "1"};
    huge.filePack = FilePack("", fields);
    EXPECT_EQ(huge.filePack.sizeKB(), INT64_MAX);
    hostGroups.putOp(huge, nullptr);
    hostGroups.putOp(huge, nullptr);
    EXPECT_EQ(hostGroups.isEnoughDisk(fs, 1), 0);
    FileSystemInfo lowest = fs;
    lowest.kbytesFree = INT64_MIN;
    EXPECT_EQ(hostGroups.isEnoughDisk(lowest, INT64_MIN), 1);
}

TEST_F(PlanTest, DiskSpaceOfEarlierPushesIsSubtracted) {
    add("srv", "linux-ix86");
    FileSystemInfo fs = fsOn("srv", "/opt/q", 120);
    EXPECT_EQ(hostGroups.isEnoughDisk(fs, 120), 1);
    EXPECT_EQ(hostGroups.isEnoughDisk(fs, 121), 0);
    InstallOperation first = opDoFilePack(type("BIN"), fs, "linux-ix86", "");
    ASSERT_EQ(first.kind, PUSH_FILEPACK);
    hostGroups.putOp(first, nullptr);
    EXPECT_EQ(hostGroups.isEnoughDisk(fs, 20), 1);
    EXPECT_EQ(hostGroups.isEnoughDisk(fs, 21), 0);
    EXPECT_TRUE(logged("isEnough needed=21 free=20"));
    FileSystemInfo elsewhere = fs;
    elsewhere.serverMountedOn = "/var";
    EXPECT_EQ(hostGroups.isEnoughDisk(elsewhere, 120), 1);
    FileSystemInfo unknown = fsOn("srv", "/opt/q", -1);
    unknown.serverMountedOn = "/x";
    EXPECT_EQ(hostGroups.isEnoughDisk(unknown, 1), 0);

    // "IgnoreFree" is "NO" in the built-in configuration: too little room fails.
    InstallOperation second = opDoFilePack(type("LIB"), fs, "linux-ix86", "");
    EXPECT_EQ(second.kind, OP_INVALID);
    EXPECT_NE(report().find("  There is not enough disk space for the LIB portion on srv:/opt/q."),
              std::string::npos);
    hostFailures.clear();
    argInfo.config.define("generic", "IgnoreFree", "yes");
    InstallOperation anyway = opDoFilePack(type("LIB"), fs, "linux-ix86", "");
    EXPECT_EQ(anyway.kind, PUSH_FILEPACK);
    EXPECT_NE(report().find("  The transfer will be attempted anyway, but there is is not enough "
                            "disk space for the LIB portion on srv:/opt/q."),
              std::string::npos);
}

TEST_F(PlanTest, PushWithoutPackageFails) {
    add("srv", "linux-ix86");
    InstallOperation op = opDoFilePack(type("ETC"), fsOn("srv", "/etc/q", 999), "linux-ix86", "");
    EXPECT_EQ(op.kind, OP_INVALID);
    EXPECT_NE(report().find("  Could not find a valid ETC media packet"), std::string::npos);
}

TEST_F(PlanTest, ArchitectureSpecificPushWithoutTypeGroupIsNotFiled) {
    add("srv", "linux-ix86");
    InstallOperation op = opDoFilePack(type("LIB"), fsOn("srv", "/opt/q/lib", 999), "solaris2", "");
    ASSERT_EQ(op.kind, PUSH_FILEPACK);
    hostGroups.putOp(op, nullptr);
    EXPECT_EQ(kinds(), std::vector<int>{});
    EXPECT_FALSE(logged("Trying to putOp a bogus op!!!"));
    hostGroups.putOp(InstallOperation(), nullptr);
    EXPECT_TRUE(logged("Trying to putOp a bogus op!!!"));
}

TEST_F(PlanTest, ToDoListPrintedByGroup) {
    add("srv", "linux-ix86");
    InstallHost* hp = add("hp", "hpux");
    hostGroups.putOp(opDoFilePack(type("BIN"), fsOn("srv", "/opt/q/bin", 999), "linux-ix86", ""),
                     nullptr);
    hostGroups.putOp(opAlreadyInstalled(type("MAN"), "", "srv", "linux-ix86"), nullptr);
    hostGroups.addGetFrom("srv", *hp, type("BIN"));
    hostGroups.putOp(opAlreadyInstalled(type("LIB"), "old", "srv", "linux-ix86"), nullptr);
    EXPECT_EQ(toDo(),
              "\nUnless you cancel, the following operations will be executed:\n"
              "  For the machines in the independent class:\n"
              "    hosts: srv, hp\n"
              "   need to copy the BIN (generic) to:\n"
              "         srv:/opt/q/bin\n"
              "   srv already has the MAN installed.\n"
              "   hp will inherit the BIN from srv's install.\n"
              "  For the machines in the linux-ix86 class:\n"
              "    hosts: srv\n"
              "   srv already has the LIB installed (from old).\n"
              "  For the machines in the hpux class:\n"
              "    hosts: hp\n"
              "       nothing to do for this portion.\n");
    argInfo.kind = 1;
    EXPECT_EQ(toDo(),
              "\nUnless you cancel, the following operations will be executed:\n"
              "   need to copy the BIN (generic) to:\n"
              "         srv:/opt/q/bin\n"
              "   srv already has the MAN installed.\n"
              "   hp will inherit the BIN from srv's install.\n"
              "   srv already has the LIB installed (from old).\n");
    Message* m = hostGroups.toDoMessage();
    EXPECT_EQ(m->bound_msg(),
              "\nUnless you cancel, the following operations will be executed:"
              "    need to copy the machine independent generic to\n"
              "         srv:/opt/q/bin"
              "    srv already has the MAN installed."
              "    hp will inherit the BIN from srv's installation."
              "    srv already has the LIB installed (from old).");
    delete m;
}

TEST_F(PlanTest, MergedPushListsItsFurtherHosts) {
    argInfo.config.define("generic", "Multiplex", "yes");
    add("srv", "linux-ix86");
    add("b", "linux-ix86");
    hostGroups.putOp(opDoFilePack(type("BIN"), fsOn("srv", "/opt/q/bin", 999), "linux-ix86", ""),
                     nullptr);
    hostGroups.putOp(opDoFilePack(type("BIN"), fsOn("b", "/opt/q/bin", 999), "linux-ix86", ""),
                     nullptr);
    std::ostringstream out;
    hostGroups.ops[0].tellOp(out, 0);
    EXPECT_EQ(out.str(),
              "   need to copy the BIN (generic) to:\n"
              "         srv:/opt/q/bin\n"
              "         1:b\n");
}

TEST_F(PlanTest, EmptyToDoMessage) {
    add("srv", "linux-ix86");
    hostGroups.putOp(opRmFile(type("BIN"), "/a", "srv"), nullptr);
    Message* m = hostGroups.toDoMessage();
    EXPECT_EQ(m->bound_msg(),
              "\nThere are no file operations to execute.  To proceed with installation \n"
              "object registration, select continue.");
    delete m;
}

TEST_F(PlanTest, NetWareSiteWithoutClientsGetsNoPush) {
    InstallHost* nw = add("nw1", "ipx");
    nw->pcInstall() = 1;
    Array<Str> paths;
    for (int i = 0; i < InstallType::data.length(); ++i) paths.put(Str());
    pcFigureOutWhatToDo(paths, hostGroups.entries, 0);
    EXPECT_EQ(kinds(), std::vector<int>{});
    // No site directory: the look-up fails and the host is reported unreachable.
    EXPECT_NE(report().find("  Can not find/talk to managed node nw1"), std::string::npos);
    EXPECT_TRUE(logged("FAILURE: Looking for/talking to NWMS"));
}

TEST_F(PlanTest, ReadOnlyLocationsResolvedByTheirProbeFile) {
    // The local host's files are read directly, so the probe files can be
    // laid out in a temporary directory.
    struct Case {
        const char* probe;  // contents of BIN's probe file; null: none
        FSState state;
        const char* failure;
    } cases[] = {
        {"QRX:src\nmore\n", FS_GETFROM, nullptr},
        {"QRX:elsewhere\n", FS_FAILED,
         "  The BIN can not be shared from elsewhere because the host is unknown."},
        {"no colon here\n", FS_FAILED, nullptr},
        {nullptr, FS_FAILED, nullptr},
        // A claim of this very host (a run that never pushed) is no
        // installation: the host never inherits the type from itself.
        {"GETFROM:@self\n", FS_FAILED, nullptr},
    };
    for (const Case& c : cases) {
        // Each case from the state the test started in.
        TearDown();
        SetUp();
        testutil::TempDir location;
        type("BIN").setPath(location.path().c_str());
        add("src", "linux-ix86");
        InstallHost* here = add(localName().chars(), "linux-ix86");
        here->setState(type("BIN"), FS_READONLY);
        if (c.probe) {
            std::string probe = c.probe;
            if (probe.find("@self") != std::string::npos)
                probe.replace(probe.find("@self"), 5, localName().str());
            location.write((here->probeFile() + "BIN").chars(), probe);
        }
        hostGroups.entries[0].checkStates(type("BIN"));
        EXPECT_EQ(here->getState(type("BIN")), c.state) << (c.probe ? c.probe : "none");
        std::string readOnly = "  The path `" + location.path() + "' is read only.";
        std::string expected = c.failure ? c.failure : readOnly;
        if (c.state == FS_GETFROM) {
            EXPECT_EQ(kinds(), std::vector<int>{GET_FROM});
            EXPECT_EQ(hostGroups.ops[0].fromHost, "src");
        } else {
            EXPECT_NE(report().find(expected), std::string::npos) << report();
        }
        EXPECT_TRUE(logged("check working on type InstallType(BIN) arch independent"));
    }
}

TEST_F(PlanTest, SecondPassSkipsTypesWithoutPath) {
    add("srv", "linux-ix86");
    type("ETC").setPath("");
    hostGroups.entries[0].checkStates(type("ETC"));
    EXPECT_TRUE(logged("check skipping type InstallType(ETC) arch independent"));
}

TEST_F(PlanTest, CleanUpRemovesProbeFilesInOneCallAndEmptiesTheGroup) {
    testutil::TempDir location;
    std::string a = location.write("probeBIN", "x"), b = location.write("probeLIB", "x");
    InstallHost* here = add(localName().chars(), "linux-ix86");
    hostGroups.putOp(opRmFile(type("BIN"), a.c_str(), here->getName()), nullptr);
    hostGroups.putOp(opRmFile(type("LIB"), b.c_str(), here->getName()), nullptr);
    hostGroups.putOp(opAlreadyInstalled(type("BIN"), "", "gone", "linux-ix86"), nullptr);
    hostGroups.cleanUp();
    EXPECT_EQ(access(a.c_str(), F_OK), -1);
    EXPECT_EQ(access(b.c_str(), F_OK), -1);
    EXPECT_EQ(hostGroups.entries.length(), 0);
    EXPECT_EQ(hostGroups.ops.length(), 0);
    EXPECT_TRUE(logged("Can't find host for op 1"));
    EXPECT_TRUE(logged("Done executing any RM_FILE commands."));
}

}  // namespace
