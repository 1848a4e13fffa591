#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "engine/FileSystemInfo.h"
#include "hosts/InstallHost.h"
#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class ScoutTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        startWithEmptyTypeTable();
    }

    // A type as the product index would declare it.
    static InstallType type(const char* id, const std::string& path, ValidFor v = BOTH) {
        InstallType t{Str(id)};
        t.entry().path = path.c_str();
        t.entry().enabled = 1;
        t.entry().validFor = v;
        return t;
    }
};

struct Report {
    const char* text;
    int result;
    const char* server;
    const char* serverPath;
    const char* clientPath;
    int kbytesFree;
    const char* serverDevice;
    const char* serverMountedOn;
    const char* mountedOn;
    const char* logged;
};

TEST_F(ScoutTest, DiskReportsParse) {
    const Report cases[] = {
        {"DF_DATA#/opt/x#/dev/dsk/c0t0d0s5#4096:1k#/opt\n", 1, "h", "/opt/x", "/opt/x", 4096,
         "/dev/dsk/c0t0d0s5", "/opt", "/opt", "pdfs local"},
        {"GETFROM:h:BIN\nDF_DATA#/opt/x/y#fs1:/export/opt#100:.5k#/opt/x/\nmore", 1, "fs1",
         "/export/opt/y", "/opt/x/y", 50, "", "/export/opt", "/opt/x", "pdfs remote"},
        {"DF_DATA#/#/dev/root#7:1k#/\nDF_DATA#/b#/dev/b#9:1k#/b\n", 1, "h", "/", "/", 7,
         "/dev/root", "/", "/", "pdfs local"},
        {"DF_DATA#\\\\srv\\x#SYS#5#\\\\srv", 1, "h", "\\\\srv\\x", "\\\\srv\\x", 5, "SYS",
         "\\\\srv", "\\\\srv", "pdfs local"},
        {"DF_DATA#FAILED\n", 0, "", "", "", -1, "", "", "",
         "pdfs (df # failed, missing tokens): FAILED"},
        {"DF_DATA#/a#/dev/a#1:1k#/a#extra", 0, "", "", "", -1, "", "", "",
         "pdfs (df # failed, missing tokens)"},
        {"no report here", 0, "", "", "", -1, "", "", "", "pdfs failed, seq=no report here"},
        {"DF_DATA#\n", 0, "", "", "", -1, "", "", "", "pdfs failed, seq="},
        {"DF_DATA#relative#/dev/a#1:1k#/", 0, "", "", "relative", -1, "", "", "",
         "pdfs pwd failed, not a path:"},
        {"DF_DATA#/a#/dev/a#1:1k#none", 0, "", "/dev/a", "/a", 1, "", "", "none",
         "pdfs (mo not a path, failed)"},
        {"DF_DATA#/a#srv:/e#1:1k#/abc/def", 0, "srv", "/e", "/a", 1, "", "/e", "/abc/def",
         "pdfs (df failed): mo"},
    };
    InstallHost h("h", "linux-ix86", "root", "", TRUSTED_HOST);
    for (const Report& c : cases) {
        SCOPED_TRACE(c.text);
        FileSystemInfo fs;
        EXPECT_EQ(h.processDfSequence(c.text, fs, -1), c.result);
        EXPECT_EQ(fs.client, "h");
        EXPECT_EQ(fs.server, c.server);
        EXPECT_EQ(fs.serverPath, c.serverPath);
        EXPECT_EQ(fs.clientPath, c.clientPath);
        EXPECT_EQ(fs.kbytesFree, c.kbytesFree);
        EXPECT_EQ(fs.serverDevice, c.serverDevice);
        EXPECT_EQ(fs.serverMountedOn, c.serverMountedOn);
        EXPECT_EQ(fs.mountedOn, c.mountedOn);
        EXPECT_EQ(fs.fsLocal(), std::string(c.server) == "h");
        EXPECT_TRUE(logged(c.logged)) << log();
    }
}

// Windows and OS/2 locations must be on the right kind of file system; a
// failing check is recorded for the host and fails the type there.
TEST_F(ScoutTest, LocationChecksOfPcHosts) {
    struct Case {
        const char* hostType;
        const char* typeId;
        const char* path;
        const char* report;
        int result;
        const char* failure;
    } cases[] = {
        {"w32-ix86", "BIN", "C:/zpi", "DF_DATA#C:/zpi#C:#100:1k#C:/", 0,
         "  For security reasons, the filesystem type for `C:/zpi' has to be NTFS."},
        {"w32-ix86", "DB", "//srv/db", "DF_DATA#//srv/db#//srv#100:1k NTFS#//srv", 0,
         "  The location of the ONX database directory `//srv/db' has to be on a local NTFS "
         "filesystem."},
        {"w32-ix86", "BIN", "C:/zpi", "DF_DATA#C:/zpi#C:#100:1k NTFS#C:/", 0,
         "  For remote NTFS filesystems like `C:/zpi', you must use the UNC path instead of a "
         "drive letter.  At ONX startup time the drive would not be mounted."},
        {"w32-ix86", "BIN", "C:/zpi", "DF_DATA#C:/zpi#C:#100:1k NTFS LOCAL#C:/", 1, nullptr},
        {"os2-ix86", "BIN", "C:/zpi", "DF_DATA#C:/zpi#FAT#100:1k#C:/", 0,
         "  For security reasons, the filesystem type for `C:/zpi' has to be NTFS."},
        {"os2-ix86", "BIN", "C:/zpi", "DF_DATA#C:/zpi#C:HPFS#100:1k#C:/", 1, nullptr},
        {"linux-ix86", "BIN", "/opt/zpi", "DF_DATA#/opt/zpi#/dev/sda1#100:1k#/", 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.hostType) + " " + c.report);
        hostFailures.clear();
        InstallType t = type(c.typeId, c.path);
        InstallHost h("pc", c.hostType, "u", "p", USER_PASSWORD);
        FileSystemInfo fs;
        EXPECT_EQ(h.processDfSequence(c.report, fs, t.index()), c.result);
        EXPECT_EQ(h.getState(t), c.failure ? FS_FAILED : FS_UNKNOWN);
        if (c.failure)
            EXPECT_NE(report().find(c.failure), std::string::npos) << report();
        else
            EXPECT_EQ(hostFailures.numFailures(), 0);
    }
}

TEST_F(ScoutTest, LocationChecksOnlyForServerAndClientInstalls) {
    InstallType t = type("BIN", "C:/zpi");
    InstallHost h("pc", "w32-ix86", "u", "p", USER_PASSWORD);
    FileSystemInfo fs;
    argInfo.kind = 3;
    EXPECT_EQ(h.processDfSequence("DF_DATA#C:/zpi#C:#100:1k#C:/", fs, t.index()), 1);
    argInfo.kind = 1;
    EXPECT_EQ(h.processDfSequence("DF_DATA#C:/zpi#C:#100:1k#C:/", fs, -1), 1);
    EXPECT_EQ(hostFailures.numFailures(), 0);
}

TEST_F(ScoutTest, ProbeFileNameByInstallKind) {
    struct Case {
        int kind;
        const char* name;
    } cases[] = {{1, "ZZ_"}, {2, "ZZ_"}, {3, "PROD_"}, {4, "pa_PATCH_"}, {0, ""}};
    argInfo.productIndex = OperationInfo("", "PROD");
    argInfo.patchIndex = OperationInfo("", "PATCH");
    InstallHost h("h", "linux-ix86", "root", "", TRUSTED_HOST);
    for (const Case& c : cases) {
        argInfo.kind = c.kind;
        argInfo.probeFileName = "";
        EXPECT_EQ(h.probeFile(), c.name) << c.kind;
        EXPECT_TRUE(logged(std::string("Probe file is: ") + c.name));
    }
    EXPECT_TRUE(logged("Bogus install phase for probeFile()"));
    // Once computed it stays for the run.
    argInfo.kind = 1;
    argInfo.probeFileName = "";
    h.probeFile();
    argInfo.kind = 3;
    EXPECT_EQ(h.probeFile(), "ZZ_");
}

TEST_F(ScoutTest, LocationsWithAndWithoutArchitecturePart) {
    InstallType bin = type("BIN", "/opt/zpi");
    bin.entry().extraText = "@ArchDir@";
    argInfo.config.define(generic, "ArchDir", "lib/linux");
    InstallType doc = type("DOC", "/opt/doc");
    InstallType none = type("NONE", "");
    InstallHost h("h", "linux-ix86", "root", "", TRUSTED_HOST);

    EXPECT_EQ(h.archSpecificPart(bin), "lib/linux");
    EXPECT_EQ(h.archPath(bin, '/'), "/opt/zpi/lib/linux");
    EXPECT_EQ(h.archPathPair(bin), "/opt/zpi lib/linux ");
    EXPECT_EQ(h.probeFileWithPath(bin), "/opt/zpi/lib/linux/ZZ_BIN");
    EXPECT_EQ(h.archPath(doc, '/'), "/opt/doc");
    EXPECT_EQ(h.archPathPair(doc), "/opt/doc ");
    EXPECT_EQ(h.archPath(none, '/'), "");
    EXPECT_EQ(h.archPathPair(none), " ");
    EXPECT_TRUE(logged("In archPath -> /opt/zpi"));
    EXPECT_EQ(h.fileThereIfInstalled(doc), ".installed/ZZ_DOC");
}

TEST_F(ScoutTest, InstalledMarkerNamedByTheFilePack) {
    InstallType bin = type("BIN", "/opt/zpi");
    InstallType lib = type("LIB", "/opt/zpi");
    argInfo.index = OperationInfo("ZZ:fp:BIN:generic:bin/zpid:100:1\n", "ZZ");
    InstallHost h("h", "linux-ix86", "root", "", TRUSTED_HOST);
    EXPECT_EQ(h.fileThereIfInstalled(bin), "bin/zpid");
    EXPECT_EQ(h.fileThereIfInstalled(lib), ".installed/ZZ_LIB");
}

// Product and patch installs look for a recorded location along the chain
// of linked types; a chain that loops ends empty.
TEST_F(ScoutTest, ChainedLocationThatLoopsIsEmpty) {
    InstallType a = type("A", "");
    InstallType b = type("B", "");
    a.entry().linkedType = "B";
    b.entry().linkedType = "A";
    InstallHost h("h", "linux-ix86", "root", "", TRUSTED_HOST);
    argInfo.kind = 3;
    EXPECT_EQ(h.archPath(a, '/'), "");
    EXPECT_TRUE(logged("chainPath chain loop detected..."));
}

TEST_F(ScoutTest, NothingToScoutRunsNothing) {
    InstallType off = type("OFF", dir.file("off"));
    off.entry().enabled = 0;
    InstallType var = type("VAR", dir.file("var"));
    var.entry().variable = 1;
    type("CLI", dir.file("cli"), CLIENT);
    InstallHost h(localName(), "linux-ix86", "root", "", TRUSTED_HOST);
    argInfo.serverName = localName();
    EXPECT_EQ(h.scoutForInstall(), "");
    EXPECT_TRUE(logged("Nothing to scout!"));
    EXPECT_FALSE(logged("executing following command"));
}

// The scout script runs on the host: every wanted type is reported, and a
// type to be pushed here is followed by its disk report.
TEST_F(ScoutTest, ScoutReportsEachWantedTypeOnTheLocalHost) {
    const std::string bin = dir.file("bin"), forced = dir.file("forced");
    InstallHost h(localName(), "linux-ix86", "root", "", TRUSTED_HOST);
    const std::string hn = h.getName().str();
    argInfo.serverName = localName();
    type("BIN", bin);
    type("FORCED", forced).entry().forceInstall = 1;
    type("CLI", dir.file("cli"), CLIENT);
    type("REL", "relative/path");
    type("SUB", "@Home@/sub");
    argInfo.config.define(generic, "Home", dir.path().c_str());
    // A blank is part of the path; a shell command in it is only text.
    const std::string blank = dir.file("my dir/x"), odd = dir.file("a;touch pwned;b");
    type("BLANK", blank);
    type("ODD", odd);
    // A line end would give the probe program a line of someone's choosing.
    type("NL", dir.file("n\nBIN /etc EMPTY x"));

    Str out = h.scoutForInstall();
    EXPECT_EQ(doNotBlock, 0);
    EXPECT_TRUE(logged("echo 'BIN' '" + bin + "' 'EMPTY' '.installed/ZZ_BIN';")) << log();
    EXPECT_TRUE(logged("echo 'FORCED' '" + forced + "' 'EMPTY' 'NoWaYThiExistS';"));
    EXPECT_TRUE(logged("echo 'SUB' '" + dir.file("sub") + "' 'EMPTY'"));
    EXPECT_TRUE(logged("echo 'BLANK' '" + dir.file("my\\ dir/x") + "' 'EMPTY'"));
    EXPECT_FALSE(logged("echo 'CLI'"));
    EXPECT_FALSE(logged("echo 'REL'"));
    EXPECT_FALSE(logged("echo 'NL'"));
    EXPECT_NE(report().find("relative/path"), std::string::npos) << report();
    EXPECT_NE(report().find("  Error: The entered path `" + dir.file("n\nBIN /etc EMPTY x") +
                            "' for NL holds a control character."),
              std::string::npos)
        << report();
    EXPECT_EQ(InstallType(Str("SUB")).entry().path, dir.file("sub").c_str());
    EXPECT_FALSE(exists(dir.file("pwned")));
    EXPECT_TRUE(exists(odd));
    // Each directory about to be made is named, the deepest first.
    EXPECT_NE(out.index("MADE:BLANK:" + blank + "\nMADE:BLANK:" + dir.file("my dir") + "\n"), -1)
        << out;

    const struct {
        const char* type;
        std::string path;
    } pushed[] = {
        {"BIN", bin}, {"FORCED", forced}, {"SUB", dir.file("sub")}, {"BLANK", blank}, {"ODD", odd}};
    for (const auto& p : pushed) {
        SCOPED_TRACE(p.type);
        Str line = "GETFROM:" + h.getName() + ":" + p.type + "\n";
        int at = out.index(line);
        ASSERT_GE(at, 0) << out;
        FileSystemInfo fs;
        EXPECT_EQ(h.processDfSequence(out.from(at + line.length()), fs, -1), 1) << out;
        EXPECT_EQ(fs.clientPath, p.path.c_str());
        EXPECT_GT(fs.kbytesFree, 0);
    }
    // The location is claimed for this host.
    EXPECT_EQ(testutil::readFile(bin + "/ZZ_BIN"), "GETFROM:" + hn + "\n");

    // A marker present: its text is the report, but a forced type is pushed
    // again.
    ASSERT_EQ(mkdir((bin + "/.installed").c_str(), 0755), 0);
    dir.write("bin/.installed/ZZ_BIN", "PUSHED:src:BIN\n");
    out = h.scoutForInstall();
    EXPECT_NE(out.index("PUSHED:src:BIN\n"), -1) << out;
    EXPECT_EQ(out.index("GETFROM:" + h.getName() + ":BIN"), -1) << out;
    EXPECT_NE(out.index("GETFROM:" + h.getName() + ":FORCED\n"), -1) << out;
}

}  // namespace
