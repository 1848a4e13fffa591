#include "engine/InstalledLocations.h"

#include <gtest/gtest.h>

#include <string>

#include "model/DebugLog.h"
#include "tests/test_util.h"

namespace {

class InstalledLocationsTest : public testing::Test {
  protected:
    void SetUp() override {
        dbFile.reopen(dir_.file("log"));
        clearInstalledLocations();
    }
    void TearDown() override {
        clearInstalledLocations();
        dbFile.reopen(defaultDebugLogPath());
    }
    std::string log() const { return testutil::readFile(dir_.file("log")); }

  private:
    testutil::TempDir dir_;
};

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(InstalledLocationsTest, RecordsAreTracedAndListedQuotedInOrder) {
    EXPECT_EQ(locationsText(), "{ 0 }");
    RegisterInstalled("h1", "/q/bin ", "BIN", "linux-ix86", "/m/CFG/FILE1.CFG", "installed");
    RegisterInstalled("h2", "p", "t", "a", "d", "owner h1");
    EXPECT_EQ(locationsText(),
              "{ 2 { \"h1\" \"/q/bin \" \"BIN\" \"linux-ix86\" \"/m/CFG/FILE1.CFG\" \"installed\" }"
              " { \"h2\" \"p\" \"t\" \"a\" \"d\" \"owner h1\" } }");
    EXPECT_NE(log().find("registering location(h1,/q/bin ,BIN,linux-ix86,/m/CFG/FILE1.CFG,"
                         "installed)\n"),
              std::string::npos);
    clearInstalledLocations();
    EXPECT_EQ(installedLocationCount(), 0);
    EXPECT_EQ(locationsText(), "{ 0 }");
}

TEST_F(InstalledLocationsTest, FiftyFirstRegistrationIsDroppedAsOverflow) {
    for (int i = 0; i <= kMaxInstalledLocations; ++i) {
        std::string host = "h" + std::to_string(i);
        RegisterInstalled(host.c_str(), "p", "t", "a", "d", "n");
    }
    EXPECT_EQ(installedLocationCount(), 50);
    EXPECT_EQ(installedLocation(49).host, "h49");
    std::string text = locationsText().str();
    EXPECT_EQ(text.find("{ 50 { \"h0\" "), 0u) << text;
    EXPECT_EQ(occurrences(text, " { \""), 50u);
    EXPECT_EQ(text.find("\"h50\""), std::string::npos);
    std::string traced = log();
    EXPECT_EQ(occurrences(traced, "!!!!Locations Overflow!!!\n"), 1u);
    EXPECT_NE(traced.find("registering location(h50,p,t,a,d,n)\n!!!!Locations Overflow!!!\n"),
              std::string::npos);
}

}  // namespace
