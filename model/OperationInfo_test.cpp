#include "model/OperationInfo.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/Args.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"
#include "tests/test_util.h"

namespace {

class IndexTest : public testing::Test {
  protected:
    void SetUp() override {
        savedTypes_ = InstallType::data;
        savedArgs_ = argInfo;
        dbFile.reopen(dir_.file("log"));
    }
    void TearDown() override {
        dbFile.reopen(defaultDebugLogPath());
        InstallType::data = savedTypes_;
        argInfo = savedArgs_;
    }
    bool logged(const std::string& s) const {
        return testutil::readFile(dir_.file("log")).find(s) != std::string::npos;
    }
    static InstallType type(const char* name) { return InstallType(InstallType::id(name)); }

  private:
    testutil::TempDir dir_;
    Array<InstallTypeData> savedTypes_;
    ArgInfo savedArgs_;
};

const char* kIndex =
    "QRX:description: ONX Server \n"
    "OTHER:revision:9.9\n"
    "QRX:revision:3.1\n"
    "QRX:id:@BIN@:Binaries:server::choices=/usr/qrx/bin,/opt/qrx/bin:@Arch@\n"
    "QRX:id:LIB:Libraries:server::default=C#/qrx/lib\n"
    "QRX:id:MAN:Manual pages\n"
    "QRX:id:ZPI_NAME:Server name:server::\n"
    "QRX:id:ONLYNAME::server\n"
    "QRX:fp:BIN:generic:bin/qrxd:100:1\n"
    "QRX:fp:BIN:linux-ix86:bin/qrxd:200:2\n"
    "QRX:fp:LIB:solaris2%server::10:3\n"
    "QRX:fp:LIB:solaris2::10:4\n"
    "QRX:fp:LIB:solaris2%client::0:5\n"
    "QRX:fp:MAN:unique%x::0:6\n"
    "QRX:fp\n"
    "QRX:fp:MAN:generic::0:0\n"
    "QRX:script:BIN:after_install:generic\n"
    "QRX:script:LIB:\n"
    "QRX:gui:b:BIN:server:\n"
    "QRX:gui:c:BIN:server:again\n"
    "QRX:gui:N::server:\n"
    "QRX:gui:x:NOT_DECLARED_HERE:server:\n"
    "QRX:depends:A\n"
    "QRX:depends:B\n"
    "QRX:frobnicate:x\n"
    "QRX:upgrade\n";

TEST_F(IndexTest, ParsesEntriesAndReportsBadOnes) {
    OperationInfo info(kIndex, "QRX");
    ASSERT_TRUE(info.IsValid());
    EXPECT_EQ(info.indexPath(), "in-memory");
    EXPECT_EQ(info.description(), "ONX Server");
    EXPECT_EQ(info.revision(), "3.1");
    EXPECT_EQ(info.filePacks().length(), 6);
    EXPECT_EQ(info.scripts().length(), 1);
    EXPECT_EQ(info.guiItems().length(), 3);  // duplicate BIN/server dropped
    ASSERT_EQ(info.dependsOn().length(), 2);
    EXPECT_EQ(info.dependsOn()[0], "B");
    EXPECT_EQ(upgrade_hack, 1);
    EXPECT_TRUE(logged("Bogus media packet entry!!!"));
    EXPECT_TRUE(logged("Bogus script entry!!!"));
    EXPECT_TRUE(logged("trying to push dup gui item "));
    EXPECT_TRUE(logged("Bogus installType id entry!!!"));
    EXPECT_TRUE(logged("can't handle `frobnicate' index entry"));
    EXPECT_TRUE(logged("Found leading whitespace: [ ONX Server ]"));
    EXPECT_TRUE(logged("Trailing whitespace removed: [ONX Server]"));
}

TEST_F(IndexTest, InstallTypeDeclarations) {
    OperationInfo info(kIndex, "QRX");
    InstallType bin = type("BIN");
    ASSERT_TRUE(bin.valid());
    EXPECT_EQ(bin.variable(), 1);
    EXPECT_EQ(bin.entry().label, "Binaries");
    EXPECT_EQ(bin.entry().validFor, SERVER);
    EXPECT_EQ(bin.entry().defaultPath, "/usr/qrx/bin");
    EXPECT_EQ(bin.entry().choices.length(), 2);
    EXPECT_EQ(bin.entry().extraText, "@Arch@");
    EXPECT_EQ(type("LIB").entry().defaultPath, "C:/qrx/lib");
    EXPECT_EQ(type("LIB").dump(), "LIB:Libraries:server::default=C#/qrx/lib::");
    EXPECT_EQ(bin.dump(), "@BIN@:Binaries:server::choices=/usr/qrx/bin,/opt/qrx/bin:@Arch@:");
    EXPECT_EQ(type("MAN").entry().validFor, VALID_UNSET);  // label alone declares it
    EXPECT_EQ(type("ZPI_NAME").entry().validFor, SERVER);
    EXPECT_EQ(type("ONLYNAME").entry().validFor, INVALID);
}

TEST_F(IndexTest, SecondDeclarationKeepsDefault) {
    OperationInfo info(
        "P:id:T:Label:server::default=/first\nP:id:T:Label:server::default=/second\n", "P");
    EXPECT_EQ(type("T").entry().defaultPath, "/first");
    EXPECT_TRUE(logged("Keeping dflt for T of /first"));
}

TEST_F(IndexTest, FilePackSelection) {
    OperationInfo info(kIndex, "QRX");
    InstallType bin = type("BIN"), lib = type("LIB"), man = type("MAN");
    EXPECT_EQ(info.filePack(bin, "hpux10").fileNumber(), 1);  // machine independent
    EXPECT_EQ(info.filePack(bin, "hpux10").kind(), MACHINE_INDEPENDENT);
    EXPECT_EQ(info.filePack(lib, "solaris2").fileNumber(), 4);
    EXPECT_EQ(info.filePack(lib, "hpux10").kind(), DIST_NONE);
    EXPECT_EQ(info.filePack(man, "x").kind(), MACHINE_SPECIFIC);
    EXPECT_EQ(info.filePack(InstallType(Str("NOTHING")), "x").kind(), DIST_NONE);
    EXPECT_EQ(info.kind(bin, "x"), MACHINE_INDEPENDENT);
    EXPECT_EQ(info.script(bin, "x").name(), "after_install");

    argInfo.index = info;
    argInfo.kind = 1;
    argInfo.serverName = "srv";
    EXPECT_EQ(findFilePackSpecific(lib, "solaris2", "srv").fileNumber(), 3);
    EXPECT_EQ(findFilePackSpecific(lib, "solaris2", "other").fileNumber(), 5);
    argInfo.serverName = "";
    EXPECT_EQ(findFilePackSpecific(lib, "solaris2", "srv").fileNumber(), 4);
}

// The catalogue written for an index, read as an index into an empty type
// table, is the same index: the same text again and the same types.
TEST_F(IndexTest, CatalogReadsBackAsTheSameIndex) {
    InstallType::data = Array<InstallTypeData>();
    // A gui item whose type a later line declares invalid offers nothing.
    OperationInfo info((std::string(kIndex) +
                        "QRX:id:NOLABEL::server::default=/n\nQRX:gui:L:LATE:server:\nQRX:id:LATE\n")
                           .c_str(),
                       "QRX");
    const Str written = info.catalog();
    const Array<InstallTypeData> types = InstallType::data;
    InstallType::data = Array<InstallTypeData>();
    OperationInfo again(written.chars(), "QRX");
    ASSERT_TRUE(again.IsValid());
    EXPECT_EQ(again.catalog(), written);
    // Types that only a name brought in have no declaration to write.
    EXPECT_EQ(written.index(":id:NOT_DECLARED_HERE"), -1) << written;
    EXPECT_EQ(written.index(":gui:L:LATE"), -1) << written;
    for (int i = 0; i < types.length(); ++i) {
        const InstallTypeData& was = types[i];
        if (was.label.empty()) continue;
        SCOPED_TRACE(was.id.str());
        InstallType now(InstallType::id(was.id));
        ASSERT_GE(now.index(), 0);
        const InstallTypeData& d = now.entry();
        EXPECT_EQ(d.label, was.label);
        EXPECT_EQ(d.validFor, was.validFor);
        EXPECT_EQ(d.defaultPath, was.defaultPath);
        EXPECT_EQ(d.choices.length(), was.choices.length());
        EXPECT_EQ(d.extraText, was.extraText);
        EXPECT_EQ(d.linkedType, was.linkedType);
        EXPECT_EQ(d.variable, was.variable);
    }
}

// Only index text that declares install types is an index; a rejected one
// leaves the type table and the upgrade mark as they were.
TEST_F(IndexTest, DamagedIndexIsRejectedAndChangesNothing) {
    std::string noise;
    unsigned seed = 3;
    for (int i = 0; i < 2048; ++i) {
        seed = seed * 1103515245u + 12345u;
        noise += char(seed >> 16);
    }
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"random bytes", noise},
        {"a control character", "QRX:id:BIN:Binaries:server::\nQRX:upgrade\nQRX:revision:\x01\n"},
        {"no install type", "QRX:description:x\nQRX:upgrade\nQRX:fp:BIN:generic::10:1\n"},
        {"a line without a kind", "QRX:id:BIN:Binaries:server::\nQRX:upgrade\nQRX\n"},
        {"only an invalid type", "QRX:id:BIN\nQRX:upgrade\n"},
        {"a type declared, then declared invalid", "QRX:id:BIN:Binaries:server::\nQRX:id:BIN\n"},
        {"a type without a name", "QRX:id::Nameless:server::default=/x\nQRX:id:@@:Nameless\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InstallType::data = Array<InstallTypeData>();
        InstallType(Str("KEPT")).entry().path = "/kept";
        upgrade_hack = 0;
        OperationInfo info(c.text.c_str(), "QRX");
        EXPECT_FALSE(info.IsValid());
        ASSERT_EQ(InstallType::data.length(), 1);
        EXPECT_EQ(InstallType::data[0].id, "KEPT");
        EXPECT_EQ(InstallType::data[0].path, "/kept");
        EXPECT_EQ(upgrade_hack, 0);
    }
    // CRLF line ends are line ends.
    InstallType::data = Array<InstallTypeData>();
    OperationInfo crlf("QRX:description:d\r\nQRX:id:BIN:Binaries:server::\r\n", "QRX");
    EXPECT_TRUE(crlf.IsValid());
    EXPECT_EQ(crlf.description(), "d");
    EXPECT_EQ(type("BIN").entry().label, "Binaries");
}

TEST_F(IndexTest, CatalogParsesBackToSameEntries) {
    OperationInfo info(kIndex, "QRX");
    OperationInfo again(info.catalog().chars(), "QRX");
    EXPECT_EQ(again.catalog(), info.catalog());
    ASSERT_EQ(again.dependsOn().length(), 2);
    EXPECT_EQ(again.dependsOn()[0], "B");
    EXPECT_EQ(info.catalog().index("QRX:id::"), -1) << "an empty name names no type";
    ASSERT_EQ(again.filePacks().length(), info.filePacks().length());
    for (int i = 0; i < info.filePacks().length(); ++i)
        EXPECT_EQ(again.filePacks()[i].dump(), info.filePacks()[i].dump());
}

TEST_F(IndexTest, LongAndManyFieldLinesAreCut) {
    std::string many = "P:fp:T:generic:f:1:2:8:9:10:11:12:13:14:15\n";
    std::string longLine = "P:description:" + std::string(3000, 'd') + "\n";
    OperationInfo info((many + longLine).c_str(), "P");
    EXPECT_EQ(info.filePacks().length(), 1);
    EXPECT_EQ(info.description().length(), 1023 - 14);
    EXPECT_TRUE(logged("more than 12 fields"));
}

TEST_F(IndexTest, Printing) {
    OperationInfo info(kIndex, "QRX");
    std::ostringstream out;
    out << info;
    EXPECT_EQ(out.str(), "Dump of OperationInfo:QRX (ONX Server)\n\t   6 = total media packets.");
    std::ostringstream bogus;
    bogus << OperationInfo();
    EXPECT_EQ(bogus.str(), "Bogus OperationInfo!!! ");
    std::ostringstream kinds;
    kinds << MACHINE_SPECIFIC << ARCH_SPECIFIC << MACHINE_INDEPENDENT << DIST_NONE << PHASE_PATCH;
    EXPECT_EQ(kinds.str(),
              "Distributing machine specific Distributing architecture specific "
              "Distributing machine independent Distributing Bogus! Phase(patch)");
}

TEST_F(IndexTest, MediumPaths) {
    argInfo.cdrom = Cdrom("h", "/cdrom");
    Str fields[kIndexFields] = {"P", "fp", "BIN", "generic", "", "0", "12"};
    FilePack fp("", fields);
    EXPECT_EQ(fp.pathToImage(), "/cdrom/FILE12.PKT");
    EXPECT_EQ(fp.pathToDescription(), "/cdrom/CFG/FILE12.CFG");
}

}  // namespace
