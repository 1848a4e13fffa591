// The Debian package of the build: what it holds and that it brings no
// maintainer scripts (installing it starts and enables nothing).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "packaging/packaging_test_util.h"

namespace {

// The files and links of a `dpkg-deb -c` listing, without "./", and the
// owners it names.
struct Listing {
    std::vector<std::string> files;
    std::set<std::string> owners;
    std::vector<std::string> links;  // "name -> target"
};

Listing parseListing(const std::string& text) {
    Listing l;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string mode, owner, size, date, time, name;
        words >> mode >> owner >> size >> date >> time >> name;
        if (mode.empty() || mode[0] == 'd') continue;
        if (name.rfind("./", 0) == 0) name = name.substr(2);
        l.owners.insert(owner);
        l.files.push_back(name);
        if (mode[0] == 'l') {
            std::string arrow, target;
            words >> arrow >> target;
            l.links.push_back(name + " -> " + target);
        }
    }
    std::sort(l.files.begin(), l.files.end());
    return l;
}

TEST(Package, HoldsTheInstallationAndNoMaintainerScripts) {
    const std::string cannot = pkgtest::cannotInstallFromTheBuild();
    if (!cannot.empty()) GTEST_SKIP() << cannot;
    testutil::TempDir dir;
    std::string why;
    const std::string deb = pkgtest::buildPackage(dir.path(), why);
    ASSERT_FALSE(deb.empty()) << why;

    testutil::RunResult contents = testutil::run({"dpkg-deb", "-c", deb});
    ASSERT_EQ(contents.status, 0) << contents.err;
    Listing l = parseListing(contents.out);
    EXPECT_EQ(l.files, pkgtest::expectedFiles()) << contents.out;
    EXPECT_EQ(l.owners, std::set<std::string>{"root/root"});
    std::vector<std::string> links = {"usr/bin/quillset_cli -> ../libexec/quillset/quillset_cli"};
    if (QS_WITH_GUI)
        links.insert(links.begin(), "usr/bin/quillset -> ../libexec/quillset/quillset");
    EXPECT_EQ(l.links, links);

    testutil::RunResult fields =
        testutil::run({"dpkg-deb", "-f", deb, "Package", "Version", "Section", "Depends"});
    ASSERT_EQ(fields.status, 0) << fields.err;
    EXPECT_NE(fields.out.find("Package: quillset\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find(std::string("Version: ") + QS_VERSION + "\n"), std::string::npos)
        << fields.out;
    EXPECT_NE(fields.out.find("Section: admin\n"), std::string::npos) << fields.out;
    // The shared libraries the programs link are named, found by dpkg.
    EXPECT_NE(fields.out.find("Depends: "), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("libc6"), std::string::npos) << fields.out;
    if (QS_WITH_GUI) {
        EXPECT_NE(fields.out.find("libxm4"), std::string::npos) << fields.out;
    }

    const std::string control = dir.file("control");
    testutil::RunResult e = testutil::run({"dpkg-deb", "-e", deb, control});
    ASSERT_EQ(e.status, 0) << e.err;
    testutil::RunResult members = testutil::run({"ls", control});
    std::string expected = QS_WITH_GUI ? "conffiles\ncontrol\nmd5sums\n" : "control\nmd5sums\n";
    EXPECT_EQ(members.out, expected);
    if (QS_WITH_GUI) {
        EXPECT_EQ(testutil::readFile(control + "/conffiles"), "/etc/X11/app-defaults/Install\n");
    }
}

}  // namespace
