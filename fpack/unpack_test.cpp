#include "unpack.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "unpack_test_util.h"

namespace {

using testutil::readFile;
using testutil::TempDir;
using uptest::Result;

// A source tree packed into a block whose names lead to dst/tree.
struct Fixture {
    TempDir d;
    std::string src = d.file("src"), dst = d.file("dst");
    std::string tree = src + "/tree", out = dst + "/tree";
    explicit Fixture(bool sample = true) {
        uptest::mkdir_p(tree);
        if (sample) uptest::make_tree(tree);
    }
    std::string block(const std::string& keywords = "", int code = FP_OP_PACK) {
        Result r = uptest::pack(uptest::description(src, dst, keywords), code);
        EXPECT_EQ(r.rv, 0) << r.msgs;
        return r.out;
    }
    Result install(const std::string& blk, const std::string& override = "",
                   long mods = FP_MOD_DEFAULT, uptest::Source source = uptest::Source::memory) {
        return uptest::unpack(blk, FP_OP_INSTALL, mods, override, {}, source);
    }
};

// A second name for a file on disk: while both names share one inode,
// the file was left alone; an install writes a new file.
std::string witness(const std::string& path) {
    std::string w = path + ".witness";
    EXPECT_EQ(link(path.c_str(), w.c_str()), 0) << path;
    return w;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return lstat(a.c_str(), &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sa.st_ino == sb.st_ino &&
           sa.st_dev == sb.st_dev;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(UnpackInstall, TreeEqualsTheSource) {
    Fixture f;
    Result r = f.install(f.block());
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(uptest::describe(f.out), uptest::describe(f.tree));
    if (uptest::is_root()) {
        struct stat st;
        ASSERT_EQ(stat((f.out + "/sub/deeper/tool").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 04755u) << "setuid bit kept with the changed owner";
        EXPECT_EQ(st.st_uid, 4321u);
    }
}

TEST(UnpackInstall, CompressedAndCheckedBlockInstallsTheSame) {
    Fixture f;
    Result r = f.install(f.block("do_compress=y\ndo_checksum=y\n"));
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(uptest::describe(f.out), uptest::describe(f.tree));
}

TEST(UnpackInstall, ReinstallWithNoOverwrite) {
    Fixture f;
    std::string blk = f.block();
    ASSERT_EQ(f.install(blk).rv, 0);
    uptest::write_file(f.out + "/a.txt", "changed on disk\n", 0644, 1600000000);

    // Without backup_fmt every existing node is left alone and logged.
    Result r = f.install(blk, "no_overwrite=y\nstop_on_error=n\n");
    EXPECT_EQ(r.rv, FP_ST_FAILED);
    EXPECT_NE(r.msgs.find(f.out + "/a.txt: skipped. no overwrite\n"), std::string::npos) << r.msgs;
    EXPECT_EQ(readFile(f.out + "/a.txt"), "changed on disk\n");
    EXPECT_EQ(readFile(f.out + "/sub/hard"), "changed on disk\n") << "hard link kept";

    // With backup_fmt the file is backed up, then replaced.
    r = f.install(blk, "no_overwrite=y\nbackup_fmt=%p.%f.%n\n");
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(readFile(f.out + "/.a.txt.1"), "changed on disk\n");
    EXPECT_EQ(readFile(f.out + "/a.txt"), "alpha\n");
    r = f.install(blk, "no_overwrite=y\nbackup_fmt=%p.%f.%n\n");
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(readFile(f.out + "/.a.txt.2"), "alpha\n") << "next free number";
}

TEST(UnpackInstall, BackupNamesAndTheirFailures) {
    struct Case {
        const char* fmt;
        const char* backup;  // relative to the tree, or null: install refused
        const char* msg;
    };
    const Case cases[] = {
        {"%f.bak", "a.txt.bak", ""},
        {"%%%f%q", "%a.txt", ""},
        {"%f.%n.%n", nullptr, "/a.txt: multiple %n\n"},
    };
    for (const Case& c : cases) {
        Fixture f;
        std::string blk = f.block();
        ASSERT_EQ(f.install(blk).rv, 0);
        uptest::write_file(f.out + "/a.txt", "old\n", 0644, 1600000000);
        Result r = f.install(blk, std::string("backup_fmt=") + c.fmt + "\nstop_on_error=n\n");
        if (c.backup != nullptr) {
            EXPECT_EQ(r.rv, 0) << c.fmt << r.msgs;
            EXPECT_EQ(readFile(f.out + "/" + c.backup), "old\n") << c.fmt;
        } else {
            EXPECT_NE(r.msgs.find(f.out + c.msg), std::string::npos) << c.fmt << r.msgs;
            EXPECT_EQ(readFile(f.out + "/a.txt"), "old\n") << c.fmt;
        }
    }
}

TEST(UnpackInstall, IdenticalFilesSkippedByChecksumWithO) {
    Fixture f;
    std::string blk = f.block();
    ASSERT_EQ(f.install(blk).rv, 0);
    std::string same = f.out + "/private/key", differs = f.out + "/sub/big.bin";
    // Same size, mode and time, different bytes: only the checksum tells.
    std::string body = readFile(differs);
    body[100] ^= 1;
    uptest::write_file(differs, body, 0640, 1500000200);
    std::string same_w = witness(same), differs_w = witness(differs);

    Result r = f.install(blk, "", FP_MOD_D | FP_MOD_O);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_TRUE(same_file(same, same_w)) << "identical file left alone";
    EXPECT_FALSE(same_file(differs, differs_w)) << "changed file installed again";
    EXPECT_EQ(readFile(differs), readFile(f.tree + "/sub/big.bin"));

    // With a as well, every file is written again.
    r = f.install(blk, "", FP_MOD_D | FP_MOD_O | FP_MOD_A);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_FALSE(same_file(same, same_w));
}

TEST(UnpackInstall, SkipOlderSource) {
    Fixture f;
    std::string blk = f.block();
    ASSERT_EQ(f.install(blk).rv, 0);
    uptest::write_file(f.out + "/a.txt", "newer\n", 0644, 1700000000);
    Result r = f.install(blk, "skip_older_src=y\n");
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_NE(r.msgs.find(f.out + "/a.txt: skipped. older source\n"), std::string::npos) << r.msgs;
    EXPECT_EQ(readFile(f.out + "/a.txt"), "newer\n");
    EXPECT_EQ(readFile(f.out + "/sub/big.bin"), readFile(f.tree + "/sub/big.bin"));
}

TEST(UnpackInstall, HeadersOnlyBlockIsRefused) {
    Fixture f;
    std::string blk = f.block("", FP_OP_PACK_HDRS);
    Result r = f.install(blk);
    EXPECT_EQ(r.rv, 1);
    EXPECT_NE(r.msgs.find("install of HDRS fps\nFATAL.\n"), std::string::npos) << r.msgs;
    EXPECT_FALSE(exists(f.out));
    r = uptest::unpack(blk, FP_OP_REPACK);
    EXPECT_NE(r.msgs.find("install of HDRS fps\n"), std::string::npos) << r.msgs;
    // Listing it works: headers carry everything a listing shows.
    r = uptest::unpack(blk, FP_OP_UNPACK_LIST, FP_MOD_D | FP_MOD_N);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_NE(r.out.find(f.out + "/sub/big.bin\n"), std::string::npos) << r.out;
}

TEST(UnpackInstall, DotDotNamesAreNeverInstalled) {
    Fixture f(false);
    uptest::write_file(f.tree + "/evil", "x", 0644, 1500000000);
    uptest::write_file(f.tree + "/good", "y", 0644, 1500000000);
    // The destination option puts ".." into the first name.
    std::string desc = uptest::description(f.src, f.dst, "", "tree/evil d=../escape\ntree/good");
    Result p = uptest::pack(desc);
    ASSERT_EQ(p.rv, 0) << p.msgs;
    Result r = f.install(p.out, "stop_on_error=n\n");
    EXPECT_EQ(r.rv, FP_ST_FAILED);
    EXPECT_NE(r.msgs.find("../escape/evil: name has a \"..\" component; not installed\n"),
              std::string::npos)
        << r.msgs;
    EXPECT_FALSE(exists("/escape"));
    EXPECT_EQ(readFile(f.dst + "/good"), "y") << "the node after it is read in phase";
}

TEST(UnpackInstall, NothingIsWrittenBeneathALinkOfTheSamePackage) {
    Fixture f(false);
    TempDir outside;
    ASSERT_EQ(symlink(outside.path().c_str(), (f.tree + "/link").c_str()), 0);
    uptest::write_file(f.src + "/payload", "owned", 0644, 1500000000);
    std::string desc = uptest::description(f.src, f.dst, "follow_links=n\n",
                                           "tree\npayload d=" + f.dst.substr(1) + "/tree/link");
    Result p = uptest::pack(desc);
    ASSERT_EQ(p.rv, 0) << p.msgs;
    Result r = f.install(p.out, "stop_on_error=n\n");
    EXPECT_NE(
        r.msgs.find(f.out + "/link/payload: " + f.out + "/link is a symbolic link; not followed"),
        std::string::npos)
        << r.msgs;
    EXPECT_FALSE(exists(outside.path() + "/payload"));
}

// The file being written when the input turns bad is removed.
TEST(UnpackInstall, CorruptCheckBytesLeaveNoPartialFile) {
    Fixture f;
    std::string blk = f.block("do_checksum=y\n");
    // The big file's body spans several records; spoil a byte in the third.
    size_t at = blk.find("VelkarCntlDir") + 3 * 16384;
    ASSERT_LT(at, blk.size());
    blk[at] ^= 0x55;
    Result r = f.install(blk);
    EXPECT_EQ(r.rv, 1);
    EXPECT_NE(r.msgs.find("unpack: input error (err=54, blkno="), std::string::npos) << r.msgs;
    EXPECT_NE(r.msgs.find("): check bytes do not match: the block was changed or damaged on its "
                          "way\n"),
              std::string::npos)
        << r.msgs;
    EXPECT_FALSE(exists(f.out + "/sub/big.bin")) << r.msgs;
}

// Names in the sample tree's sub directory other than those an install
// that stopped at big.bin may have made (nodes come in directory order).
std::string strays(const std::string& sub) {
    std::string out;
    for (const std::string& n : uptest::all_names(sub)) {
        std::string top = n.substr(0, n.find('/'));
        if (top != "deeper" && top != "hard" && top != "rel") out += n + " ";
    }
    return out;
}

const uptest::Source kSources[] = {uptest::Source::memory, uptest::Source::file,
                                   uptest::Source::stream};

// Blocks read from a regular file (bodies skipped by offset, moved into
// files by the kernel) and from a stream that cannot seek install,
// reinstall and uninstall as from memory.
TEST(UnpackInstall, EverySourceInstallsReinstallsAndUninstalls) {
    for (uptest::Source source : kSources) {
        for (const char* keywords : {"", "do_compress=y\ndo_checksum=y\n"}) {
            Fixture f;
            std::string blk = f.block(keywords);
            for (int round = 0; round < 2; round++) {
                Result r = f.install(blk, "", FP_MOD_DEFAULT, source);
                EXPECT_EQ(r.rv, 0) << r.msgs;
                EXPECT_EQ(uptest::describe(f.out), uptest::describe(f.tree))
                    << (int)source << keywords << round;
            }
            Result r = uptest::unpack(blk, FP_OP_UNINSTALL, FP_MOD_DEFAULT, "", {}, source);
            EXPECT_EQ(r.rv, 0) << r.msgs;
            EXPECT_FALSE(exists(f.out)) << (int)source << keywords;
        }
    }
}

TEST(UnpackInstall, FailedWriteRemovesTheFile) {
    for (uptest::Source source : kSources) {
        Fixture f;
        std::string blk = f.block();
        struct rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit small = old;
        small.rlim_cur = 32768;
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        Result r = f.install(blk, "stop_on_error=n\n", FP_MOD_DEFAULT, source);
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, SIG_DFL);
        EXPECT_EQ(r.rv, 1);
        EXPECT_NE(r.msgs.find("Unable to write file: " + f.out +
                              "/sub/big.bin: File too large\n"
                              "bad file write.\nFATAL.\n"),
                  std::string::npos)
            << r.msgs;
        EXPECT_FALSE(exists(f.out + "/sub/big.bin"));
        EXPECT_EQ(strays(f.out + "/sub"), "") << (int)source;
    }
}

// A block cut inside a body ends an install or an uninstall with an input
// error whatever it is read from; the file being written is not left.
TEST(UnpackStream, CutBlockIsAnInputError) {
    for (uptest::Source source : kSources) {
        for (int code : {FP_OP_INSTALL, FP_OP_UNINSTALL}) {
            Fixture f;
            std::string blk = f.block();
            size_t body = blk.find("big.bin");
            ASSERT_NE(body, std::string::npos);
            if (code == FP_OP_UNINSTALL) {
                ASSERT_EQ(f.install(blk).rv, 0);
            }
            Result r =
                uptest::unpack(blk.substr(0, body + 40000), code, FP_MOD_DEFAULT, "", {}, source);
            EXPECT_EQ(r.rv, 1) << r.msgs;
            EXPECT_NE(r.msgs.find("unpack: input error (err=0, blkno="), std::string::npos)
                << (int)source << " " << code << "\n"
                << r.msgs;
            if (code == FP_OP_INSTALL) {
                EXPECT_EQ(strays(f.out + "/sub"), "") << (int)source;
            }
        }
    }
}

TEST(UnpackUninstall, RemovesThePackageButNotForeignFiles) {
    Fixture f;
    std::string blk = f.block();
    ASSERT_EQ(f.install(blk).rv, 0);
    uptest::write_file(f.out + "/sub/foreign", "mine", 0644, 1500000000);
    Result r = uptest::unpack(blk, FP_OP_UNINSTALL);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_NE(
        r.msgs.find("uninstall: not removing directory " + f.out + "/sub: Directory not empty\n"),
        std::string::npos)
        << r.msgs;
    auto left = uptest::describe(f.out, false);
    std::vector<std::string> names;
    for (auto& kv : left) names.push_back(kv.first);
    EXPECT_EQ(names, (std::vector<std::string>{".", "sub", "sub/foreign"}));
    // Removing it again only reports what is gone.
    r = uptest::unpack(blk, FP_OP_UNINSTALL);
    EXPECT_NE(r.msgs.find("uninstall: " + f.out + "/a.txt: Not found\n"), std::string::npos);
}

TEST(UnpackUninstall, EmptyParentsGoWithRmEmptyDirs) {
    Fixture f(false);
    uptest::mkdir_p(f.tree + "/x/y");
    uptest::write_file(f.tree + "/x/y/f", "f", 0644, 1500000000);
    // Only the file is packed: its directories are not nodes of the block.
    std::string desc =
        uptest::description(f.src, f.dst, "", "tree/x/y/f d=" + f.dst.substr(1) + "/x/y");
    Result p = uptest::pack(desc);
    ASSERT_EQ(p.rv, 0) << p.msgs;
    ASSERT_EQ(f.install(p.out).rv, 0);
    ASSERT_TRUE(exists(f.dst + "/x/y/f"));
    Result r = uptest::unpack(p.out, FP_OP_UNINSTALL, FP_MOD_DEFAULT,
                              "rm_empty_dirs=y\ndefault_dest=" + f.dst + "\n");
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_FALSE(exists(f.dst + "/x"));
    EXPECT_TRUE(exists(f.dst)) << "the destination root stays";
}

TEST(UnpackListFile, TwoPackagesOfOneNameAppend) {
    Fixture f;
    std::string blk = f.block();
    TempDir lists;
    // Two blocks back to back are two packages of one stream.
    Result r = f.install(blk + blk, "list_path=" + lists.path() + "\n");
    EXPECT_EQ(r.rv, 0) << r.msgs;
    std::string log = lists.path() + "/pkg.log";
    EXPECT_NE(r.msgs.find("list file: " + log + "\n"), std::string::npos) << r.msgs;
    EXPECT_NE(r.msgs.find("list file (continued): " + log + "\n"), std::string::npos) << r.msgs;
    std::string text = readFile(log);
    size_t first = text.find(f.out + "/sub/big.bin\n");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(f.out + "/sub/big.bin\n", first + 1), std::string::npos) << text;
}

TEST(UnpackMask, BitsMarkWhatAnInstallWouldWrite) {
    Fixture f;
    std::string blk = f.block();
    // Nothing on disk: every file node passes (the "cntl" node, bit 0, not).
    Result all = uptest::unpack(blk, FP_OP_LIST_BITS, FP_MOD_D | FP_MOD_N);
    EXPECT_EQ(all.rv, 0) << all.msgs;
    ASSERT_EQ(all.bits.size(), 4u);
    EXPECT_EQ(all.bits[0] & 1u, 0u);
    EXPECT_EQ(__builtin_popcount(all.bits[0]), 13) << "tree and the 12 nodes below it";
    EXPECT_FALSE(exists(f.out)) << "masking changes nothing";

    ASSERT_EQ(f.install(blk).rv, 0);
    ASSERT_EQ(unlink((f.out + "/sub/big.bin").c_str()), 0);
    Result some = uptest::unpack(blk, FP_OP_LIST_BITS, FP_MOD_D | FP_MOD_O | FP_MOD_N);
    EXPECT_EQ(some.rv, 0) << some.msgs;
    EXPECT_EQ(__builtin_popcount(some.bits[0]), 1);
    // The second pass lists only the marked node.
    Result list = uptest::unpack(blk, FP_OP_UNPACK_LIST, FP_MOD_D | FP_MOD_N, "", some.bits);
    EXPECT_EQ(list.rv, 0) << list.msgs;
    EXPECT_NE(list.out.find(f.out + "/sub/big.bin\n"), std::string::npos) << list.out;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1) << list.out;
}

TEST(UnpackRepack, UnmaskedRepackEqualsTheOriginalStream) {
    for (const char* kw : {"", "do_compress=y\ndo_checksum=y\n"}) {
        Fixture f;
        std::string blk = f.block(kw);
        Result r = uptest::unpack(blk, FP_OP_REPACK, FP_MOD_D);
        EXPECT_EQ(r.rv, 0) << r.msgs;
        EXPECT_TRUE(r.out == blk) << kw << ": " << r.out.size() << " vs " << blk.size();
    }
}

TEST(UnpackRepack, HeadersOnlyAndMaskedCopies) {
    Fixture f;
    std::string blk = f.block();
    Result h = uptest::unpack(blk, FP_OP_REPACK_HDRS, FP_MOD_D);
    EXPECT_EQ(h.rv, 0) << h.msgs;
    EXPECT_EQ(h.out, f.block("", FP_OP_PACK_HDRS));
    // A mask of one node: that node alone between control node and trailer.
    std::vector<uint32_t> one = {1u << 3};
    Result m = uptest::unpack(blk, FP_OP_REPACK, FP_MOD_D, "", one);
    EXPECT_EQ(m.rv, 0) << m.msgs;
    std::vector<fptest::Node> nodes = fptest::read_block(m.out);
    ASSERT_EQ(nodes.size(), 3u);
    Result size = uptest::unpack(m.out, FP_OP_UNPACK_SIZE, FP_MOD_D | FP_MOD_N);
    EXPECT_EQ(size.rval, (long)nodes[1].st.st_size);
}

// An up-to-date tree: the mask selects nothing, and the second pass lists
// and repacks nothing.
TEST(UnpackMask, EmptyMaskSelectsNothing) {
    Fixture f;
    std::string blk = f.d.write("pkg.fpb", f.block());
    ASSERT_EQ(f.install(f.block()).rv, 0);
    testutil::RunResult r = testutil::run({FPACK_BIN, "-m", "do", "-u", "-b", "-p", blk});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "bits: 00000000\n00000000\n00000000\n00000000\n");
    EXPECT_EQ(r.out, "");
    std::string out = f.d.file("none.fpb");
    r = testutil::run({FPACK_BIN, "-m", "do", "-u", "-b", "-R", "-f", out, blk});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<fptest::Node> nodes = fptest::read_block(readFile(out));
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_NE(nodes[0].name.find("/cntl"), std::string::npos);
}

// Only the second name of a hard-linked file is missing: the repacked
// block carries the body with it, though the body travelled under the
// first name, and installing it restores the contents.
TEST(UnpackRepack, MaskedRepackCarriesTheBodyOfAHardLink) {
    Fixture f;
    std::string blk = f.d.write("pkg.fpb", f.block());
    ASSERT_EQ(f.install(f.block()).rv, 0);
    std::string second;
    for (const fptest::Node& n : fptest::read_block(readFile(blk)))
        if (S_ISREG(n.st.st_mode) && n.st.st_nlink > 1 && n.st.st_size == 0) second = n.name;
    ASSERT_FALSE(second.empty());
    ASSERT_EQ(unlink(("/" + second).c_str()), 0);

    std::string re = f.d.file("re.fpb"), hdrs = f.d.file("hdrs.fpb");
    testutil::RunResult r = testutil::run({FPACK_BIN, "-m", "do", "-u", "-b", "-R", "-f", re, blk});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<fptest::Node> nodes = fptest::read_block(readFile(re));
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[1].name, second);
    EXPECT_EQ(nodes[1].body, "alpha\n");
    // Headers only: the size goes with the header all the same.
    r = testutil::run({FPACK_BIN, "-m", "do", "-u", "-b", "-R", "-h", "-f", hdrs, blk});
    EXPECT_EQ(r.status, 0) << r.err;
    nodes = fptest::read_block(readFile(hdrs), true);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[1].st.st_size, 6);

    r = testutil::run({FPACK_BIN, "-u", re});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile("/" + second), "alpha\n");
}

// rm_extraneous clears every directory that the block places nodes in,
// its own directory nodes included, once, of files that are not the
// block's; files kept as identical are the block's too.
TEST(UnpackExtraneous, ClearsWhatTheBlockDoesNotPlace) {
    for (long mods : {FP_MOD_DEFAULT, FP_MOD_D | FP_MOD_O}) {
        Fixture f;
        std::string blk = f.block();
        ASSERT_EQ(f.install(blk).rv, 0);
        uptest::write_file(f.out + "/sub/foreign", "mine", 0644, 1500000000);
        uptest::write_file(f.out + "/empty/foreign", "mine", 0644, 1500000000);
        uptest::mkdir_p(f.out + "/sub/own_dir");
        Result r = f.install(blk, "rm_extraneous=y\nbackup_fmt=%p.%f.%n\n", mods);
        EXPECT_EQ(r.rv, 0) << r.msgs;
        EXPECT_FALSE(exists(f.out + "/sub/foreign")) << mods;
        EXPECT_FALSE(exists(f.out + "/empty/foreign")) << mods;
        EXPECT_EQ(readFile(f.out + "/sub/.foreign.1"), "mine") << "backed up";
        EXPECT_TRUE(exists(f.out + "/sub/own_dir")) << "directories stay";
        // Everything of the package is there, beside the backups.
        std::map<std::string, std::string> have = uptest::describe(f.out, false);
        for (auto& kv : uptest::describe(f.tree, false))
            EXPECT_EQ(have[kv.first], kv.second) << kv.first << ", " << mods;
    }
}

// A relative name (the installer's way: names under the current
// directory) keeps its backup in its own directory.
TEST(UnpackInstall, BackupOfARelativeNameStaysInItsDirectory) {
    Fixture f;
    std::string desc =
        "#*KFP-v2.07\ndescend_dirs=y\nfollow_links=n\nsrc_relpath=" + f.src + "\n%\ntree\n%\n%\n";
    Result p = uptest::pack(desc);
    ASSERT_EQ(p.rv, 0) << p.msgs;
    std::string blk = f.d.write("rel.fpb", p.out);
    uptest::mkdir_p(f.dst);
    std::string cmd =
        "cd '" + f.dst + "' && '" FPACK_BIN "' -u -D 'backup_fmt=%p.%f.%n' '" + blk + "'";
    for (int i = 0; i < 2; i++) {
        testutil::RunResult r = testutil::run({"sh", "-c", cmd});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(readFile(f.out + "/.a.txt.1"), "alpha\n");
    EXPECT_EQ(readFile(f.out + "/sub/deeper/.tool.1"), readFile(f.tree + "/sub/deeper/tool"));
    EXPECT_FALSE(exists(f.out + "/tree")) << "no directory doubled";
}

// A directory that gives new files its group (setgid) does not give it to
// the block's files, also when the block makes it so after its first file.
TEST(UnpackInstall, FilesKeepTheirGroupInASetgidDirectory) {
    if (!uptest::is_root()) GTEST_SKIP() << "needs root to give groups";
    Fixture f(false);
    const mode_t dir = S_IFDIR | 0755, setgid = S_IFDIR | 02775, file = S_IFREG | 0644;
    std::string blk = uptest::craft_block({{"d", dir, ""},
                                           {"d/first", file, "1"},
                                           {"d", setgid, "", 0, 1, 1500000000, 4242},
                                           {"d/second", file, "2", 0, 1, 1500000000, 0},
                                           {"e", setgid, "", 0, 1, 1500000000, 4242},
                                           {"e/third", file, "3", 0, 1, 1500000000, 0}});
    Result r = f.install(blk, "unix_platform_prefix=" + f.dst + "\n");
    EXPECT_EQ(r.rv, 0) << r.msgs;
    for (const char* name : {"d/second", "e/third"}) {
        struct stat st;
        ASSERT_EQ(stat((f.dst + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_gid, 0u) << name;
    }
}

// A running program is replaced: it keeps running from its old file, and
// nothing is left beside the new one.
TEST(UnpackInstall, RunningProgramIsReplaced) {
    Fixture f(false);
    std::string tool = f.tree + "/tool";
    ASSERT_EQ(testutil::run({"cp", "/bin/sleep", tool}).status, 0);
    ASSERT_EQ(f.install(f.block()).rv, 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl((f.out + "/tool").c_str(), "tool", "30", (char*)nullptr);
        _exit(127);
    }
    usleep(100000);
    uptest::write_file(tool, "#!/bin/sh\necho new\n", 0755, 1600000000);
    Result r = f.install(f.block());
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(readFile(f.out + "/tool"), "#!/bin/sh\necho new\n");
    EXPECT_EQ(kill(pid, 0), 0) << "still running";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(uptest::all_names(f.out), (std::vector<std::string>{"tool"}));
}

TEST(UnpackSize, SumsTheNodeSizes) {
    Fixture f;
    Result r = uptest::unpack(f.block(), FP_OP_UNPACK_SIZE, FP_MOD_D | FP_MOD_N);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    // a.txt once (its second name is a link), the link texts, the rest.
    EXPECT_EQ(r.rval, 6 + 70000 + 18 + 6 + 8 + 19);
}

// The program's two passes: the mask of what an install would write, then a
// listing of only those nodes.
TEST(UnpackMask, ProgramPrintsTheMaskAndListsItsNodes) {
    Fixture f;
    std::string blk = f.d.write("pkg.fpb", f.block());
    ASSERT_EQ(f.install(f.block()).rv, 0);
    ASSERT_EQ(unlink((f.out + "/private/key").c_str()), 0);
    testutil::RunResult r = testutil::run({FPACK_BIN, "-m", "do", "-u", "-b", "-p", blk});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err.find("bits: "), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 4) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    char owner[64];
    std::snprintf(owner, sizeof owner, "100400  1 %3d/%3d       6  ", int(getuid()), int(getgid()));
    EXPECT_NE(r.out.find(owner), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(f.out + "/private/key\n"), std::string::npos) << r.out;
}

// Blocks damaged at random never crash the installer nor make it hang. It
// runs in a child shut into the test directory, since a damaged name may
// point anywhere.
TEST(UnpackStream, DamagedBlocksNeverCrash) {
    if (!uptest::is_root()) GTEST_SKIP() << "needs chroot";
    Fixture f;
    std::string good = f.block("do_compress=y\n");
    std::string plain = f.block();
    std::mt19937 rnd(4711);
    for (int i = 0; i < 300; i++) {
        std::string blk = i % 2 ? good : plain;
        int flips = 1 + (int)(rnd() % 4);
        for (int k = 0; k < flips; k++) blk[rnd() % blk.size()] ^= (char)(1 + rnd() % 255);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(20);
            if (chroot(f.d.path().c_str()) != 0 || chdir("/") != 0) _exit(99);
            uptest::unpack(blk, i % 3 ? FP_OP_INSTALL : FP_OP_UNINSTALL, FP_MOD_DEFAULT,
                           "stop_on_error=n\n");
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "case " << i << ", status " << status;
    }
}

TEST(UnpackStream, BadHeaderIsFatal) {
    Result r = uptest::unpack("garbage that is no block", FP_OP_INSTALL);
    EXPECT_EQ(r.rv, 1);
    EXPECT_NE(r.msgs.find("unpack: bad header\nFATAL.\n"), std::string::npos) << r.msgs;
}

}  // namespace
