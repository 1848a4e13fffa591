// Installing compared with the real GNU cpio and tar: a plain odc archive
// whose first member is a keyword set installs like our own block, and an
// install gives the tree that tar extracts from the same files.
#include <gtest/gtest.h>

#include <string>

#include "unpack.h"
#include "unpack_test_util.h"

namespace {

using testutil::readFile;
using testutil::RunResult;
using testutil::TempDir;

RunResult sh(const std::string& script) {
    return testutil::run({"sh", "-c", script});
}

RunResult fpack(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {FPACK_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run(argv);
}

// One line per entry, sorted: name, type, mode, owner, group, time, link
// target, link count -- as find prints them.
std::string find_listing(const std::string& root) {
    RunResult r = sh("cd '" + root + "' && find . -printf '%P %y %m %U %G %T@ %l %n\\n' | sort");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// Every regular file of a also in b with the same bytes (cmp).
void expect_same_contents(const std::string& a, const std::string& b) {
    RunResult r = sh("cd '" + a + "' && find . -type f | while read -r f; do cmp \"$f\" '" + b +
                     "'/\"$f\" || exit 1; done");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

struct Trees {
    TempDir d;
    std::string src = d.file("src"), tree = src + "/tree";
    Trees() {
        uptest::mkdir_p(tree);
        uptest::make_tree(tree);
    }
    // Our own block of the tree, installed to dst/tree with the program.
    std::string install_ours(const std::string& dst) {
        uptest::mkdir_p(dst);
        std::string desc = d.write("tree.fpd", uptest::description(src, dst));
        std::string blk = d.file("ours.fpb");
        RunResult p = fpack({"-f", blk, desc});
        EXPECT_EQ(p.status, 0) << p.err;
        RunResult u = fpack({"-u", blk});
        EXPECT_EQ(u.status, 0) << u.err;
        return dst + "/tree";
    }
};

TEST(UnpackPeers, CpioOdcArchiveInstallsLikeOurBlock) {
    Trees t;
    std::string ours = t.install_ours(t.d.file("ours"));
    // A keyword set as the first member puts the relative names under a
    // prefix, as the destination of our own block does.
    std::string cpio_dst = t.d.file("cpio");
    uptest::mkdir_p(cpio_dst);
    uptest::mkdir_p(t.src + "/VelkarCntlDir/peer");
    t.d.write("src/VelkarCntlDir/peer/cntl",
              "#*KFP-v2.07\tVelkar Filepack (version v2.07)\n"
              "unix_platform_prefix=" +
                  cpio_dst + "\n");
    std::string blk = t.d.file("peer.cpio");
    RunResult c = sh("cd '" + t.src + "' && { echo VelkarCntlDir/peer/cntl; find tree; } | " +
                     "cpio -o -H odc --quiet > '" + blk + "'");
    ASSERT_EQ(c.status, 0) << c.err;
    RunResult u = fpack({"-u", blk});
    // Success, with notes: a plain archive; odc carries the body of every
    // name of a hard-linked file, so the second name's copy is read past.
    EXPECT_EQ(u.status, 2) << u.err;
    EXPECT_EQ(u.err.find("messages:\nnon-Velkar cpio archive\nlink: " + cpio_dst + "/tree/"), 0u)
        << u.err;
    EXPECT_NE(u.err.find(": skipping dup body\n"), std::string::npos) << u.err;
    EXPECT_EQ(find_listing(cpio_dst + "/tree"), find_listing(ours));
    EXPECT_EQ(uptest::describe(cpio_dst + "/tree"), uptest::describe(ours));
    expect_same_contents(ours, cpio_dst + "/tree");
}

TEST(UnpackPeers, InstallMatchesTarExtraction) {
    Trees t;
    std::string ours = t.install_ours(t.d.file("ours"));
    std::string by_tar = t.d.file("tar");
    uptest::mkdir_p(by_tar);
    RunResult r = sh("tar -C '" + t.src + "' -cf - tree | tar -C '" + by_tar + "' -xpf -");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(find_listing(ours), find_listing(by_tar + "/tree"));
    EXPECT_EQ(uptest::describe(ours), uptest::describe(by_tar + "/tree")) << "hard-link identity";
    expect_same_contents(by_tar + "/tree", ours);

    // Removing it leaves nothing of it, as removing tar's copy would.
    RunResult u = fpack({"-u", "-r", t.d.file("ours.fpb")});
    EXPECT_EQ(u.status, 0) << u.err;
    EXPECT_EQ(sh("ls -A '" + t.d.file("ours") + "'").out, "");
}

}  // namespace
