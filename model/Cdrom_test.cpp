#include "model/Cdrom.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "hosts/host_test_fixture.h"
#include "model/OperationInfo.h"

namespace {

class CdromTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        medium = dir.file("medium");
        mkdir(medium.c_str(), 0755);
        write("CONTENTS.LST", "QRX 3.1 server\n");
        write("PATCHES.LST", "none\n");
        write("QRX.IND",
              "QRX:description:The server\nQRX:id:BIN:Binaries:server::\n"
              "QRX:fp:BIN:generic::10:1\n");
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(medium + "/" + name) << text;
    }
    std::string medium;
};

TEST_F(CdromTest, SpecWithoutHostPartIsALocalPath) {
    char* cwd = getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    const std::string here = cwd;
    free(cwd);
    struct Case {
        std::string spec;
        std::string path;
    } cases[] = {
        {"/cdrom/qrx", "/cdrom/qrx"},
        {"c:/qrx", "c:/qrx"},  // one-letter drive: not a host name
        {"", ""},
        // Relative to where the installer was started, not to wherever the
        // engine on the host happens to be.
        {"build/sample/medium", here + "/build/sample/medium"},
        {"../m", here + "/../m"},
    };
    for (const Case& c : cases) {
        Cdrom m;
        EXPECT_EQ(m.reset(c.spec.c_str(), PHASE_SERVER), 1) << c.spec;
        EXPECT_EQ(m.host(), localName()) << c.spec;
        EXPECT_EQ(m.path(), c.path.c_str()) << c.spec;
        EXPECT_TRUE(m.isOpen());
    }
    EXPECT_TRUE(
        logged("Getting localName ->" + std::string(localName()) + " Phase = Phase(server)\n"));
}

TEST_F(CdromTest, HostPartIsTakenUpToTheFirstColon) {
    Cdrom m;
    Str spec = localName() + ":" + medium.c_str() + ":x";
    EXPECT_EQ(m.reset(spec, PHASE_SERVER), 1);
    EXPECT_EQ(m.host(), localName());
    EXPECT_EQ(m.path(), (medium + ":x").c_str());
    EXPECT_EQ(m.name(), spec);
    EXPECT_TRUE(logged("Constructing Cdrom obj: " + std::string(localName()) + ", " + medium +
                       ":x, (null)\n"));
}

TEST_F(CdromTest, ResetToTheSameShortHostNameKeepsTheHostObject) {
    Cdrom m(localName(), "/old", "");
    ASSERT_TRUE(m.isOpen());
    Str longName = localName() + ".example.org";
    EXPECT_EQ(m.reset(longName, medium.c_str(), "", nullptr, PHASE_SERVER), 1);
    EXPECT_TRUE(logged("Reset of cdrom to same host optimized.\n"));
    EXPECT_EQ(m.host(), longName);
    EXPECT_EQ(m.path(), medium.c_str());
    Str text;
    m.getContents(text);
    EXPECT_EQ(text, "QRX 3.1 server\n");
}

TEST_F(CdromTest, ListingsAndIndexesAreReadFromTheMediumDirectory) {
    Cdrom m(localName(), medium.c_str(), "");
    Str contents, patches, plain, suffixed;
    m.getContents(contents);
    m.getPatches(patches);
    m.getIndex("QRX", plain);
    m.getIndex("QRX.IND", suffixed);
    EXPECT_EQ(contents, "QRX 3.1 server\n");
    EXPECT_EQ(patches, "none\n");
    EXPECT_EQ(plain,
              "QRX:description:The server\nQRX:id:BIN:Binaries:server::\n"
              "QRX:fp:BIN:generic::10:1\n");
    EXPECT_EQ(suffixed, plain);
    EXPECT_TRUE(logged("CONTENTS.LST:\nQRX 3.1 server\n"));
    EXPECT_TRUE(logged("PATCHES.LST:\nnone\n"));
}

TEST_F(CdromTest, ClosedMediumReadsNothing) {
    Cdrom m;
    Str text = "stale";
    m.getIndex("QRX", text);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(logged("Warining: the index file: QRX.IND was not found!\n"));
    m.getContents(text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(m.name(), "(null)");
    EXPECT_EQ(m.reset("", "/x", "", nullptr, PHASE_SERVER), 0);
    EXPECT_FALSE(m.isOpen());
}

TEST_F(CdromTest, CopyOfAnOpenMediumIsOpenOnTheSameDirectory) {
    Cdrom m(localName(), medium.c_str(), "");
    Cdrom copy(m);
    Cdrom assigned;
    assigned = m;
    for (const Cdrom* c : {&copy, &assigned}) {
        EXPECT_TRUE(c->isOpen());
        Str text;
        c->getPatches(text);
        EXPECT_EQ(text, "none\n");
    }
    Cdrom named("tiger", "/cdrom");
    Cdrom namedCopy(named);
    EXPECT_FALSE(namedCopy.isOpen());
    EXPECT_EQ(namedCopy.name(), "tiger:/cdrom");
}

TEST_F(CdromTest, UnreachableHostLeavesTheMediumClosed) {
    Cdrom m;
    EXPECT_EQ(m.reset("no-such-host.invalid:/cdrom", PHASE_SERVER), 0);
    EXPECT_FALSE(m.isOpen());
    EXPECT_EQ(m.path(), "/cdrom");
    EXPECT_NE(report().find("This node, which owns the source media image, is not reachable."),
              std::string::npos);
    Str text = "stale";
    m.getContents(text);
    EXPECT_EQ(text, "");
}

TEST_F(CdromTest, ProductMediumOnAnotherHostMustBeAManagedNode) {
    Cdrom m;
    EXPECT_EQ(m.reset("faraway.invalid", "/cdrom", "", nullptr, PHASE_PRODUCT), 0);
    EXPECT_NE(report().find("This node is not a managed node."), std::string::npos);
}

TEST_F(CdromTest, IndexByNameIsValidOnlyWhenTheMediumHoldsIt) {
    argInfo.cdrom = Cdrom(localName(), medium.c_str(), "");
    OperationInfo found(Str("QRX"));
    EXPECT_EQ(found.IsValid(), 1);
    EXPECT_EQ(found.productName(), "QRX");
    EXPECT_EQ(found.filePacks().length(), 1);
    OperationInfo missing(Str("NONE"));
    EXPECT_EQ(missing.IsValid(), 0);
    argInfo.cdrom = Cdrom();
    OperationInfo closed(Str("QRX"));
    EXPECT_EQ(closed.IsValid(), 0);
}

}  // namespace
