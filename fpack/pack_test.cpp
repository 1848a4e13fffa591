#include "pack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ctxt_test_util.h"
#include "fopt.h"
#include "keyw.h"
#include "tests/test_util.h"

namespace {

using fptest::Ctxt;
using fptest::guarded;
using fptest::Node;

const char kCntl[] = "VelkarCntlDir/-/cntl";

// A context packing into memory, with its relative paths under `root`.
struct Packer : Ctxt {
    explicit Packer(const std::string& root) {
        to_memory();
        snprintf(ct->relpath, sizeof ct->relpath, "%s/", root.c_str());
    }
    void keyword(const char* key, const char* value) {
        ASSERT_EQ(set_keyw(ct->conf, key, value), 0);
    }
    // Appends a file record with "key=value" options.
    void record(const char* path, std::vector<std::pair<const char*, const char*>> opts = {}) {
        fp_frec* r = new_frec();
        r->path = strdup(path);
        for (auto& o : opts) {
            int is_key;
            ASSERT_EQ(fopt_apply(r, o.first, o.second, &is_key), nullptr) << o.first;
        }
        fp_frec** tail = &ct->files;
        while (*tail) tail = &(*tail)->next;
        *tail = r;
    }
    void exclude(const char* word) {
        fp_strlist* e = (fp_strlist*)calloc(1, sizeof *e);
        e->str = strdup(word);
        e->next = ct->excludes;
        ct->excludes = e;
    }
    // Runs the packing events over the records; returns the jump result.
    int run(int op = FP_OP_PACK) {
        fp_set_ptype(ct, op, FP_MOD_DEFAULT);
        ct->fn = pack_node;
        return guarded(ct, [this] {
            pack_node(ct, FP_EV_START, nullptr, nullptr, nullptr);
            pack_node(ct, FP_EV_CNTL, nullptr, nullptr, nullptr);
            process_file_records(ct);
            pack_node(ct, FP_EV_END, nullptr, nullptr, nullptr);
        });
    }
    // Node name -> node, control node and trailer left out.
    std::map<std::string, Node> files(bool headers_only = false) {
        std::map<std::string, Node> m;
        for (Node& n : fptest::read_block(output(), headers_only))
            if (n.name != kCntl && n.name != FP_TRAILER_NAME) m[n.name] = n;
        return m;
    }
};

std::vector<std::string> names(const std::map<std::string, Node>& m) {
    std::vector<std::string> v;
    for (auto& kv : m) v.push_back(kv.first);
    return v;
}

void mkdirs(const std::string& path) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
}

void set_mtime(const std::string& path, long t) {
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimes(path.c_str(), tv), 0);
}

TEST(PackWalk, BlockStartsWithControlNodeAndEndsPadded) {
    testutil::TempDir d;
    d.write("f", "hello");
    Packer p(d.path());
    p.record("f");
    EXPECT_EQ(p.run(), 0) << p.msgs();
    std::string out = p.output();
    auto nodes = fptest::read_block(out);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].name, kCntl);
    EXPECT_EQ(nodes[0].st.st_mode, 0100400u);
    EXPECT_EQ(nodes[0].body.back(), '\0');
    EXPECT_EQ(nodes[0].body.rfind("#*KFP-v2.07\tVelkar Filepack (version v2.07)\n", 0), 0u);
    EXPECT_NE(nodes[0].body.find("\nmodifiers=7\n"), std::string::npos);
    EXPECT_EQ(nodes[1].name, "f");
    EXPECT_EQ(nodes[1].body, "hello");
    size_t hdr_len = (size_t)std::stoi(out.substr(0, 6));
    EXPECT_EQ((out.size() - hdr_len) % 512, 0u);
}

TEST(PackWalk, SecondHardLinkHasNoBodyAndTheSameInode) {
    testutil::TempDir d;
    mkdirs(d.file("t"));
    d.write("t/a", "shared body");
    ASSERT_EQ(link(d.file("t/a").c_str(), d.file("t/b").c_str()), 0);
    Packer p(d.path());
    p.record("t", {{"o", "descend"}});
    EXPECT_EQ(p.run(), 0) << p.msgs();
    auto f = p.files();
    ASSERT_EQ(names(f), (std::vector<std::string>{"t", "t/a", "t/b"}));
    const Node& first = f["t/a"].body.empty() ? f["t/b"] : f["t/a"];
    const Node& second = f["t/a"].body.empty() ? f["t/a"] : f["t/b"];
    EXPECT_EQ(first.body, "shared body");
    EXPECT_EQ(first.st.st_size, 11);
    EXPECT_EQ(second.st.st_size, 0);
    EXPECT_EQ(second.st.st_ino, first.st.st_ino);
    EXPECT_EQ(second.st.st_nlink, 2u);
    EXPECT_EQ(f["t"].st.st_size, 0);
}

// Inode numbers above 32 bits, as large file systems hand out: three files
// whose numbers agree in their low 32 bits, each with a second name.
TEST(PackWalk, HardLinksAreKeyedByTheWholeInodeNumber) {
    testutil::TempDir d;
    mkdirs(d.file("dst"));
    const char* files[] = {"a", "b", "c"};
    const unsigned long long inos[] = {77, 77 | 1ULL << 32, 77 | 2ULL << 32};
    Packer p(d.path());
    fp_set_ptype(p.ct, FP_OP_PACK, FP_MOD_DEFAULT);
    p.ct->fn = pack_node;
    p.record("x");  // a record for merge_stat; the nodes are handed over below
    int rv = guarded(p.ct, [&] {
        pack_node(p.ct, FP_EV_START, nullptr, nullptr, nullptr);
        pack_node(p.ct, FP_EV_CNTL, nullptr, nullptr, nullptr);
        for (int i = 0; i < 3; i++) {
            std::string name = files[i];
            d.write(name, "body of " + name);
            ASSERT_EQ(link(d.file(name).c_str(), d.file(name + "2").c_str()), 0);
            for (const std::string& n : {name, name + "2"}) {
                struct stat st;
                ASSERT_EQ(stat(d.file(n).c_str(), &st), 0);
                st.st_ino = (ino_t)inos[i];
                pack_node(p.ct, FP_EV_NODE, n.c_str(), &st, p.ct->files);
            }
        }
        pack_node(p.ct, FP_EV_END, nullptr, nullptr, nullptr);
    });
    ASSERT_EQ(rv, 0) << p.msgs();
    std::string block = p.output();
    std::map<std::string, Node> f;
    for (Node& n : fptest::read_block(block)) f[n.name] = n;
    // The first file keeps its number's low bits; each has its own.
    EXPECT_EQ(f["a"].st.st_ino, 77u);
    for (const char* name : files) {
        std::string n = name;
        EXPECT_EQ(f[n].body, "body of " + n);
        EXPECT_EQ(f[n + "2"].st.st_size, 0);
        EXPECT_EQ(f[n + "2"].st.st_ino, f[n].st.st_ino) << n;
    }
    EXPECT_NE(f["a"].st.st_ino, f["b"].st.st_ino);
    EXPECT_NE(f["a"].st.st_ino, f["c"].st.st_ino);
    EXPECT_NE(f["b"].st.st_ino, f["c"].st.st_ino);

    // Installed, every second name is a link to its own file.
    std::string blk = d.write("blk", block);
    testutil::RunResult r =
        testutil::run({"sh", "-c", "cd " + d.file("dst") + " && exec " FPACK_BIN " -u " + blk});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : files) {
        std::string n = name;
        EXPECT_EQ(testutil::readFile(d.file("dst/" + n + "2")), "body of " + n);
        struct stat one, two;
        ASSERT_EQ(stat(d.file("dst/" + n).c_str(), &one), 0);
        ASSERT_EQ(stat(d.file("dst/" + n + "2").c_str(), &two), 0);
        EXPECT_EQ(one.st_ino, two.st_ino) << n;
    }
}

// A followed link that leads back to a directory on the way down is packed
// as a node and not descended into; the walk goes on. "top" leads above
// the record's directory, so the loop shows one level further down.
TEST(PackWalk, LinkLoopsStopWithAMessage) {
    testutil::TempDir d;
    mkdirs(d.file("t"));
    mkdirs(d.file("t/sub"));
    d.write("t/sub/f", "f");
    ASSERT_EQ(symlink(".", d.file("t/self").c_str()), 0);
    ASSERT_EQ(symlink("..", d.file("t/sub/up").c_str()), 0);
    ASSERT_EQ(symlink("../..", d.file("t/sub/top").c_str()), 0);
    Packer p(d.path());
    p.record("t", {{"o", "descend"}});
    ASSERT_EQ(p.run(), 0) << p.msgs();
    for (const char* link : {"t/self", "t/sub/up", "t/sub/top/t"}) {
        EXPECT_NE(p.msgs().find(std::string(link) + ": directory loop; not descending\n"),
                  std::string::npos)
            << p.msgs();
    }
    EXPECT_EQ(names(p.files()), (std::vector<std::string>{"t", "t/self", "t/sub", "t/sub/f",
                                                          "t/sub/top", "t/sub/top/t", "t/sub/up"}));
}

TEST(PackWalk, DescentFollowsRecordOptionThenKeyword) {
    struct Case {
        const char* descend_dirs;
        const char* opt;  // o= value or null
        std::vector<std::string> want;
    };
    const std::vector<std::string> all = {"t", "t/s", "t/s/x"}, dir_only = {"t"};
    const Case cases[] = {
        {"n", nullptr, dir_only},
        {"n", "descend", all},
        {"y", nullptr, all},
        {"y", "nodescend", dir_only},
    };
    for (const Case& c : cases) {
        testutil::TempDir d;
        mkdirs(d.file("t"));
        mkdirs(d.file("t/s"));
        d.write("t/s/x", "x");
        Packer p(d.path());
        p.keyword("descend_dirs", c.descend_dirs);
        if (c.opt)
            p.record("t", {{"o", c.opt}});
        else
            p.record("t");
        EXPECT_EQ(p.run(), 0) << p.msgs();
        EXPECT_EQ(names(p.files()), c.want) << c.descend_dirs << " " << (c.opt ? c.opt : "-");
    }
}

TEST(PackWalk, ExclusionsByBaseNameAndPattern) {
    testutil::TempDir d;
    mkdirs(d.file("t"));
    mkdirs(d.file("t/sub"));
    d.write("t/keep.c", "k");
    d.write("t/x.o", "o");
    d.write("t/sub/skip.txt", "s");
    d.write("t/sub/y.o", "o");
    Packer p(d.path());
    p.exclude("skip.txt");
    p.exclude("*.o");
    p.record("t", {{"o", "descend"}});
    EXPECT_EQ(p.run(), 0) << p.msgs();
    EXPECT_EQ(names(p.files()), (std::vector<std::string>{"t", "t/keep.c", "t/sub"}));
}

TEST(PackWalk, CutOffSkipsOldNodesButStillDescends) {
    testutil::TempDir d;
    mkdirs(d.file("t"));
    d.write("t/old", "o");
    d.write("t/new", "n");
    set_mtime(d.file("t/old"), 1000);
    set_mtime(d.file("t/new"), 3000);
    set_mtime(d.file("t"), 1000);
    Packer p(d.path());
    fp_set_last_mtime(p.ct, 2000);
    p.record("t", {{"o", "descend"}});
    EXPECT_EQ(p.run(), 0) << p.msgs();
    EXPECT_EQ(names(p.files()), (std::vector<std::string>{"t/new"}));
}

TEST(PackWalk, NameThatMapsToNothingIsSkipped) {
    testutil::TempDir d;
    d.write("a", "a");
    Packer p(d.path());
    p.record(".", {{"o", "descend"}});
    EXPECT_EQ(p.run(), 0) << p.msgs();
    EXPECT_EQ(names(p.files()), (std::vector<std::string>{"a"}));
    EXPECT_EQ(p.msgs(), ".: maps to empty string.  skipping.\n");
}

TEST(PackWalk, MissingFilesAreReportedTogether) {
    testutil::TempDir d;
    d.write("here", "h");
    Packer p(d.path());
    p.keyword("stop_on_error", "n");
    p.record("gone1");
    p.record("here");
    p.record("gone2");
    EXPECT_EQ(p.run(), 0);
    EXPECT_EQ(p.ct->status, FP_ST_FAILED);
    EXPECT_EQ(p.msgs(), "Files:\n\tgone1\n\tgone2: not found\n");
    EXPECT_EQ(names(p.files()), (std::vector<std::string>{"here"}));
}

TEST(PackWalk, MissingFileWithStopOnErrorEndsTheOperation) {
    testutil::TempDir d;
    Packer p(d.path());
    p.record("gone");
    EXPECT_EQ(p.run(), FP_JMP_FATAL);
    EXPECT_EQ(p.msgs(), "Files:\n\tgone: not found\nFATAL because stop_on_error is enabled.\n");
}

TEST(PackWalk, MissingFileIsTakenFromAnAlternateDirectory) {
    struct Case {
        const char* hops;
        const char* found;  // where the file lies, relative to the root
    };
    const Case cases[] = {{"1", "sub/alt/f"}, {"2", "alt/sub/f"}, {"0", "alt/sub/f"}};
    for (const Case& c : cases) {
        testutil::TempDir d;
        ASSERT_EQ(system(("mkdir -p $(dirname " + d.file(c.found) + ")").c_str()), 0);
        d.write(c.found, "from alt");
        Packer p(d.path());
        p.keyword("alternate_dirs", "none,alt");
        p.keyword("up_dirs_hops", c.hops);
        p.record("sub/f");
        EXPECT_EQ(p.run(), 0) << p.msgs();
        EXPECT_EQ(p.files()["f"].body, "from alt") << c.hops;
    }
}

TEST(PackWalk, DeepTreesStopAtFiftyLevels) {
    testutil::TempDir d;
    std::string path = d.file("t");
    mkdirs(path);
    for (int i = 0; i < 51; i++) mkdirs(path += "/d");
    Packer p(d.path());
    p.keyword("stop_on_error", "n");
    p.record("t", {{"o", "descend"}});
    EXPECT_EQ(p.run(), 0);
    std::string deepest = "t";
    for (int i = 0; i < 50; i++) deepest += "/d";
    EXPECT_EQ(p.msgs(), deepest + ": directories nested too deep: \n");
    EXPECT_EQ(p.files().size(), 51u);  // t and 50 levels below it
}

TEST(PackWalk, OverLongChildNamesAreReportedAndSkipped) {
    testutil::TempDir d;
    // A directory whose name is just short enough, holding a child whose
    // name is too long; absolute names so that the temporary path counts.
    std::string dir = d.file("t");
    mkdirs(dir);
    int dirs = 1;
    while (dir.size() < 1000) {
        dir += "/" + std::string(std::min<size_t>(200, 1000 - dir.size()), 'c');
        mkdirs(dir);
        dirs++;
    }
    std::string leaf(40, 'l');
    d.write(dir.substr(d.path().size() + 1) + "/" + leaf, "x");
    Packer p(d.path());
    p.keyword("stop_on_error", "n");
    p.record(d.file("t").c_str(), {{"o", "descend"}});
    EXPECT_EQ(p.run(), 0);
    EXPECT_EQ(p.msgs(), dir + "/" + leaf + ": path too long: \n");
    EXPECT_EQ(p.files().size(), (size_t)dirs);
}

TEST(PackWalk, HeadersOnlyKeepsSizesWithoutBodies) {
    testutil::TempDir d;
    d.write("f", "0123456789");
    Packer p(d.path());
    p.record("f");
    EXPECT_EQ(p.run(FP_OP_PACK_HDRS), 0) << p.msgs();
    std::string out = p.output();
    auto nodes = fptest::read_block(out, true);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_NE(nodes[0].body.find("\nmodifiers=16777223\n"), std::string::npos);
    EXPECT_EQ(nodes[1].name, "f");
    EXPECT_EQ(nodes[1].st.st_size, 10);
    EXPECT_EQ(out.find("0123456789"), std::string::npos);
}

TEST(PackWalk, SymbolicLinksCarryTheirTargetAndChecksum) {
    testutil::TempDir d;
    ASSERT_EQ(symlink("abc", d.file("l").c_str()), 0);
    Packer p(d.path());
    p.keyword("follow_links", "n");
    p.record("l");
    EXPECT_EQ(p.run(), 0) << p.msgs();
    Node n = p.files()["l"];
    EXPECT_TRUE(S_ISLNK(n.st.st_mode));
    EXPECT_EQ(n.body, "abc");
    EXPECT_EQ(n.check, 0x90015098u);
}

TEST(PackWalk, FileChecksumsOnRequest) {
    testutil::TempDir d;
    d.write("f", "abc");
    for (const char* on : {"n", "y"}) {
        Packer p(d.path());
        p.keyword("file_cksums", on);
        p.record("f");
        EXPECT_EQ(p.run(), 0) << p.msgs();
        EXPECT_EQ(p.files()["f"].check, on[0] == 'y' ? 0x90015098u : 0u);
    }
}

// Changes the file between its header and its body (only the one whose
// last component is g_change_only, when set).
std::string g_change, g_change_only;
void change_file(const char* path) {
    const char* slash = strrchr(path, '/');
    if (!g_change_only.empty() && g_change_only != (slash != nullptr ? slash + 1 : path)) return;
    if (g_change == "grow") {
        int fd = open(path, O_WRONLY | O_APPEND);
        ASSERT_EQ(write(fd, "MORE", 4), 4);
        close(fd);
    } else {
        ASSERT_EQ(truncate(path, 3), 0);
    }
}

TEST(PackWalk, FileThatChangesSizeIsCutOrFilled) {
    struct Case {
        const char* change;
        std::string body;
    };
    const Case cases[] = {{"grow", "0123456789"},
                          {"shrink", std::string("012") + std::string(7, '\0')}};
    for (const Case& c : cases) {
        testutil::TempDir d;
        d.write("f", "0123456789");
        Packer p(d.path());
        p.record("f");
        g_change = c.change;
        pack_set_body_hook(change_file);
        int rv = p.run();
        pack_set_body_hook(nullptr);
        EXPECT_EQ(rv, 0) << p.msgs();
        EXPECT_EQ(p.msgs(), "f: file changed size\n");
        Node n = p.files()["f"];
        EXPECT_EQ(n.st.st_size, 10);
        EXPECT_EQ(n.body, c.body) << c.change;
    }
}

// The output of a pack into memory, a file or a pipe, as its nodes' names,
// sizes and bodies (inode numbers and times differ between trees).
std::string packed_nodes(Packer& p, const std::string& output, const std::string& dir) {
    std::string got;
    std::thread drain;
    if (output != "memory") {
        int fd;
        if (output == "file") {
            fd = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        } else {
            int pp[2];
            if (pipe(pp) != 0) return "pipe failed";
            drain = std::thread([&got, in = pp[0]] {
                char buf[8192];
                for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;) got.append(buf, (size_t)n);
                close(in);
            });
            fd = pp[1];
        }
        fp_close_output(p.ct);
        fp_set_output(p.ct, ioch_fd_init(fd));
    }
    int rv = p.run();
    if (output == "memory") {
        got = p.output();
    } else {
        ioch_write(p.ct->op, "", 0);
        fp_close_output(p.ct);
        if (drain.joinable())
            drain.join();
        else
            got = testutil::readFile(dir + "/out");
    }
    std::string nodes = "rv " + std::to_string(rv) + "\n";
    for (Node& n : fptest::read_block(got))
        nodes += n.name + " " + std::to_string(n.st.st_size) + " " +
                 std::to_string(std::hash<std::string>()(n.body)) + "\n";
    return nodes;
}

// Large bodies go to a plain output on a descriptor inside the kernel: the
// nodes are those of a pack into memory, also when the file grows or
// shrinks after its header was written.
TEST(PackWalk, LargeBodiesReachEveryOutputAlike) {
    std::string big;
    for (int i = 0; i < 200000; i++) big += (char)('a' + i % 23);
    const std::string shrunk = big.substr(0, 3) + std::string(big.size() - 3, '\0');
    for (const char* change : {"", "grow", "shrink"}) {
        std::string expect;
        for (const char* output : {"memory", "file", "pipe"}) {
            testutil::TempDir d;
            d.write("small", "tiny");
            d.write("big", big);
            Packer p(d.path());
            p.record("small");
            p.record("big");
            g_change = change;
            g_change_only = "big";
            pack_set_body_hook(*change ? change_file : nullptr);
            std::string nodes = packed_nodes(p, output, d.path());
            pack_set_body_hook(nullptr);
            g_change_only.clear();
            EXPECT_EQ(p.msgs(), *change ? "big: file changed size\n" : "") << output;
            if (expect.empty()) {
                expect = nodes;
                const std::string& want = strcmp(change, "shrink") == 0 ? shrunk : big;
                EXPECT_NE(
                    nodes.find("big 200000 " + std::to_string(std::hash<std::string>()(want))),
                    std::string::npos)
                    << change << "\n"
                    << nodes;
            }
            EXPECT_EQ(nodes, expect) << output << " " << change;
        }
    }
}

TEST(PackWalk, LargeFileBodyIsCopiedWhole) {
    testutil::TempDir d;
    std::string big;
    for (int i = 0; i < 200000; i++) big += (char)('a' + i % 23);
    d.write("big", big);
    Packer p(d.path());
    p.keyword("do_checksum", "y");
    p.keyword("do_compress", "y");
    p.record("big");
    EXPECT_EQ(p.run(), 0) << p.msgs();
    EXPECT_EQ(p.files()["big"].body, big);
}

struct MergeCase {
    const char* name;
    int depth;
    std::vector<std::pair<const char*, const char*>> opts;
    std::vector<std::pair<const char*, const char*>> keywords;
    const char* dest;  // null: skipped
};

TEST(MergeStat, DestinationNames) {
    const MergeCase cases[] = {
        {"src/f", 0, {}, {}, "f"},
        {"src/f", 0, {{"d", "/opt/x"}}, {}, "/opt/x/f"},
        {"src/f", 0, {{"d", "/opt/x/"}}, {}, "/opt/x/f"},
        {"src/f", 0, {}, {{"default_dest", "C://usr/local"}}, "usr/local/f"},
        {"/abs/src/f", 0, {}, {{"keep_paths", "y"}}, "abs/src/f"},
        {"/abs/src/f", 0, {}, {{"keep_paths", "y"}, {"default_dest", "/base"}}, "base/abs/src/f"},
        {"src/f", 0, {{"d", "dd"}}, {{"keep_paths", "y"}}, "dd/f"},
        {"src/dir/sub/f", 1, {}, {}, "dir/sub/f"},
        {"src/dir/.", 0, {{"d", "/opt"}}, {}, "/opt"},
        {"src/dir/.", 0, {}, {}, nullptr},
    };
    for (const MergeCase& c : cases) {
        Packer p("/nowhere");
        p.keyword("stop_on_error", "n");
        for (auto& k : c.keywords) p.keyword(k.first, k.second);
        p.record(c.depth ? "src/dir" : c.name, c.opts);
        p.ct->depth = c.depth;
        struct stat st = {};
        st.st_mode = 0100644;
        char dest[FP_PATH_MAX + 1] = "";
        int rv = 0;
        EXPECT_EQ(guarded(p.ct, [&] { rv = merge_stat(p.ct, c.name, &st, p.ct->files, dest); }), 0);
        if (c.dest == nullptr) {
            EXPECT_EQ(rv, -1) << c.name;
        } else {
            EXPECT_EQ(rv, 0) << c.name;
            EXPECT_STREQ(dest, c.dest) << c.name;
        }
    }
}

TEST(MergeStat, AttributesFromRecordThenKeywordsElseTheFile) {
    Packer p("/nowhere");
    p.keyword("default_file_mode", "0600");
    p.keyword("default_dir_mode", "0700");
    p.keyword("unix_default_file_uid", "11");
    p.keyword("unix_default_dir_gid", "22");
    p.keyword("default_mtime", "0102030405");
    p.record("f", {{"m", "0444"}, {"G", "33"}});
    struct stat file = {}, dir = {};
    file.st_mode = 0100755;
    file.st_uid = 1;
    file.st_gid = 2;
    dir.st_mode = 040755;
    dir.st_uid = 1;
    dir.st_gid = 2;
    char dest[FP_PATH_MAX + 1];
    ASSERT_EQ(merge_stat(p.ct, "f", &file, p.ct->files, dest), 0);
    ASSERT_EQ(merge_stat(p.ct, "f", &dir, p.ct->files, dest), 0);
    EXPECT_EQ(file.st_mode, 0100444u);
    EXPECT_EQ(file.st_uid, 11u);
    EXPECT_EQ(file.st_gid, 2u);
    EXPECT_EQ(dir.st_mode, 040700u);
    EXPECT_EQ(dir.st_uid, 1u);
    EXPECT_EQ(dir.st_gid, 33u);
    EXPECT_EQ(file.st_mtime, p.ct->conf->default_mtime);
    EXPECT_NE(p.ct->conf->default_mtime, -1);
}

TEST(Match, ShellStylePatterns) {
    struct Case {
        const char* pattern;
        const char* text;
        int want;
    };
    const Case cases[] = {
        {"*.o", "a/b/c.o", 1},   {"*.o", "c.oo", 0},     {"a?c", "abc", 1},    {"a?c", "ac", 0},
        {"[a-c]x", "bx", 1},     {"[^a-c]x", "bx", 0},   {"[^a-c]x", "dx", 1}, {"[]]", "]", 1},
        {"[abc", "a", 0},        {"\\*", "*", 1},        {"\\*", "x", 0},      {"*", "", 1},
        {"a*b*c", "aXXbYYc", 1}, {"a*b*c", "aXXbYY", 0}, {"", "", 1},          {nullptr, "x", 0},
        {"x", nullptr, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fp_match(c.pattern, c.text), c.want)
            << (c.pattern ? c.pattern : "null") << " " << (c.text ? c.text : "null");
}

}  // namespace
