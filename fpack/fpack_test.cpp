// The fpack program as a user runs it: options, exit statuses, output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

using testutil::RunResult;
using testutil::TempDir;

const std::string kUsage = "Usage:  " FPACK_BIN
                           " [-C dir ] [-Dkey=value] [-pPl] [-N name] fp-desc > fpblk\n"
                           "\t" FPACK_BIN
                           " -u [-C dir ] [-Dkey=value] [-pPl] [-N name] fpblk\n"
                           "\t" FPACK_BIN " -ur [-C dir ] [-Dkey=value] [-N name] fpblk\n";

RunResult fpack(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), FPACK_BIN);
    return testutil::run(args, input);
}

// A description with the keyword lines, the file list and the exclusions.
std::string desc(const std::string& keywords, const std::string& files,
                 const std::string& excludes = "") {
    return "#*KFP-v2.07\n" + keywords + "%\n" + files + "%\n%\n" + excludes;
}

// A small tree: pkg/, pkg/a.txt, pkg/sub/, pkg/sub/b.bin; and a description
// packing it from the directory.
struct Tree {
    TempDir dir;
    std::string a = "hello\n";
    std::string b = std::string("\x00\x01\x02\xff binary", 11);
    Tree() {
        mkdir(dir.file("pkg").c_str(), 0755);
        mkdir(dir.file("pkg/sub").c_str(), 0755);
        dir.write("pkg/a.txt", a);
        dir.write("pkg/sub/b.bin", b);
    }
    std::string describe(const std::string& keywords, const std::string& files = "pkg\n",
                         const std::string& name = "pkg.fpd") {
        return dir.write(name, desc("src_relpath=" + dir.path() + "\n" + keywords, files));
    }
    struct stat stat_of(const std::string& rel) const {
        struct stat st;
        EXPECT_EQ(stat(dir.file(rel).c_str(), &st), 0);
        return st;
    }
};

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) v.push_back(line);
    std::sort(v.begin(), v.end());
    return v;
}

TEST(FpackUsage, BadCommandLinesPrintTheUsageAndExit1) {
    TempDir d;
    std::string f = d.write("x.fpd", desc("", ""));
    const std::vector<std::vector<std::string>> cases = {
        {"-p", "-s", f}, {}, {"-x", f}, {f, f}, {"-m", "dq", f}, {"-U", "123", f},
    };
    for (const auto& args : cases) {
        RunResult r = fpack(args);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.err, kUsage);
        EXPECT_EQ(r.out, "");
    }
}

// A block that says "headers only" while carrying bodies (or a reader that
// skips bodies that are there) could never be read.
TEST(FpackUsage, HeadersOnlyModifierNeedsH) {
    Tree t;
    std::string d = t.describe("");
    std::string blk = t.dir.write("pkg.blk", fpack({d}).out);
    const std::string refused = FPACK_BIN ": the h modifier needs -h\n" + kUsage;
    const std::vector<std::vector<std::string>> cases = {
        {"-m", "dh", d}, {"-m", "16777223", d}, {"-u", "-m", "h", blk}, {"-R", "-m", "dh", blk}};
    for (const auto& args : cases) {
        RunResult r = fpack(args);
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_EQ(r.err, refused);
        EXPECT_EQ(r.out, "");
    }
    RunResult h = fpack({"-h", "-m", "dh", d});
    EXPECT_EQ(h.status, 0) << h.err;
    EXPECT_NE(h.out.find("\nmodifiers=16777217\n"), std::string::npos);
}

TEST(FpackExit, StatusTellsSuccessFailureAndMessages) {
    Tree t;
    std::string good = t.describe("");
    std::string bare = t.dir.write("bare.fpd", t.dir.file("pkg/a.txt") + "\n");
    std::string missing = t.describe("", "pkg\nnot-there\n", "missing.fpd");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{good}, 0, ""},
        {{"-v", good}, 0, "no messages.\n"},
        {{"-n", good}, 0, ""},
        {{bare}, 2, "messages:\nfilelist only.  Using default fp config\n"},
        {{missing},
         3,
         "messages:\nFiles:\n\tnot-there: not found\nFATAL because stop_on_error is enabled.\n"},
        // Set-up failures name the file and the system's reason.
        {{t.dir.file("none.fpd")},
         1,
         "input channel failure: " + t.dir.file("none.fpd") + ": No such file or directory\n"},
        {{"-f", t.dir.file("no/such/dir/out"), good},
         1,
         "can't open output file " + t.dir.file("no/such/dir/out") +
             ": No such file or directory\n"},
    };
    for (const Case& c : cases) {
        RunResult r = fpack(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << r.err;
        EXPECT_EQ(r.err, c.err) << c.args.back();
    }
}

// A description handed to the unpacking side is not a block.
TEST(FpackExit, UnpackingADescriptionFailsOnItsHeader) {
    Tree t;
    RunResult r = fpack({"-u", t.describe("")});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              "messages:\nunpack: bad header\nFATAL.\n"
              "Unable to check for on_error script, configuration not yet valid.\n");
}

// ---- the block, byte by byte -------------------------------------------

// Reads the block's fields in order, failing the test on any mismatch.
struct BlockReader {
    const std::string& s;
    size_t pos = 0;
    explicit BlockReader(const std::string& bytes) : s(bytes) {}
    std::string take(size_t n) {
        EXPECT_LE(pos + n, s.size());
        std::string r = s.substr(pos, n);
        pos += n;
        return r;
    }
    unsigned long hex() { return std::stoul(take(8), nullptr, 16); }
};

struct NodeHeader {
    unsigned long ino, mode, uid, gid, nlink, mtime, size, devmaj, devmin, rdevmaj, rdevmin,
        namesize, check;
    std::string name;
};

NodeHeader read_node(BlockReader& r) {
    EXPECT_EQ(r.take(6), "070702");
    NodeHeader h;
    unsigned long* f[] = {&h.ino,     &h.mode,     &h.uid,    &h.gid,    &h.nlink,
                          &h.mtime,   &h.size,     &h.devmaj, &h.devmin, &h.rdevmaj,
                          &h.rdevmin, &h.namesize, &h.check};
    for (unsigned long* p : f) *p = r.hex();
    std::string name = r.take(h.namesize);
    EXPECT_EQ(name.back(), '\0');
    h.name = name.substr(0, name.size() - 1);
    return h;
}

void expect_matches_file(const NodeHeader& h, const struct stat& st, unsigned long size) {
    EXPECT_EQ(h.ino, (unsigned long)st.st_ino & 0xffffffff) << h.name;
    EXPECT_EQ(h.mode, (unsigned long)st.st_mode) << h.name;
    EXPECT_EQ(h.uid, (unsigned long)st.st_uid) << h.name;
    EXPECT_EQ(h.gid, (unsigned long)st.st_gid) << h.name;
    EXPECT_EQ(h.nlink, (unsigned long)st.st_nlink) << h.name;
    EXPECT_EQ(h.mtime, (unsigned long)st.st_mtime) << h.name;
    EXPECT_EQ(h.size, size) << h.name;
    EXPECT_EQ(h.devmaj, (unsigned long)(st.st_dev >> 8) & 0xffffffff) << h.name;
    EXPECT_EQ(h.devmin, (unsigned long)(st.st_dev & 0xff)) << h.name;
    EXPECT_EQ(h.rdevmaj, 0u) << h.name;
    EXPECT_EQ(h.rdevmin, 0u) << h.name;
    EXPECT_EQ(h.check, 0u) << h.name;
}

TEST(FpackBlock, RealTreeFieldByField) {
    Tree t;
    std::string d = t.describe("descend_dirs=y\n");
    RunResult r = fpack({"-N", "demo", d});
    ASSERT_EQ(r.status, 0) << r.err;
    BlockReader br(r.out);

    // Encoded header: length field, signature, banner, options.
    std::string line = r.out.substr(0, r.out.find('\n') + 1);
    EXPECT_EQ(line.substr(6), " KFPB-v2.07 Velkar\tFilepack Block.\t fpname=\"demo\"\n");
    char len[8];
    snprintf(len, sizeof len, "%6d", (int)line.size());
    EXPECT_EQ(line.substr(0, 6), len);
    br.take(line.size());
    size_t stream_start = br.pos;

    // Control node: the keyword set with its NUL.
    NodeHeader c = read_node(br);
    EXPECT_EQ(c.name, "VelkarCntlDir/demo/cntl");
    EXPECT_EQ(c.mode, 0100400u);
    EXPECT_EQ(c.nlink, 1u);
    EXPECT_EQ(c.ino + c.uid + c.gid + c.mtime + c.devmaj + c.devmin + c.check, 0u);
    std::string keywords = br.take(c.size);
    EXPECT_EQ(keywords.rfind("#*KFP-v2.07\tVelkar Filepack (version v2.07)\n", 0), 0u);
    EXPECT_NE(keywords.find("\ndescend_dirs=y\n"), std::string::npos);
    EXPECT_EQ(keywords.find('\0'), keywords.size() - 1);

    // Files in walk order; each header is followed directly by its body.
    std::vector<std::string> seen;
    for (;;) {
        NodeHeader h = read_node(br);
        if (h.name == "TRAILER!!!") {
            EXPECT_EQ(h.mode, 0100400u);
            EXPECT_EQ(h.nlink, 1u);
            EXPECT_EQ(h.size + h.ino + h.check, 0u);
            break;
        }
        seen.push_back(h.name);
        struct stat st = t.stat_of(h.name);
        if (h.name == "pkg/a.txt") {
            expect_matches_file(h, st, t.a.size());
            EXPECT_EQ(br.take(h.size), t.a);
        } else if (h.name == "pkg/sub/b.bin") {
            expect_matches_file(h, st, t.b.size());
            EXPECT_EQ(br.take(h.size), t.b);
        } else {
            expect_matches_file(h, st, 0);
        }
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"pkg", "pkg/a.txt", "pkg/sub", "pkg/sub/b.bin"}));
    EXPECT_EQ(seen.size(), 4u);

    // Padding: zeros up to a multiple of 512 of the node stream, then nothing.
    size_t stream_len = r.out.size() - stream_start;
    EXPECT_EQ(stream_len % 512, 0u);
    EXPECT_GT(r.out.size(), br.pos);
    EXPECT_LE(r.out.size() - br.pos, 512u);
    EXPECT_EQ(r.out.find_first_not_of('\0', br.pos), std::string::npos);
}

TEST(FpackBlock, OutputFileIsPrivate) {
    Tree t;
    std::string out = t.dir.file("out.blk");
    RunResult r = fpack({"-f", out, t.describe("")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(testutil::readFile(out).substr(6, 11), " KFPB-v2.07");
}

TEST(FpackBlock, HeadersOnlyHasNoBodies) {
    Tree t;
    RunResult r = fpack({t.describe("descend_dirs=y\n")});
    RunResult h = fpack({"-h", t.describe("descend_dirs=y\n")});
    ASSERT_EQ(h.status, 0) << h.err;
    EXPECT_NE(r.out.find(t.a), std::string::npos);
    EXPECT_EQ(h.out.find(t.a), std::string::npos);
    EXPECT_EQ(h.out.find(t.b), std::string::npos);
    EXPECT_NE(h.out.find("\nmodifiers=16777223\n"), std::string::npos);
    // a.txt keeps its size field.
    size_t name = h.out.find(std::string("pkg/a.txt") + '\0');
    ASSERT_NE(name, std::string::npos);
    EXPECT_EQ(h.out.substr(name - 104 + 6 * 8, 8), "00000006");
}

// The default package name is the operand's last component: a long path
// would not fit the encoded header.
TEST(FpackBlock, DefaultNameIsTheOperandsLastComponent) {
    Tree t;
    std::string deep = t.dir.path();
    for (int i = 0; i < 30; i++) {
        deep += "/directory" + std::to_string(i);
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::string d = deep + "/pkg.fpd";
    ASSERT_EQ(rename(t.describe("").c_str(), d.c_str()), 0);
    RunResult r = fpack({d});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.substr(0, r.out.find('\n')).find(" fpname=\"pkg.fpd\""), std::string::npos);
    EXPECT_NE(r.out.find(std::string("VelkarCntlDir/pkg.fpd/cntl") + '\0'), std::string::npos);
}

// Blocks with check bytes depend on the record size; a reader with another
// one says so and which TRELL_BUF_SIZE reads the block.
TEST(FpackBlock, RecordSizeMismatchIsNamed) {
    Tree t;
    t.dir.write("pkg/big", std::string(40000, 'x'));
    std::string big = t.describe("do_checksum=y\ndescend_dirs=y\n");
    std::string small = t.describe("do_checksum=y\n", "pkg/a.txt\n", "small.fpd");
    struct Case {
        std::string desc, writer, reader, said;
    };
    const Case cases[] = {
        {big, "1024", "", "records of 1024 bytes, this reader uses 16384"},
        {big, "", "1024", "records of 16384 bytes, this reader uses 1024"},
        {big, "", "40000", "records of 16384 bytes, this reader uses 40000"},
    };
    for (const Case& c : cases) {
        std::string blk = t.dir.file("blk");
        RunResult p =
            testutil::run({FPACK_BIN, "-f", blk, c.desc}, "", {"TRELL_BUF_SIZE=" + c.writer});
        ASSERT_EQ(p.status, 0) << p.err;
        RunResult r =
            testutil::run({FPACK_BIN, "-u", "-s", blk}, "", {"TRELL_BUF_SIZE=" + c.reader});
        EXPECT_EQ(r.status, 3);
        std::string size = c.writer.empty() ? "16384" : c.writer;
        EXPECT_EQ(r.err, "messages:\nrecord size mismatch: the block was written with " + c.said +
                             "; read it with TRELL_BUF_SIZE=" + size +
                             "\nFATAL because stop_on_error is enabled.\n");
        RunResult ok = testutil::run({FPACK_BIN, "-u", "-s", blk}, "", {"TRELL_BUF_SIZE=" + size});
        EXPECT_EQ(ok.status, 0) << ok.err;
        EXPECT_EQ(ok.out, "size= " + std::to_string(40000 + t.a.size() + t.b.size()) + "\n");
    }
    // A block that is one short record: any record size at least as long
    // reads it.
    std::string blk = t.dir.file("small.blk");
    ASSERT_EQ(fpack({"-f", blk, small}).status, 0);
    RunResult r = testutil::run({FPACK_BIN, "-u", "-s", blk}, "", {"TRELL_BUF_SIZE=512"});
    EXPECT_EQ(r.status, 3);
    size_t at = r.err.find("records of at least ");
    ASSERT_NE(at, std::string::npos) << r.err;
    std::string fits = r.err.substr(r.err.find("TRELL_BUF_SIZE=") + 15);
    fits = fits.substr(0, fits.find('\n'));
    RunResult ok = testutil::run({FPACK_BIN, "-u", "-s", blk}, "", {"TRELL_BUF_SIZE=" + fits});
    EXPECT_EQ(ok.status, 0) << ok.err;
}

TEST(FpackBlock, OverridesApplyInCommandLineOrder) {
    Tree t;
    std::string d = t.describe("");
    RunResult on = fpack({"-D", "descend_dirs=n", "-D", "descend_dirs=y", d});
    RunResult off = fpack({"-D", "descend_dirs=y", "-D", "descend_dirs=n", d});
    ASSERT_EQ(on.status, 0) << on.err;
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_NE(on.out.find(t.a), std::string::npos);
    EXPECT_EQ(off.out.find(t.a), std::string::npos);
}

TEST(FpackBlock, SourceDirectoryFromTheCommandLineMayHoldBlanks) {
    TempDir d;
    mkdir(d.file("my dir").c_str(), 0755);
    d.write("my dir/f", "contents");
    std::string f = d.write("x.fpd", desc("", "f\n"));
    RunResult r = fpack({"-C", d.file("my dir"), f});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string("f") + '\0' + "contents"), std::string::npos);
}

// ---- listing, sizing, printing ------------------------------------------

TEST(FpackList, FileListsWithAndWithoutOptions) {
    Tree t;
    std::string d = t.describe("descend_dirs=y\n", "pkg d=/opt/p m=0644\n");
    RunResult l = fpack({"-l", d});
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(sorted_lines(l.out),
              (std::vector<std::string>{"pkg", "pkg/a.txt", "pkg/sub", "pkg/sub/b.bin"}));
    RunResult ll = fpack({"-ll", d});
    ASSERT_EQ(ll.status, 0) << ll.err;
    EXPECT_EQ(
        sorted_lines(ll.out),
        (std::vector<std::string>{"pkg d=/opt/p m=0644", "pkg/a.txt d=/opt/p m=0644",
                                  "pkg/sub d=/opt/p m=0644", "pkg/sub/b.bin d=/opt/p m=0644"}));
}

std::string list_line(const struct stat& st, unsigned long size, const std::string& name) {
    char when[64], line[1400];
    time_t t = st.st_mtime;
    strftime(when, sizeof when, "%b %d %H:%M:%S %Y", localtime(&t));
    snprintf(line, sizeof line, "%06o %2d %3d/%3d  %6lu  %20.20s  %.255s", (unsigned)st.st_mode,
             (int)st.st_nlink, (int)st.st_uid, (int)st.st_gid, size, when, name.c_str());
    return line;
}

TEST(FpackList, ListingShowsDestinationNamesAndAttributes) {
    Tree t;
    std::string d = t.describe("descend_dirs=y\ndefault_dest=/opt\n");
    RunResult r = fpack({"-p", d});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> want = {
        list_line(t.stat_of("pkg"), 0, "opt/pkg"),
        list_line(t.stat_of("pkg/a.txt"), t.a.size(), "opt/pkg/a.txt"),
        list_line(t.stat_of("pkg/sub"), 0, "opt/pkg/sub"),
        list_line(t.stat_of("pkg/sub/b.bin"), t.b.size(), "opt/pkg/sub/b.bin"),
    };
    std::sort(want.begin(), want.end());
    EXPECT_EQ(sorted_lines(r.out), want);
}

TEST(FpackList, KeywordSetFirstWithP) {
    Tree t;
    RunResult r = fpack({"-P", "-p", t.describe("")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("#*KFP-v2.07\tVelkar Filepack (version v2.07)\n", 0), 0u);
}

TEST(FpackSize, CountsRegularFilesOnceEachLink) {
    Tree t;
    ASSERT_EQ(link(t.dir.file("pkg/a.txt").c_str(), t.dir.file("pkg/a2.txt").c_str()), 0);
    RunResult r = fpack({"-s", t.describe("descend_dirs=y\n")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "size= " + std::to_string(t.a.size() + t.b.size()) + "\n");
}

TEST(FpackInfo, PrintsTheDescriptionAgain) {
    Tree t;
    std::string d = t.describe("descend_dirs=y\n", "pkg d=/opt/p\nnot-there\n");
    RunResult r = fpack({"-I", d});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("#*KFP-v2.07\tVelkar Filepack (version v2.07)\n", 0), 0u);
    EXPECT_NE(r.out.find("\ndescend_dirs=y\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n%\npkg d=/opt/p\nnot-there\n%\n"), std::string::npos) << r.out;
}

TEST(FpackCutOff, OnlyFilesChangedAfterTheTimeArePacked) {
    Tree t;
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};  // Sep 2001
    ASSERT_EQ(utimensat(AT_FDCWD, t.dir.file("pkg/a.txt").c_str(), old_times, 0), 0);
    RunResult r = fpack({"-U", "0101000005", "-l", t.describe("descend_dirs=y\n")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sorted_lines(r.out), (std::vector<std::string>{"pkg", "pkg/sub", "pkg/sub/b.bin"}));
}

}  // namespace

namespace {

TEST(FpackBits, MaskIsPrintedAndTheSecondPassDoesNotChangeTheStatus) {
    Tree t;
    RunResult r = fpack({"-b", "-p", t.describe("")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  pkg\n"), std::string::npos);
    EXPECT_EQ(r.err, "bits: messages:\nunpack: bad header\nFATAL.\n");
}

// Install and uninstall alone act on the disk for a block: a reading that
// lists, sizes, masks or repacks it neither runs the scripts it carries
// nor puts them anywhere, nor makes its list file, whatever the modifiers
// ask for.
TEST(FpackReadings, OnlyInstallAndUninstallActForTheBlock) {
    Tree t;
    std::string ran = t.dir.file("ran");
    std::string script = t.dir.write("script", "#!/bin/sh\necho \"$1\" >> " + ran + "\n");
    chmod(script.c_str(), 0755);
    std::string lists = t.dir.file("lists");
    std::string keywords =
        "default_dest=" + t.dir.file("dst") + "\nlist_path=" + lists + "\ncreate_dirs=y\n";
    for (const char* kind : {"before", "after", "removal"})
        keywords += std::string("unix_") + kind + "_prog_path=" + script + "\nunix_" + kind +
                    "_prog_from_src=y\n";
    std::string blk = t.dir.file("pkg.blk");
    ASSERT_EQ(fpack({"-f", blk, t.describe(keywords, "pkg/a.txt\n")}).status, 0);
    mkdir(t.dir.file("tmp").c_str(), 0700);
    const std::vector<std::string> env = {"TMPDIR=" + t.dir.file("tmp")};

    const std::vector<std::vector<std::string>> readings = {
        {"-u", "-p"},
        {"-u", "-p", "-P"},
        {"-u", "-p", "-m", "d"},
        {"-u", "-s"},
        {"-u", "-b"},
        {"-u", "-b", "-p"},
        {"-R", "-f", t.dir.file("re.blk")},
        {"-R", "-b", "-f", t.dir.file("re.blk")},
        {"-u", "-m", "dn"},
    };
    for (std::vector<std::string> args : readings) {
        std::string what;
        for (const std::string& a : args) what += a + " ";
        args.insert(args.begin(), FPACK_BIN);
        args.push_back(blk);
        RunResult r = testutil::run(args, "", env);
        EXPECT_LE(r.status, 2) << what << "\n" << r.err;
        EXPECT_EQ(testutil::readFile(ran), "") << what;
        EXPECT_EQ(testutil::run({"ls", "-A", t.dir.file("tmp")}).out, "") << what;
        EXPECT_NE(access(lists.c_str(), F_OK), 0) << what;
    }

    // The same block installed and removed runs them (and removes them).
    ASSERT_LE(testutil::run({FPACK_BIN, "-u", blk}, "", env).status, 2);
    ASSERT_LE(testutil::run({FPACK_BIN, "-u", "-r", blk}, "", env).status, 2);
    EXPECT_EQ(testutil::readFile(ran), "before\nafter\nremoval\n");
    EXPECT_EQ(testutil::run({"ls", "-A", t.dir.file("tmp")}).out, "");
    EXPECT_EQ(access((lists + "/pkg.fpd.log").c_str(), F_OK), 0);
}

TEST(FpackInput, WholeDescriptionConvertedFromTheLocalCodeSet) {
    TempDir d;
    d.write("caf\xe9", "latin-1 name");
    std::string f = d.write("x.fpd", desc("src_relpath=" + d.path() + "\n", "caf\xe9\n"));
    RunResult r = testutil::run({FPACK_BIN, "-e", f}, "", {"ZUG_CODESET=ISO88591"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string("caf\xc3\xa9") + '\0' + "latin-1 name"), std::string::npos);
}

// ---- output that cannot be written --------------------------------------

RunResult sh(const std::string& command) {
    return testutil::run({"sh", "-c", command});
}

// Every operation that writes a result fails when the result cannot be
// written, down to the last record and the close.
TEST(FpackOutput, FullDeviceFailsEveryOperationThatWrites) {
    Tree t;
    std::string d = t.describe("descend_dirs=y\n");
    std::string blk = t.dir.write("pkg.blk", fpack({d}).out);
    const std::vector<std::string> cases = {
        d,           "-h " + d,      "-p " + d,         "-l " + d,
        "-s " + d,   "-I " + d,      "-u -p " + blk,    "-u -s " + blk,
        "-R " + blk, "-R -h " + blk, "-u -b -p " + blk,
    };
    for (const std::string& args : cases) {
        for (const std::string& out : {std::string(" > /dev/full"), std::string(" -f /dev/full")}) {
            if (out[1] == '-' && (args.rfind("-s", 0) == 0 || args.rfind("-u -s", 0) == 0))
                continue;  // the size goes to standard output, not the block output
            RunResult r =
                sh(FPACK_BIN " " + (out[1] == '-' ? out.substr(1) + " " + args : args + out));
            EXPECT_EQ(r.status % 2, 1) << args << out << "\n" << r.err;
            EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << args << out;
        }
    }
    // The mask of -u -b goes to standard error.
    EXPECT_EQ(sh(FPACK_BIN " -u -b " + blk + " 2>/dev/full").status, 1);
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// A block is never written to a terminal, whether it is standard output or
// named with -f; listings and sizes still are.
TEST(FpackOutput, BlockIsNotWrittenToATerminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string tty = ptsname(master);
    Tree t;
    std::string d = t.describe("");
    std::string blk = t.dir.write("pkg.blk", fpack({d}).out);
    struct Case {
        std::string command;
        bool refused;
    } cases[] = {
        {FPACK_BIN " " + d + " > " + tty, true},
        {FPACK_BIN " -f " + tty + " " + d, true},
        {FPACK_BIN " -h " + d + " > " + tty, true},
        {FPACK_BIN " -R " + blk + " > " + tty, true},
        {FPACK_BIN " -p " + d + " > " + tty, false},
        {FPACK_BIN " -u -p " + blk + " > " + tty, false},
    };
    for (const Case& c : cases) {
        RunResult r = sh(c.command);
        EXPECT_EQ(r.status, c.refused ? 1 : 0) << c.command << "\n" << r.err;
        EXPECT_EQ(
            r.err.find("will not write a file-package block to a terminal") != std::string::npos,
            c.refused)
            << c.command << "\n"
            << r.err;
    }
    close(master);
}

// The disk fills up after the block's first bytes: with a file-size limit
// the last record cannot be written. The output file this run created is
// removed; one that was there before is not.
TEST(FpackOutput, FailedPackRemovesOnlyTheFileItCreated) {
    Tree t;
    t.dir.write("pkg/big", std::string(5000, 'b'));
    std::string d = t.describe("descend_dirs=y\n");
    std::string out = t.dir.file("out.blk");
    // 2 blocks of 512 bytes hold the encoded header, not the node stream.
    std::string limited = "ulimit -f 2; exec " FPACK_BIN " -f " + out + " " + d;
    RunResult r = sh("trap '' XFSZ; " + limited);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("can't write " + out + ": File too large\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("out_stream write error"), std::string::npos) << r.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    // Ended by the signal of the limit, the file goes too.
    r = sh(limited);
    EXPECT_EQ(r.status, 128 + SIGXFSZ) << r.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    // A file that was there before stays (emptied: -f truncates).
    t.dir.write("out.blk", "older contents");
    r = sh("trap '' XFSZ; " + limited);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(access(out.c_str(), F_OK), 0);
}

// -f follows no symbolic link that someone else planted at the name.
TEST(FpackOutput, OutputFileIsNotWrittenThroughAForeignLink) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's link";
    Tree t;
    std::string victim = t.dir.write("victim", "keep me");
    std::string out = t.dir.file("out.blk");
    ASSERT_EQ(symlink(victim.c_str(), out.c_str()), 0);
    ASSERT_EQ(lchown(out.c_str(), 1, 1), 0);
    RunResult r = fpack({"-f", out, t.describe("")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "can't open output file " + out + ": Too many levels of symbolic links\n");
    EXPECT_EQ(testutil::readFile(victim), "keep me");
    // The caller's own link is followed.
    ASSERT_EQ(lchown(out.c_str(), geteuid(), getegid()), 0);
    r = fpack({"-f", out, t.describe("")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::readFile(victim).substr(6, 11), " KFPB-v2.07");
}

// ---- children -------------------------------------------------------------

// The state letter of a process in /proc, or 0 when it is gone.
char proc_state(long pid) {
    std::string stat = testutil::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

bool gone(long pid) {
    char state = proc_state(pid);
    for (int i = 0; i < 200 && state != 0 && state != 'Z'; i++) {
        usleep(20000);
        state = proc_state(pid);
    }
    return state == 0 || state == 'Z';
}

// A signal that ends fpack during an install ends the package script, the
// block's filter and whatever they started.
TEST(FpackSignals, EndingFpackEndsItsChildren) {
    Tree t;
    mkdir(t.dir.file("dst").c_str(), 0755);
    std::string spid = t.dir.file("spid"), fpid = t.dir.file("fpid");
    std::string filt =
        t.dir.write("filt", "#!/bin/sh\nsleep 300 &\necho $! > " + fpid + "\nexec cat\n");
    std::string before =
        t.dir.write("before", "#!/bin/sh\nsleep 300 &\n(echo $!; echo $$) > " + spid + ".tmp\nmv " +
                                  spid + ".tmp " + spid + "\nwait\n");
    chmod(filt.c_str(), 0755);
    chmod(before.c_str(), 0755);
    std::string d =
        t.describe("default_dest=" + t.dir.file("dst") + "\nunix_before_prog_path=" + before +
                       "\npostproc=cat\npreproc=" + filt + "\n",
                   "pkg/a.txt\n");
    std::string blk = t.dir.file("pkg.blk");
    ASSERT_EQ(fpack({"-f", blk, d}).status, 0);
    RunResult r = sh(FPACK_BIN " -u " + blk + " 2>/dev/null & fp=$!; i=0; while [ ! -s " + spid +
                     " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; kill -TERM $fp; "
                     "wait $fp; echo $?");
    EXPECT_EQ(r.out, std::to_string(128 + SIGTERM) + "\n") << r.err;
    std::istringstream pids(testutil::readFile(spid) + testutil::readFile(fpid));
    int n = 0;
    for (long pid; pids >> pid; n++) EXPECT_TRUE(gone(pid)) << pid;
    EXPECT_EQ(n, 3);
}

TEST(FpackLimits, RaisingTheFileSizeLimitLetsABigOutputThrough) {
    Tree t;
    t.dir.write("pkg/big", std::string(200000, 'b'));
    std::string d = t.describe("descend_dirs=y\n");
    std::string out = t.dir.file("out");
    // 100 blocks of 512 bytes as the soft limit, the hard limit unchanged.
    std::string cmd = "ulimit -S -f 100; exec " FPACK_BIN " $0 -f " + out + " " + d;
    RunResult with = testutil::run({"sh", "-c", cmd, "-F"});
    EXPECT_EQ(with.status, 0) << with.err;
    EXPECT_GT(testutil::readFile(out).size(), 200000u);
    RunResult without = testutil::run({"sh", "-c", cmd, "-v"});
    EXPECT_EQ(without.status, 128 + SIGXFSZ) << without.err;
}

}  // namespace
