// The sample medium as the build leaves it: its index declares the product's
// install types and file packs, and every file-package image installs the
// payload it describes, the way a push unpacks it in the type's directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "model/DebugLog.h"
#include "model/FilePack.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"
#include "tests/test_util.h"

namespace {

const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kPayload = QS_SOURCE_DIR "/sample/payload";
const std::string kFpack = QS_BUILD_DIR "/fpack/fpack";
const char* kArch = "linux-ix86";

// Reads the built index into a fresh install-type table, with the parse's
// trace in a private log.
class SampleIndex : public testing::Test {
  protected:
    void SetUp() override {
        savedTypes_ = InstallType::data;
        InstallType::data = Array<InstallTypeData>();
        dbFile.reopen(dir_.file("log"));
        text_ = testutil::readFile(kMedium + "/QRX.IND");
        ASSERT_FALSE(text_.empty()) << "no index in " << kMedium;
        index_ = OperationInfo(text_.c_str(), "QRX");
    }
    void TearDown() override {
        dbFile.reopen(defaultDebugLogPath());
        InstallType::data = savedTypes_;
    }
    std::string log() const { return testutil::readFile(dir_.file("log")); }
    static InstallType type(const char* name) { return InstallType(InstallType::id(name)); }

    testutil::TempDir dir_;
    std::string text_;
    OperationInfo index_;

  private:
    Array<InstallTypeData> savedTypes_;
};

TEST_F(SampleIndex, EveryLineIsAccepted) {
    EXPECT_TRUE(index_.IsValid());
    EXPECT_EQ(index_.productName(), "QRX");
    EXPECT_EQ(index_.description(), "Quill status toolkit");
    EXPECT_EQ(index_.revision(), "1.2.0");
    std::string l = log();
    for (const char* fault : {"Bogus", "can't handle", "whitespace", "dup gui"})
        EXPECT_EQ(l.find(fault), std::string::npos) << fault << " in\n" << l;
    // Only the server name comes without a default; no type is declared twice.
    size_t keep = l.find("Keeping dflt for ");
    EXPECT_EQ(l.substr(keep == std::string::npos ? 0 : keep), "Keeping dflt for ZPI_NAME of \n");
}

TEST_F(SampleIndex, InstallTypes) {
    struct Case {
        const char* name;
        const char* label;
        const char* defaultPath;
        int variable;
        int choices;
    };
    const Case cases[] = {
        {"BIN", "Binaries directory", "/usr/local/quillset", 0, 2},
        {"LIB", "Libraries directory", "/usr/local/quillset/lib", 0, 0},
        {"ZPIDB", "Server database directory", "/var/quillset/db", 0, 0},
        {"MAN", "Manual page directory", "/usr/local/man", 0, 0},
        {"APPD", "X11 app-defaults directory", "/usr/lib/X11/app-defaults", 0, 0},
        {"CAT", "Message catalogue directory", "/usr/local/quillset/msg", 0, 0},
        {"ZPI_NAME", "Server name", "", 1, 0},
        {"RN", "Region name", "Region1", 1, 0},
        {"CreatePaths", "Create if missing", "1", 1, 0},
    };
    EXPECT_EQ(InstallType::data.length(), int(sizeof cases / sizeof cases[0]));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallType t = type(c.name);
        ASSERT_TRUE(t.valid());
        const InstallTypeData& d = t.entry();
        EXPECT_EQ(d.label, c.label);
        EXPECT_EQ(d.validFor, SERVER);
        EXPECT_EQ(d.defaultPath, c.defaultPath);
        EXPECT_EQ(d.variable, c.variable);
        EXPECT_EQ(d.choices.length(), c.choices);
        // Nothing is enabled until the run sets a path.
        EXPECT_EQ(t.enabled(), 0);
    }
    EXPECT_EQ(type("BIN").entry().choices[1], "/opt/quillset");
}

// What each file pack installs: its image number, the distribution, the
// installed-check file and the files it brings (installed name, payload
// source).
struct PackCase {
    const char* type;
    int fileNumber;
    DistKind kind;
    const char* installedCheck;
    std::vector<std::pair<std::string, std::string>> files;
};

const std::vector<PackCase>& packCases() {
    static const std::vector<PackCase> cases = {
        {"BIN",
         1,
         ARCH_SPECIFIC,
         "bin/qsstat",
         {{"bin/qsstat", "bin/qsstat"}, {"bin/qsping", "bin/qsping"}}},
        {"LIB", 2, MACHINE_INDEPENDENT, "qslib.sh", {{"qslib.sh", "lib/qslib.sh"}}},
        {"ZPIDB", 3, MACHINE_INDEPENDENT, "qrx.conf", {{"qrx.conf", "db/qrx.conf"}}},
        {"MAN", 4, MACHINE_INDEPENDENT, "man1/qsstat.1", {{"man1/qsstat.1", "man/qsstat.1"}}},
        {"APPD", 5, MACHINE_INDEPENDENT, "QuillStatus", {{"QuillStatus", "appd/QuillStatus"}}},
        {"CAT", 6, MACHINE_INDEPENDENT, "", {{"qsstat.msg", "msg/qsstat.msg"}}},
    };
    return cases;
}

TEST_F(SampleIndex, FilePacksPerTypeAndArchitecture) {
    EXPECT_EQ(index_.filePacks().length(), int(packCases().size()));
    for (const PackCase& c : packCases()) {
        SCOPED_TRACE(c.type);
        const FilePack& fp = index_.filePack(type(c.type), kArch);
        EXPECT_EQ(fp.kind(), c.kind);
        EXPECT_EQ(fp.fileNumber(), c.fileNumber);
        EXPECT_EQ(fp.installedCheck(), c.installedCheck);
        EXPECT_GT(fp.sizeKB(), 0);
        // Machine-independent packs serve any architecture; the binaries
        // exist for one only.
        DistKind elsewhere = c.kind == ARCH_SPECIFIC ? DIST_NONE : c.kind;
        EXPECT_EQ(index_.filePack(type(c.type), "solaris2").kind(), elsewhere);
    }
    // The variables are settings, not packages.
    EXPECT_EQ(index_.kind(type("RN"), kArch), DIST_NONE);
    EXPECT_EQ(index_.kind(type("ZPI_NAME"), kArch), DIST_NONE);
    EXPECT_EQ(index_.kind(type("CreatePaths"), kArch), DIST_NONE);
}

TEST_F(SampleIndex, ScriptAndGuiItems) {
    const Script& s = index_.script(type("ZPIDB"), kArch);
    EXPECT_EQ(s.kind(), MACHINE_INDEPENDENT);
    EXPECT_EQ(s.name(), "QsInitDb");

    // One location field per directory type, one general field per setting
    // and the toggle for creating missing directories (on, group 0), all for
    // the server phase.
    std::string fields;
    for (int i = 0; i < index_.guiItems().length(); ++i) {
        const GuiItem& g = index_.guiItems()[i];
        EXPECT_EQ(g.phase(), PHASE_SERVER);
        EXPECT_EQ(g.value(), g.letter() == 'S' ? "0" : "");
        fields += std::string(1, g.letter()) + InstallType(g.installType()).entry().id.str() + " ";
    }
    EXPECT_EQ(fields, "LBIN LLIB LZPIDB LMAN LAPPD LCAT GZPI_NAME GRN SCreatePaths ");
}

TEST_F(SampleIndex, CatalogueRegeneratesTheIndexEntries) {
    // Every fp, script and gui line of the medium's index appears in the
    // catalogue text regenerated from the parsed index.
    std::string cat = index_.catalog().str();
    std::istringstream lines(text_);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("QRX:fp:", 0) == 0 || line.rfind("QRX:script:", 0) == 0) {
            EXPECT_NE(cat.find(line + "\n"), std::string::npos) << line << " not in\n" << cat;
        }
    }
}

// ---- the images -----------------------------------------------------------

testutil::RunResult unpackIn(const std::string& dir, const std::string& image) {
    return testutil::run(
        {"sh", "-c", "cd \"$1\" && \"$2\" -u - < \"$3\"", "sh", dir, kFpack, image});
}

mode_t permissions(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

TEST(SampleImages, EachImageInstallsItsPayloadInTheCurrentDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "the sample's packages give their files to root";
    testutil::TempDir root;
    for (const PackCase& c : packCases()) {
        SCOPED_TRACE(c.type);
        std::string image = kMedium + "/FILE" + std::to_string(c.fileNumber) + ".PKT";
        std::string dir = root.file(c.type);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        testutil::RunResult r = unpackIn(dir, image);
        // 2: installed, with notes such as a created directory.
        EXPECT_TRUE(r.status == 0 || r.status == 2) << r.status << "\n" << r.err;
        for (const auto& f : c.files) {
            std::string installed = dir + "/" + f.first;
            std::string source = kPayload + "/" + f.second;
            EXPECT_EQ(testutil::readFile(installed), testutil::readFile(source)) << installed;
            // The descriptions give programs 0755 and everything else 0644.
            mode_t mode = f.second.rfind("bin/", 0) == 0 ? 0755 : 0644;
            EXPECT_EQ(permissions(installed), mode) << installed;
        }
        if (*c.installedCheck) {
            EXPECT_NE(permissions(dir + "/" + c.installedCheck), 0u) << c.installedCheck;
        }
    }
}

TEST(SampleImages, DeclaredSizesCoverTheImages) {
    testutil::TempDir dir;
    std::string text = testutil::readFile(kMedium + "/QRX.IND");
    Array<InstallTypeData> saved = InstallType::data;
    dbFile.reopen(dir.file("log"));
    OperationInfo index(text.c_str(), "QRX");
    dbFile.reopen(defaultDebugLogPath());
    for (int i = 0; i < index.filePacks().length(); ++i) {
        const FilePack& fp = index.filePacks()[i];
        std::string image = kMedium + "/FILE" + std::to_string(fp.fileNumber()) + ".PKT";
        testutil::RunResult r = testutil::run({kFpack, "-u", "-s", image});
        ASSERT_EQ(r.status, 0) << image << "\n" << r.err;
        ASSERT_EQ(r.out.rfind("size= ", 0), 0u) << r.out;
        long bytes = std::stol(r.out.substr(6));
        EXPECT_GT(bytes, 0) << image;
        EXPECT_LE(bytes, fp.sizeKB() * 1024L) << image;
    }
    InstallType::data = saved;
}

TEST(SampleImages, InstalledProgramsRun) {
    if (geteuid() != 0) GTEST_SKIP() << "the sample's packages give their files to root";
    testutil::TempDir root;
    for (const PackCase& c : packCases()) {
        std::string dir = root.file(c.type);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        unpackIn(dir, kMedium + "/FILE" + std::to_string(c.fileNumber) + ".PKT");
    }
    std::vector<std::string> env = {"QS_LIB=" + root.file("LIB"),
                                    "QS_CONF=" + root.file("ZPIDB") + "/qrx.conf",
                                    "QS_MSGDIR=" + root.file("CAT")};
    testutil::RunResult r = testutil::run({root.file("BIN") + "/bin/qsstat"}, "", env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Quill status server:\n  server: localhost\n  region: Region1\n");

    env[1] = "QS_CONF=" + root.file("missing.conf");
    r = testutil::run({root.file("BIN") + "/bin/qsstat"}, "", env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qsstat: no server configuration found\n");
}

}  // namespace
