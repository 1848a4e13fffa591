// The Debian package installed on this machine with dpkg: its programs run
// the sample medium's install from where the package put them, and dpkg
// removes it again. Changes the machine, so it holds the peers lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "packaging/packaging_test_util.h"

namespace {

bool packageKnown() {
    return testutil::run({"dpkg-query", "-W", "-f=${Status}", "quillset"}).status == 0;
}

// Removes the package (and its conffiles) when a test leaves it behind.
struct PurgeAtEnd {
    ~PurgeAtEnd() {
        if (packageKnown()) testutil::run({"dpkg", "-P", "quillset"}, "", {}, 300);
    }
};

TEST(InstalledPackage, RunsTheSampleInstallAndIsRemovedCleanly) {
    if (geteuid() != 0) GTEST_SKIP() << "dpkg -i needs root";
    // Whatever an administrator installed is left as it is.
    if (packageKnown()) GTEST_SKIP() << "a quillset package is already known to dpkg here";
    testutil::TempDir dir;
    std::string why;
    const std::string deb = pkgtest::buildPackage(dir.path(), why);
    ASSERT_FALSE(deb.empty()) << why;

    PurgeAtEnd purge;
    testutil::RunResult in = testutil::run({"dpkg", "-i", deb}, "", {}, 300);
    ASSERT_EQ(in.status, 0) << in.out << in.err;
    for (const std::string& f : pkgtest::expectedFiles())
        EXPECT_TRUE(pkgtest::exists("/" + f)) << f;

    testutil::TempDir root;
    const std::string log = root.file("debug.log");
    testutil::RunResult r = pkgtest::installSample("/usr/bin/quillset_cli", root.path(), log);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    pkgtest::expectSampleInstalled(root.path());
    EXPECT_NE(testutil::readFile(log).find("using dflt: /usr/libexec/quillset/client_bundle"),
              std::string::npos);

    // dpkg -r takes every file but the conffile an administrator may have
    // edited; dpkg -P takes that too.
    testutil::RunResult rm = testutil::run({"dpkg", "-r", "quillset"}, "", {}, 300);
    ASSERT_EQ(rm.status, 0) << rm.out << rm.err;
    for (const std::string& f : pkgtest::expectedFiles())
        EXPECT_EQ(pkgtest::exists("/" + f), f == "etc/X11/app-defaults/Install") << f;
    EXPECT_FALSE(pkgtest::exists("/usr/libexec/quillset"));
    EXPECT_FALSE(pkgtest::exists("/usr/share/quillset"));
    testutil::RunResult purged = testutil::run({"dpkg", "-P", "quillset"}, "", {}, 300);
    ASSERT_EQ(purged.status, 0) << purged.out << purged.err;
    EXPECT_FALSE(pkgtest::exists("/etc/X11/app-defaults/Install"));
    EXPECT_FALSE(packageKnown());
}

}  // namespace
