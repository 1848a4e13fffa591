// An installation as `make install DESTDIR=...` makes it: the GNU layout,
// relative links in bin/, and programs that work from where they were put.
#include <dirent.h>
#include <gtest/gtest.h>
#include <nl_types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "framework/qrx_msg.h"
#include "model/Catalog.h"
#include "model/config_data.h"
#include "packaging/packaging_test_util.h"

namespace {

using pkgtest::exists;

// Files and links below dir (not directories), relative to top.
void listTree(const std::string& top, const std::string& rel, std::vector<std::string>& out) {
    const std::string dir = rel.empty() ? top : top + "/" + rel;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    for (struct dirent* e; (e = readdir(d));) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string sub = rel.empty() ? name : rel + "/" + name;
        struct stat st {};
        ASSERT_EQ(lstat((top + "/" + sub).c_str(), &st), 0) << sub;
        if (S_ISDIR(st.st_mode))
            listTree(top, sub, out);
        else
            out.push_back(sub);
    }
    closedir(d);
}

// The build installed with the prefix /usr into a fresh DESTDIR.
class Installed : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = pkgtest::cannotInstallFromTheBuild();
        if (!why.empty()) GTEST_SKIP() << why;
        testutil::RunResult r =
            testutil::run({QS_CMAKE, "--install", QS_BUILD_DIR, "--prefix", "/usr"}, "",
                          {"DESTDIR=" + dest_.path()}, 300);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    std::string at(const std::string& rel) const { return dest_.path() + "/" + rel; }

    testutil::TempDir dest_;
};

TEST_F(Installed, LaysTheFilesOutTheGnuWay) {
    std::vector<std::string> files;
    listTree(dest_.path(), "", files);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, pkgtest::expectedFiles());

    // The programs that look beside themselves for their pieces live with
    // them; bin/ links to them relatively, so any DESTDIR or prefix works.
    std::vector<std::string> linked = {"quillset_cli"};
    if (QS_WITH_GUI) linked.push_back("quillset");
    for (const std::string& p : linked) {
        char target[256] = "";
        ssize_t n = readlink(at("usr/bin/" + p).c_str(), target, sizeof target - 1);
        ASSERT_GT(n, 0) << p;
        EXPECT_EQ(std::string(target, size_t(n)), "../libexec/quillset/" + p);
    }
    for (const char* program : {"usr/bin/fpack", "usr/libexec/quillset/quillset_cli",
                                "usr/libexec/quillset/client_bundle/bin/linux-ix86/fpack",
                                "usr/libexec/quillset/BLN/INSTALL/vlk_ssh_askpass.sh"})
        EXPECT_EQ(access(at(program).c_str(), X_OK), 0) << program;
    // The engine copied to hosts is the one installed for local use.
    EXPECT_EQ(testutil::readFile(at("usr/bin/fpack")),
              testutil::readFile(at("usr/libexec/quillset/client_bundle/bin/linux-ix86/fpack")));
}

// A copy of the configuration file is what quillset_cli -z needs: the
// built-in configuration, whole.
TEST_F(Installed, ConfigurationFileIsTheBuiltInOne) {
    std::string builtIn;
    for (char** p = config_data; *p; ++p) builtIn += *p;
    EXPECT_EQ(testutil::readFile(at("usr/share/quillset/quillset.cfg")), builtIn);
}

// Every default text of both catalogues is in the installed catalogue, so
// a translation made from its source starts from the program's own texts.
TEST_F(Installed, CataloguesHoldTheProgramsTexts) {
    for (const Catalog* c : {&InstallOpsCatalog, &InstallCatalog}) {
        const std::string path = at("usr/share/quillset/nls/en/" + std::string(c->name) + ".cat");
        nl_catd cd = catopen(path.c_str(), 0);
        ASSERT_NE(cd, reinterpret_cast<nl_catd>(-1)) << path;
        for (long i = 0; i < c->entryCount; ++i) {
            const CatalogEntry& e = c->entries[i];
            static const char missing[] = "<missing>";
            EXPECT_STREQ(catgets(cd, QRX_MSG_SET, int(e.number), missing), e.text)
                << c->name << " " << e.number;
        }
        catclose(cd);
    }
}

TEST_F(Installed, ProgramsAnswerHelpAndVersion) {
    const std::string cli = at("usr/bin/quillset_cli");
    const std::string fpack = at("usr/bin/fpack");
    const std::string version = std::string(" (quillset) ") + QS_VERSION + "\n";
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string outStart;
    } cases[] = {
        {{cli, "--version"}, 0, "quillset_cli" + version},
        {{cli, "--help"}, 0, "Usage: quillset_cli -c <cdrom-path>"},
        {{cli, "-y", "--help"}, 0, "Usage: quillset_cli -c <cdrom-path>"},
        {{fpack, "--version"}, 0, "fpack" + version},
        {{fpack, "--help"}, 0, "Usage:  " + fpack + " [-C dir ]"},
        {{fpack, "-u", "-p", "--version"}, 0, "fpack" + version},
        // The value of an option, or a word after "--", is no long option.
        {{cli, "-Z", "--help"}, 2, ""},
        {{cli, "--", "--version"}, 2, ""},
        {{fpack, "-N", "--help"}, 1, ""},
        {{fpack, "-C", "--version"}, 1, ""},
    };
    for (const Case& c : cases) {
        testutil::RunResult r =
            testutil::run(c.argv, "", {"QUILLSET_DEBUG_LOG=/dev/null", "IgnoreRoot=1"});
        const std::string what = testing::PrintToString(c.argv);
        EXPECT_EQ(r.status, c.status) << what << r.err;
        EXPECT_EQ(r.out.rfind(c.outStart, 0), 0u) << what << r.out;
        if (c.status == 0) {
            EXPECT_EQ(r.err, "") << what;
        }
    }
    if (QS_WITH_GUI) {
        // No display is needed to ask the window front end.
        testutil::RunResult r =
            testutil::run({"env", "-u", "DISPLAY", at("usr/bin/quillset"), "--version"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "quillset" + version);
    }
}

// The installed installer, run from its installed place with the installed
// configuration file, installs the sample medium onto this machine: it finds
// its client bundle beside itself, not in the build tree.
TEST_F(Installed, CliInstallsTheSampleFromItsInstalledPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "installing onto this machine needs root";
    testutil::TempDir root;
    const std::string log = root.file("debug.log");
    testutil::RunResult r = pkgtest::installSample(at("usr/bin/quillset_cli"), root.path(), log,
                                                   {"-z", at("usr/share/quillset/quillset.cfg")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    pkgtest::expectSampleInstalled(root.path());
    const std::string logged = testutil::readFile(log);
    EXPECT_NE(logged.find("using dflt: " + at("usr/libexec/quillset/client_bundle")),
              std::string::npos)
        << logged;
    EXPECT_EQ(logged.find(QS_BUILD_DIR "/client_bundle"), std::string::npos);
}

// A server-only build needs neither GoogleTest nor Motif: it configures
// with both out of reach and has no test or window targets.
TEST(ServerOnlyBuild, ConfiguresWithoutGoogleTestOrMotif) {
    testutil::TempDir dir;
    testutil::RunResult r = testutil::run(
        {QS_CMAKE, "-S", QS_SOURCE_DIR, "-B", dir.path(), "-DBUILD_TESTING=OFF", "-DQS_GUI=OFF",
         "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"},
        "", {}, 300);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    testutil::RunResult targets =
        testutil::run({QS_CMAKE, "--build", dir.path(), "--target", "help"}, "", {}, 120);
    ASSERT_EQ(targets.status, 0) << targets.err;
    for (const char* wanted : {"quillset_cli", "fpack", "install", "package"})
        EXPECT_NE(targets.out.find(" " + std::string(wanted) + "\n"), std::string::npos) << wanted;
    for (const char* unwanted :
         {"test_support", "core_tests", "fpack_tests", "gui_lib", "install_time", " quillset\n"})
        EXPECT_EQ(targets.out.find(unwanted), std::string::npos) << unwanted;
    const std::string cache = testutil::readFile(dir.file("CMakeCache.txt"));
    EXPECT_EQ(cache.find("QS_XM:"), std::string::npos);
    EXPECT_EQ(cache.find("GTest_DIR:"), std::string::npos);
}

}  // namespace
