// Install type paths as the front ends and PC hosts see them: the option
// entries of the window front end and the drive steps of client installs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hosts/host_test_fixture.h"
#include "model/InstallType.h"

namespace {

class TypeViews : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        saved_ = InstallType::data;
    }
    void TearDown() override {
        InstallType::data = saved_;
        HostTest::TearDown();
    }

    // Declares a type from the fields of an "id" line after the kind.
    static void declare(const char* name, const char* label, const char* spec) {
        Str fields[8] = {name, label, "server", "", spec, "", "", ""};
        InstallType(Str(name)).init(fields);
    }

    static std::string filled(const char* entry, const char* prefix) {
        std::string text(entry);
        char* out = fillInOption(&text[0], prefix);
        std::string result(out);
        if (out != &text[0]) delete[] out;
        return result;
    }

  private:
    Array<InstallTypeData> saved_;
};

TEST_F(TypeViews, FillInOptionForms) {
    declare("FOBIN", "Binaries", "choices=/usr/bin,opt/bin");
    declare("FOLIB", "Libraries", "default=/usr/lib/qrx");
    declare("FOREL", "Relative", "default=rel/dir");
    declare("FOVAR", "A variable", "default=/v");
    declare("ZPI_NAME", "Server", "");
    argInfo.serverName = "tiger";
    struct Case {
        const char* entry;
        const char* prefix;
        std::string want;
    } cases[] = {
        {"-bFOBIN", "/p", "-bFOBIN:Binaries:/p/usr/bin(SeP)opt/bin:0:"},
        {"-bFOBIN:mine", "/p", "-bFOBIN:Binaries:/p/usr/bin(SeP)opt/bin:0:mine"},
        {"-lFOLIB", "/p", "-lFOLIB:Libraries:/p/usr/lib/qrx:"},
        {"-lFOLIB", "/p!", "-lFOLIB:Libraries:/p/qrx:"},
        {"-rFOREL:x", "/p", "-rFOREL:Relative:rel/dir:x"},
        {"-zZPI_NAME", "", "-zZPI_NAME:Server:tiger:"},
        // the type's token in the entry is translated with the rest
        {"-v@FOVAR@", "", "-v/v:A variable:/v:"},
        {"plain", "/p", "plain"},
    };
    for (const Case& c : cases) EXPECT_EQ(filled(c.entry, c.prefix), c.want) << c.entry;
}

TEST_F(TypeViews, FillInOptionNamesTheLocalHostWithoutAServer) {
    argInfo.serverName = "";
    EXPECT_EQ(filled("-zZPI_NAME", ""), "-zZPI_NAME::" + std::string(localName()) + ":")
        << "a type that was only named has no label";
}

TEST_F(TypeViews, FillInOptionLeavesInvalidTypesAlone) {
    Str fields[8] = {"FOBAD", "", "server", "", "", "", "", ""};
    InstallType(Str("FOBAD")).init(fields);
    EXPECT_EQ(filled("-bFOBAD:x", "/p"), "-bFOBAD:x");
}

TEST_F(TypeViews, FillInOptionTranslatesTheResult) {
    declare("FOTR", "Label of @Where@", "default=/x");
    argInfo.config.define("generic", "Where", "here");
    EXPECT_EQ(filled("-tFOTR", ""), "-tFOTR:Label of here:/x:");
}

TEST_F(TypeViews, DriveStepsOfAClientInstall) {
    InstallType type(Str("FODRIVE"));
    InstallHost unix("u1", "linux-ix86", "root", "", TRUSTED_HOST);
    InstallHost w32("w1", "w32-ix86", "root", "", TRUSTED_HOST);
    InstallHost os2("o1", "os2-ix86", "root", "", TRUSTED_HOST);
    os2.setToolsLoc("d:/MNTOOLS");
    struct Case {
        int kind;
        const InstallHost* host;
        const char* path;
        const char* want;
    } cases[] = {
        {1, &w32, "/qrx", "/qrx"},  // server installs keep the path
        {2, nullptr, "c:/qrx", "c:/qrx"}, {2, &unix, "c:/qrx", "/qrx"},
        {2, &unix, "/qrx", "/qrx"},       {2, &unix, "c:", "c:"},
        {2, &w32, "/qrx", "c:/qrx"},      {2, &w32, "//share/qrx", "//share/qrx"},
        {2, &w32, "e:/qrx", "e:/qrx"},    {2, &os2, "/qrx", "d:/qrx"},
    };
    for (const Case& c : cases) {
        argInfo.kind = c.kind;
        type.setPath(c.path);
        EXPECT_EQ(type.myPath(c.host), c.want) << c.kind << " " << c.path;
    }
    EXPECT_TRUE(logged("u1: removed drive spec from path: /qrx\n"));
    EXPECT_TRUE(logged("w1: added drive spec c: to path /qrx\n"));
    argInfo.config.define("w32-ix86", "DefaultDosDrive", "f:");
    type.setPath("/qrx");
    EXPECT_EQ(type.myPath(&w32), "f:/qrx");
}

}  // namespace
