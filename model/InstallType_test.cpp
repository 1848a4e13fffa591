#include "model/InstallType.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/Args.h"
#include "framework/bln_cipher.h"

namespace {

class InstallTypes : public testing::Test {
  protected:
    void SetUp() override { saved_ = InstallType::data; }
    void TearDown() override {
        InstallType::data = saved_;
        argInfo.installPassword = "";
    }

  private:
    Array<InstallTypeData> saved_;
};

TEST_F(InstallTypes, NamingCreatesOnceAndKeepsPosition) {
    InstallType a(Str("NEWTYPE_A"));
    InstallType b(Str("NEWTYPE_B"));
    EXPECT_EQ(InstallType(Str("NEWTYPE_A")).index(), a.index());
    EXPECT_EQ(b.index(), a.index() + 1);
    EXPECT_EQ(a.entry().validFor, VALID_UNSET);
    EXPECT_TRUE(a.valid());
    EXPECT_FALSE(InstallType().valid());
    EXPECT_EQ(InstallType::id("NOT_NAMED"), -1);
}

TEST_F(InstallTypes, SetPathForceMarkSlashesAndLinkedType) {
    InstallType bin(Str("BIN"));
    InstallType lib(Str("LIB"));
    bin.entry().linkedType = "LIB";
    bin.setPath("C:\\qrx\\bin!");
    EXPECT_EQ(bin.entry().path, "C:/qrx/bin");
    EXPECT_EQ(bin.forceInstall(), 1);
    EXPECT_EQ(bin.enabled(), 1);
    EXPECT_EQ(bin.entry().defaultPath, "C:/qrx/bin");
    EXPECT_EQ(lib.entry().path, "C:/qrx/bin");
    bin.setPath("/opt/qrx");
    EXPECT_EQ(bin.forceInstall(), 0);
    bin.entry().validFor = INVALID;
    bin.setPath("/ignored");
    EXPECT_EQ(bin.entry().path, "/opt/qrx");
    EXPECT_EQ(bin.enabled(), 0);
}

TEST_F(InstallTypes, LinkCyclesEnd) {
    InstallType self(Str("SELF"));
    self.entry().linkedType = "SELF";
    InstallType a(Str("CYC_A"));
    InstallType b(Str("CYC_B"));
    a.entry().linkedType = "CYC_B";
    b.entry().linkedType = "CYC_A";
    for (const InstallType& t : {self, a}) {
        t.setPath("/x");
        t.setDefaultPath("/y");
    }
    EXPECT_EQ(self.entry().path, "/x");
    EXPECT_EQ(b.entry().path, "/x");
    EXPECT_EQ(b.entry().defaultPath, "/y");
}

TEST_F(InstallTypes, InstallationPasswordIsDecipheredAndShellEscaped) {
    InstallType ip(Str("IP"));
    const char* clear = "a\\b^c$d\"e'f`g>h<i;j|k=l";
    char* enciphered = bln_encrypt(clear);
    ip.setPath(enciphered);
    free(enciphered);
    EXPECT_EQ(argInfo.installPassword, "a\\\\b\\^c\\$d\\\"e\\'f\\`g\\>h\\<i\\;j\\|k\\=l");
    EXPECT_TRUE(ip.entry().path.empty());
    ip.setPath("plain");
    EXPECT_EQ(argInfo.installPassword, "plain");
}

}  // namespace
