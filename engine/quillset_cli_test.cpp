// The command-line installer end to end on the sample medium against this
// machine: it scouts the install locations through the local shell and
// prints what it would do, and what is wrong, before asking to continue.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

const std::string kCli = QS_BUILD_DIR "/quillset_cli";
const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kFpack = QS_BUILD_DIR "/fpack/fpack";

std::string hostName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// One run under a fresh root, where each install type of the sample gets
// its own directory; the answer to the prompt is "n".
class CliOnSample : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "scouting installs as root";
        log_ = root_.file("debug.log");
    }
    // Unpacks image n of the medium into dir, as an earlier install did.
    void preinstall(const std::string& dir, int n) {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        testutil::RunResult r =
            testutil::run({"sh", "-c", "cd \"$1\" && \"$2\" -u - < \"$3\"", "sh", dir, kFpack,
                           kMedium + "/FILE" + std::to_string(n) + ".PKT"});
        ASSERT_TRUE(r.status == 0 || r.status == 2) << r.err;
    }
    testutil::RunResult install(std::vector<std::string> words) {
        std::vector<std::string> argv = {kCli, "-c", kMedium, "-a", hostName()};
        argv.insert(argv.end(), words.begin(), words.end());
        return testutil::run(argv, "n\n", {"QUILLSET_DEBUG_LOG=" + log_});
    }
    std::string at(const std::string& name) const { return root_.file(name); }
    std::string log() const { return testutil::readFile(log_); }

    testutil::TempDir root_;
    std::string log_;
};

TEST_F(CliOnSample, PushesMissingTypesKeepsInstalledOnesAndReportsReadOnlyPaths) {
    preinstall(at("lib"), 2);
    // A location below a plain file can never be created.
    root_.write("plain", "not a directory\n");
    testutil::RunResult r =
        install({"BIN=" + at("bin"), "LIB=" + at("lib"), "ZPIDB=" + at("plain/db"),
                 "MAN=" + at("man"), "APPD=" + at("appd"), "CAT=" + at("cat")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string host = hostName();
    const std::string failures = "The following problems were encountered:\n Host " + host +
                                 ":\n  The path `" + at("plain/db") + "' is read only.\n";
    const std::string toDo =
        "Unless you cancel, the following operations will be executed:\n"
        "   " +
        host +
        " already has the LIB installed.\n"
        "   need to copy the MAN (generic) to:\n"
        "         " +
        host + ":" + at("man") +
        "\n"
        "   need to copy the APPD (generic) to:\n"
        "         " +
        host + ":" + at("appd") +
        "\n"
        "   need to copy the CAT (generic) to:\n"
        "         " +
        host + ":" + at("cat") +
        "\n"
        "   need to copy the BIN (linux-ix86) to:\n"
        "         " +
        host + ":" + at("bin") + "\n";
    EXPECT_NE(r.out.find(failures), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(toDo + "Continue(y/n)? "), std::string::npos) << r.out;
    // The list goes to the debug log as well.
    EXPECT_NE(log().find(toDo), std::string::npos) << log();
    // Scouting created the missing locations; "n" installed nothing.
    EXPECT_TRUE(exists(at("bin")));
    EXPECT_FALSE(exists(at("bin/bin/qsstat")));
    EXPECT_FALSE(exists(at("plain/db")));
}

TEST_F(CliOnSample, MissingLocationsAreReportedWhenCreatingIsOff) {
    ASSERT_EQ(mkdir(at("bin").c_str(), 0755), 0);
    testutil::RunResult r =
        install({"CreatePaths=0", "BIN=" + at("bin"), "MAN=" + at("man"), "CAT=" + at("cat")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string host = hostName();
    // One failure lists every missing directory; the existing one is pushed.
    EXPECT_NE(r.out.find(" Host " + host +
                         ":\n  The following directories do not exist:\n"
                         "   (select ``create if missing'' option to override)\n"
                         "    " +
                         at("man") + "\n    " + at("cat") + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Unless you cancel, the following operations will be executed:\n"
                         "   need to copy the BIN (linux-ix86) to:\n"
                         "         " +
                         host + ":" + at("bin") + "\nContinue(y/n)? "),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(exists(at("man")));
    EXPECT_FALSE(exists(at("cat")));
}

TEST_F(CliOnSample, TypesWhoseMarkerIsPresentAreNotPushedAgain) {
    // Every location holds its package. The catalogue's package names no
    // marker file of its own, and unpacking alone does not write the default
    // marker (a push does), so only that type is pushed again.
    const char* dirs[] = {"bin", "lib", "db", "man", "appd", "cat"};
    for (int n = 1; n <= 6; ++n) preinstall(at(dirs[n - 1]), n);
    testutil::RunResult r = install({"BIN=" + at("bin"), "LIB=" + at("lib"), "ZPIDB=" + at("db"),
                                     "MAN=" + at("man"), "APPD=" + at("appd"), "CAT=" + at("cat")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string host = hostName();
    EXPECT_EQ(r.out.find("problems were encountered"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Unless you cancel, the following operations will be executed:\n"
                         "   " +
                         host +
                         " already has the LIB installed.\n"
                         "   " +
                         host +
                         " already has the ZPIDB installed.\n"
                         "   " +
                         host +
                         " already has the MAN installed.\n"
                         "   " +
                         host +
                         " already has the APPD installed.\n"
                         "   need to copy the CAT (generic) to:\n"
                         "         " +
                         host + ":" + at("cat") +
                         "\n"
                         "   " +
                         host +
                         " already has the BIN installed.\n"
                         "Continue(y/n)? "),
              std::string::npos)
        << r.out;
}

}  // namespace
