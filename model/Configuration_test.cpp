#include "model/Configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "hosts/InstallHost.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"
#include "tests/test_util.h"

namespace {

// Routes the debug log into a temporary file for one test.
class LogCapture {
  public:
    LogCapture() { dbFile.reopen(dir_.file("log")); }
    ~LogCapture() { dbFile.reopen(defaultDebugLogPath()); }
    std::string text() const { return testutil::readFile(dir_.file("log")); }
    bool has(const std::string& s) const { return text().find(s) != std::string::npos; }

  private:
    testutil::TempDir dir_;
};

std::vector<std::string> entries(const Configuration& c) {
    std::vector<std::string> v;
    for (int i = 0; i < c.items().length(); ++i) {
        const ConfigurationItem& ci = c.items()[i];
        v.push_back(std::string(ci.type) + " " + std::string(ci.id) + "=" + std::string(ci.value));
    }
    return v;
}

TEST(ConfigurationParse, FormatRules) {
    struct Case {
        const char* name;
        const char* text;
        std::vector<std::string> want;
    } cases[] = {
        {"comment and empty lines inside a value are dropped",
         "generic A\none\n\n# dropped\n  # kept\ntwo\n%%\n",
         {"generic A=one\n  # kept\ntwo"}},
        {"final entry without %% is dropped", "generic A\nx\n%%\ngeneric B\ny\n", {"generic A=x"}},
        {"header without value gives empty value", "generic A\n%% comment\n", {"generic A="}},
        {"header without blank is invalid", "genericA\nx\n%%\n", {}},
        {"single % line belongs to the value", "generic A\n%x%\n%%\n", {"generic A=%x%"}},
        {"id keeps inner blanks", "generic A B\nv\n%%\n", {"generic A B=v"}},
        {"carriage returns end lines",
         "generic A\r\r\nv\r\nw\rx\r\r\n%%\r\n",
         {"generic A=v\nw\rx"}},
        {"later entry replaces earlier",
         "generic A\nold\n%%\nsolaris2 A\ns\n%%\ngeneric A\nnew\n%%\n",
         {"generic A=new", "solaris2 A=s"}},
        {"sorted by id, generic first, then type",
         "zz B\n1\n%%\naix4-r1 B\n2\n%%\ngeneric B\n3\n%%\ngeneric A\n4\n%%\n",
         {"generic A=4", "generic B=3", "aix4-r1 B=2", "zz B=1"}},
    };
    for (const Case& c : cases) {
        LogCapture log;
        Configuration config(c.text);
        EXPECT_EQ(entries(config), c.want) << c.name;
    }
}

TEST(ConfigurationParse, LogsNewReplacedAndInvalidEntries) {
    LogCapture log;
    Configuration config("generic A\nl1\nl2\n%%\ngeneric A\nx\n%%\nbad\n%%\n");
    EXPECT_TRUE(log.has("New configuration item: type=generic, id=A\nl1...\n"));
    EXPECT_TRUE(log.has("replacing ci\n"));
    EXPECT_TRUE(log.has("Invalid configuration entry: type=, id=\n"));
}

TEST(ConfigurationParse, OverlongLinesAreCutAndSaidSo) {
    LogCapture log;
    std::string text =
        "generic A\n" + std::string(5000, 'x') + "\n" + std::string(1999, 'y') + "\n%%\n";
    Configuration config(text.c_str());
    ASSERT_EQ(config.items().length(), 1);
    EXPECT_EQ(config.items()[0].value.str(),
              std::string(1999, 'x') + "\n" + std::string(1999, 'y'));
    ASSERT_EQ(config.warnings().length(), 1);
    EXPECT_EQ(config.warnings()[0],
              "line 2 of `(Str)' is longer than 1999 characters; the rest of it is ignored.");
}

// A text written with CRLF line ends holds the same entries: no value ends
// in a carriage return, and "%%" still closes an entry.
TEST(ConfigurationParse, CrlfLineEndsReadAsLf) {
    const char* lf = "# comment\ngeneric A\nx y\nz\n%%\n\nhpux10 A\n/bin/sh\n%% note\n";
    std::string crlf;
    for (const char* p = lf; *p; ++p) crlf += *p == '\n' ? std::string("\r\n") : std::string(1, *p);
    Configuration config(crlf.c_str());
    EXPECT_EQ(entries(config), entries(Configuration(lf)));
    EXPECT_EQ(entries(config), (std::vector<std::string>{"generic A=x y\nz", "hpux10 A=/bin/sh"}));
}

TEST(ConfigurationParse, SourcesAndUnreadableFile) {
    LogCapture log;
    testutil::TempDir dir;
    Configuration none;
    EXPECT_FALSE(none.addFile(dir.path().c_str()));  // a directory reads as nothing at all
    EXPECT_FALSE(none.addFile("/nonexistent/config"));
    EXPECT_TRUE(none.addFile(dir.write("c", "generic A\nx\n%%\n").c_str()));
    Configuration config(Str("/nonexistent/config"));
    const char* parts[] = {"generic A\n", "x\n%", "%\n", nullptr};
    config.addData(const_cast<char**>(parts));
    config.addData("generic B\ny\n%%\n");
    EXPECT_EQ(config.sources(), "+/nonexistent/config+(StrList)+(Str)");
    EXPECT_TRUE(log.has("can't open configuration file `/nonexistent/config'"));
    EXPECT_EQ(entries(config), (std::vector<std::string>{"generic A=x", "generic B=y"}));
}

TEST(ConfigurationParse, DumpParsesBackToSameEntries) {
    LogCapture log;
    Configuration config(
        "generic A\nline one\n  # two\n%%\nhpux10 A\nh\n%%\ngeneric E\n%%\nw32-ix86 Z\na\nb\n%%\n");
    Configuration again(config.dump().chars());
    EXPECT_EQ(entries(again), entries(config));
    EXPECT_EQ(entries(config).size(), 4u);
}

TEST(ConfigurationLocate, PositionsAndGenericIndex) {
    LogCapture log;
    Configuration config("generic B\n1\n%%\nhpux10 B\n2\n%%\nsolaris2 B\n3\n%%\naix C\n4\n%%\n");
    struct Case {
        const char* type;
        const char* id;
        int found, index, genericIndex;
    } cases[] = {
        {"generic", "B", 1, 0, 0},  {"hpux10", "B", 1, 1, 0},   {"solaris2", "B", 1, 2, 0},
        {"aix", "B", 0, 1, 0},      {"linux", "B", 0, 2, 0},    {"zz", "B", 0, 3, 0},
        {"generic", "C", 0, 3, -1}, {"aix", "C", 1, 3, -1},     {"bb", "C", 0, 4, -1},
        {"generic", "A", 0, 0, -1}, {"generic", "Z", 0, 4, -1}, {"generic", "BB", 0, 3, -1},
    };
    for (const Case& c : cases) {
        int index = -9, genericIndex = -9;
        EXPECT_EQ(config.locate(c.type, c.id, index, genericIndex), c.found)
            << c.type << " " << c.id;
        EXPECT_EQ(index, c.index) << c.type << " " << c.id;
        EXPECT_EQ(genericIndex, c.genericIndex) << c.type << " " << c.id;
    }
}

class Translation : public testing::Test {
  protected:
    void SetUp() override {
        savedTypes_ = InstallType::data;
        savedArgs_ = argInfo;
    }
    void TearDown() override {
        InstallType::data = savedTypes_;
        argInfo = savedArgs_;
    }
    LogCapture log;

  private:
    Array<InstallTypeData> savedTypes_;
    ArgInfo savedArgs_;
};

TEST_F(Translation, RecursesThroughValues) {
    Configuration config("generic A\nx\n%%\ngeneric B\n@A@@A@\n%%\n");
    EXPECT_EQ(config.translate(nullptr, "@B@"), "xx");
    EXPECT_TRUE(log.has("Substituted 1 instances of @B@"));
    EXPECT_TRUE(log.has("Substituted 2 instances of @A@"));
    EXPECT_EQ(config.translate(nullptr, "no tokens @ here"), "no tokens @ here");
}

TEST_F(Translation, ArchitectureFallsBackToGeneric) {
    Configuration config("generic Shell\n/bin/sh\n%%\nsolaris2 Shell\n/usr/bin/ksh\n%%\n");
    InstallHost sun("sun", "solaris2", "root", "", DEFAULT_ACCESS);
    InstallHost other("lin", "linux-ix86", "root", "", DEFAULT_ACCESS);
    EXPECT_EQ(config.lookup(&sun, "Shell").value, "/usr/bin/ksh");
    EXPECT_EQ(config.lookup(&other, "Shell").value, "/bin/sh");
    EXPECT_EQ(config.lookup(nullptr, "Shell").value, "/bin/sh");
    EXPECT_EQ(config.lookup(&sun, "Shell").type, "solaris2");
}

TEST_F(Translation, RunawayStopsAfter101Passes) {
    Configuration config("generic X\n@X@\n%%\n");
    EXPECT_EQ(config.translate(nullptr, "a@X@b"), "a@X@b");
    std::string text = log.text();
    EXPECT_NE(text.find("Configuration translate ridiculous looping."), std::string::npos);
    size_t passes = 0;
    for (size_t p = 0; (p = text.find("Substituted 1 instances of @X@", p)) != std::string::npos;
         ++p)
        ++passes;
    EXPECT_EQ(passes, 101u);
}

// A value that names itself twice doubles with every pass: the translation
// stops at its bound instead of eating the memory, as a failure of the
// server.
TEST_F(Translation, DoublingValueStopsAtItsBoundAndFails) {
    hostFailures.clear();
    argInfo.serverName = "srv";
    Configuration config("generic A\n@A@@A@\n%%\n");
    Str result = config.translate(nullptr, "/x/@A@");
    EXPECT_LE(result.length(), 1 << 20);
    EXPECT_TRUE(holdsToken(result));
    EXPECT_TRUE(log.has("Configuration translate ridiculous looping."));
    EXPECT_TRUE(hostFailures.anyFailure());
    EXPECT_NE(hostFailures.reportText().index(
                  " Host srv:\n  The configuration value `A' grows without bound when "
                  "translated; its translation was stopped."),
              -1)
        << hostFailures.reportText();
    // A large value that does not grow further is no runaway.
    Configuration big(("generic B\n" + std::string(1000, 'b') + "\n%%\n").c_str());
    hostFailures.clear();
    EXPECT_EQ(big.translate(nullptr, "@B@@B@").length(), 2000);
    EXPECT_FALSE(hostFailures.anyFailure());
    hostFailures.clear();
}

TEST_F(Translation, UnknownNameBecomesEmptyWithTraces) {
    Configuration config("generic A\nx\n%%\n");
    EXPECT_EQ(config.translate(nullptr, "[@Nope@]"), "[]");
    EXPECT_TRUE(log.has("configuration item unfound: type=generic, id=Nope"));
    EXPECT_TRUE(log.has("Warning: empty substitution for Nope"));
}

TEST_F(Translation, SpecialNames) {
    Configuration config("generic Arch\nentry-arch\n%%\ngeneric HostName\nentry-host\n%%\n");
    argInfo.cdrom = Cdrom("media", "/cdrom/qrx");
    argInfo.installPassword = "se\\$cret";
    argInfo.serverName = "srv";
    InstallHost h("alpha", "osf-axp", "root", "", DEFAULT_ACCESS);
    EXPECT_EQ(config.translate(&h, "@Arch@ @HostName@ @CDROM@"), "osf-axp alpha /cdrom/qrx");
    // Without a host they are ordinary entries.
    EXPECT_EQ(config.translate(nullptr, "@Arch@ @HostName@ @CDROM@"), "entry-arch entry-host ");
    EXPECT_EQ(config.translate(nullptr, "@IP@ @ZPI_NAME@"), "se\\$cret srv");
    unsetenv("o_dispatch");
    EXPECT_EQ(config.translate(nullptr, "@Port@ @ZPI_PORT@"), "94 94");
    setenv("o_dispatch", "7777", 1);
    EXPECT_EQ(config.translate(nullptr, "@Port@"), "7777");
    unsetenv("o_dispatch");
}

TEST_F(Translation, ServerNameFallsBackToEntry) {
    Configuration config("generic ZPI_NAME\nfrom-config\n%%\n");
    argInfo.serverName = "";
    EXPECT_EQ(config.translate(nullptr, "@ZPI_NAME@"), "from-config");
}

TEST_F(Translation, InstallTypePathsInThreeForms) {
    Configuration config("generic X\n@BIN@|@BIN+ROOT@|@BIN+ROOT+@\n%%\n");
    InstallType bin(Str("BIN"));
    bin.entry().validFor = SERVER;
    bin.entry().extraText = "@Arch@";
    bin.setPath("C:\\qrx\\bin");
    InstallHost h("h", "linux-ix86", "root", "", DEFAULT_ACCESS);
    EXPECT_EQ(config.translate(&h, "@X@"), "C:/qrx/bin/linux-ix86|C:/qrx/bin|C:/qrx");
    EXPECT_EQ(config.translate(nullptr, "@X@"), "C:/qrx/bin|C:/qrx/bin|C:/qrx");
    // The default path serves while no path was set.
    InstallType lib(Str("LIB"));
    lib.entry().defaultPath = "/usr/qrx/lib";
    EXPECT_EQ(config.translate(nullptr, "@LIB@ @LIB+ROOT+@"), "/usr/qrx/lib /usr/qrx");
    // An invalid declaration is not a type: the name is an ordinary entry.
    lib.entry().validFor = INVALID;
    EXPECT_EQ(config.translate(nullptr, "@LIB@"), "");
}

TEST_F(Translation, SelfReferentialSubdirectoryTemplateStops) {
    Configuration config("");
    InstallType bin(Str("BIN"));
    bin.entry().extraText = "@BIN@";
    bin.setPath("/b");
    InstallHost h("h", "linux-ix86", "root", "", DEFAULT_ACCESS);
    Str result = config.translate(&h, "@BIN@");
    EXPECT_EQ(result.index("/b"), 0);
    EXPECT_TRUE(log.has("Configuration translate ridiculous looping."));
}

TEST_F(Translation, DefineSetsEntriesOrInstallTypePaths) {
    Configuration config("generic A\nold\n%%\n");
    config.define(generic, "A", "new");
    config.define(generic, "Fresh", "f");
    EXPECT_EQ(entries(config), (std::vector<std::string>{"generic A=new", "generic Fresh=f"}));
    EXPECT_TRUE(log.has("Redefining A, type =generic"));
    InstallType man(Str("MAN"));
    config.define(generic, "MAN", "/usr/man!");
    EXPECT_EQ(man.entry().path, "/usr/man");
    EXPECT_EQ(man.forceInstall(), 1);
    EXPECT_EQ(config.items().length(), 2);
    EXPECT_TRUE(log.has("Warning: defining variable MAN which is an InstallType."));
}

}  // namespace
