// Hostile blocks and planted trees: whatever a block names and whatever
// links others planted in the tree, nothing outside the install location
// is written, chmod'ed, chown'ed, timed or removed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "unpack.h"
#include "unpack_test_util.h"

namespace {

using testutil::readFile;
using testutil::TempDir;
using uptest::Node;
using uptest::Result;

const mode_t kDir = S_IFDIR | 0755;
const mode_t kFile = S_IFREG | 0644;
const mode_t kLink = S_IFLNK | 0777;

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool is_a(const std::string& path, mode_t type) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// Where the tests install (D: d/dst) and what others own (O: a directory
// elsewhere with a file and a directory in it).
struct Scene {
    TempDir d, other;
    std::string dst = d.file("dst"), out = other.path();
    Scene() {
        uptest::mkdir_p(dst + "/tree");
        uptest::write_file(out + "/victim", "precious", 0644, 1400000000);
        uptest::mkdir_p(out + "/x");
        uptest::write_file(out + "/x/inner", "inner", 0600, 1400000000);
        uptest::set_time(out + "/x", 1400000000);
        uptest::set_time(out, 1400000000);
    }
    // "%D" and "%O" in text stand for the two places.
    std::string in(const std::string& text) const {
        return replace_all(replace_all(text, "%D", dst), "%O", out);
    }
    void link(const std::string& target, const std::string& at) const {
        ASSERT_EQ(symlink(in(target).c_str(), in(at).c_str()), 0) << at;
    }
};

TEST(UnpackHostile, PlantedLinksAndHostileNamesNeverLeadOutside) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> links;  // target, where
        std::vector<Node> nodes;
        int op;
        std::string keywords;  // with %D, %O
        std::string msg;       // expected message, with %D
        int rv;
        std::function<bool(const Scene&)> after;
        const char* pkg = "pkg";
    };
    const std::vector<Node> lib = {
        {"tree", kDir, ""}, {"tree/lib", S_IFDIR | 0750, ""}, {"tree/lib/victim", kFile, "new"}};
    const Case cases[] = {
        {"a directory node takes the place of a planted directory link",
         {{"%O", "%D/tree/lib"}},
         lib,
         FP_OP_INSTALL,
         "",
         "%D/tree/lib: symbolic link replaced by a directory\n",
         FP_ST_OK,
         [](const Scene& s) {
             struct stat st;
             return lstat(s.in("%D/tree/lib").c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                    (st.st_mode & 07777) == 0750 && readFile(s.in("%D/tree/lib/victim")) == "new";
         }},
        {"the same with rm_extraneous",
         {{"%O", "%D/tree/lib"}},
         lib,
         FP_OP_INSTALL,
         "rm_extraneous=y\n",
         "%D/tree/lib: symbolic link replaced by a directory\n",
         FP_ST_OK,
         [](const Scene& s) { return readFile(s.in("%D/tree/lib/victim")) == "new"; }},
        {"a file beneath a link that no node replaces is refused",
         {{"%O", "%D/tree/lib"}},
         {{"tree/lib/victim", kFile, "new"}},
         FP_OP_INSTALL,
         "rm_extraneous=y\nbackup_fmt=%f.bak\n",
         "%D/tree/lib/victim: %D/tree/lib is a symbolic link; not followed\n",
         FP_ST_FAILED,
         [](const Scene& s) { return is_a(s.in("%D/tree/lib"), S_IFLNK); }},
        {"a link in the way of the install location's subdirectories",
         {{"%O", "%D/tree/lib"}},
         {{"tree/lib/x/new", kFile, "new"}},
         FP_OP_INSTALL,
         "",
         "%D/tree/lib/x/new: %D/tree/lib is a symbolic link; not followed\n",
         FP_ST_FAILED,
         [](const Scene&) { return true; }},
        {"a link beside a directory already entered",
         {{"%O", "%D/tree/lib"}},
         {{"tree/f", kFile, "new"}, {"tree/lib/x/new", kFile, "new"}},
         FP_OP_INSTALL,
         "",
         "%D/tree/lib/x/new: %D/tree/lib is a symbolic link; not followed\n",
         FP_ST_FAILED,
         [](const Scene& s) { return readFile(s.in("%D/tree/f")) == "new"; }},
        {"a file node replaces a link at its name",
         {{"%O/victim", "%D/tree/f"}},
         {{"tree/f", kFile, "new"}},
         FP_OP_INSTALL,
         "",
         "",
         FP_ST_OK,
         [](const Scene& s) {
             return is_a(s.in("%D/tree/f"), S_IFREG) && readFile(s.in("%D/tree/f")) == "new";
         }},
        {"a symbolic link node replaces a link at its name",
         {{"%O", "%D/tree/l"}},
         {{"tree/l", kLink, "somewhere"}},
         FP_OP_INSTALL,
         "",
         "",
         FP_ST_OK,
         [](const Scene& s) {
             char t[64] = "";
             return readlink(s.in("%D/tree/l").c_str(), t, sizeof t) == 9 &&
                    std::string(t, 9) == "somewhere";
         }},
        {"a directory node at a dangling link makes nothing where it points",
         {{"%O/newdir", "%D/tree/d"}},
         {{"tree/d", kDir, ""}, {"tree/d/f", kFile, "new"}},
         FP_OP_INSTALL,
         "",
         "",
         FP_ST_OK,
         [](const Scene& s) { return readFile(s.in("%D/tree/d/f")) == "new"; }},
        {"a file node where the tree holds a directory leaves it and no temporary",
         {},
         {{"tree/d", kDir, ""}, {"tree/d/inner", kFile, "in"}, {"tree/d", kFile, "file"}},
         FP_OP_INSTALL,
         "",
         "cannot install: %D/tree/d: is a dir\n",
         FP_ST_FAILED,
         [](const Scene& s) {
             return uptest::all_names(s.in("%D/tree")) ==
                    std::vector<std::string>{"d", "d/inner", "victim"};
         }},
        {"a name with \"..\" is refused",
         {},
         {{"tree/../../escape", kFile, "evil"}, {"tree/good", kFile, "good"}},
         FP_OP_INSTALL,
         "",
         "tree/../../escape: name has a \"..\" component; not installed\n",
         FP_ST_FAILED,
         [](const Scene& s) {
             return !exists(s.d.file("escape")) && readFile(s.in("%D/tree/good")) == "good";
         }},
        {"an absolute name stays below the platform prefix",
         {},
         {{"/abs/evil", kFile, "x"}},
         FP_OP_INSTALL,
         "",
         "/abs/evil: leading \"/\" removed from node names\n",
         FP_ST_OK,
         [](const Scene& s) { return readFile(s.in("%D/abs/evil")) == "x"; }},
        {"a backup name beneath a planted link is refused",
         {{"%O", "%D/tree/bak"}},
         {{"tree/victim", kFile, "new"}},
         FP_OP_INSTALL,
         "backup_fmt=bak/%f\n",
         "%D/tree/bak/victim: %D/tree/bak is a symbolic link; not followed\n",
         FP_ST_FAILED,
         [](const Scene& s) { return readFile(s.in("%D/tree/victim")) == "old"; }},
        {"uninstall removes nothing through a link planted after the install",
         {{"%O", "%D/tree/lib"}},
         lib,
         FP_OP_UNINSTALL,
         "",
         "uninstall: %D/tree/lib/victim: %D/tree/lib is a symbolic link; not followed\n",
         FP_ST_FAILED,
         [](const Scene& s) { return is_a(s.in("%D/tree/lib"), S_IFLNK); }},
        {"the list file replaces a link at its name",
         {{"%O/victim", "%D/lists/pkg.log"}},
         {{"tree/f", kFile, "new"}},
         FP_OP_INSTALL,
         "list_path=%D/lists\n",
         "list file: %D/lists/pkg.log\n",
         FP_ST_OK,
         [](const Scene& s) {
             return is_a(s.in("%D/lists/pkg.log"), S_IFREG) &&
                    readFile(s.in("%D/lists/pkg.log")).find(s.in("%D/tree/f\n")) !=
                        std::string::npos;
         }},
        {"a package name with \"..\" makes no list file",
         {},
         {{"tree/f", kFile, "new"}},
         FP_OP_INSTALL,
         "list_path=%D/lists\n",
         "../../x: package name is no file name; no list file\n",
         FP_ST_FAILED,
         [](const Scene& s) { return !exists(s.d.file("x.log")) && !exists(s.in("%D/x.log")); },
         "../../x"},
        {"a package name with \"/\" makes no list file",
         {},
         {{"tree/f", kFile, "new"}},
         FP_OP_INSTALL,
         "list_path=%D/lists\n",
         "a/b: package name is no file name; no list file\n",
         FP_ST_FAILED,
         [](const Scene& s) { return !exists(s.in("%D/lists/a")); },
         "a/b"},
    };
    for (const Case& c : cases) {
        Scene s;
        uptest::mkdir_p(s.dst + "/lists");
        uptest::write_file(s.dst + "/tree/victim", "old", 0644, 1400000000);
        for (auto& l : c.links) s.link(l.first, l.second);
        std::map<std::string, std::string> before = uptest::describe(s.out);
        std::string blk = uptest::craft_block(c.nodes, "", c.pkg);
        Result r = uptest::unpack(blk, c.op, FP_MOD_DEFAULT,
                                  s.in("unix_platform_prefix=%D\nstop_on_error=n\n" + c.keywords));
        EXPECT_EQ(r.rv, c.rv) << c.what << "\n" << r.msgs;
        EXPECT_NE(r.msgs.find(s.in(c.msg)), std::string::npos) << c.what << "\n" << r.msgs;
        EXPECT_EQ(uptest::describe(s.out), before) << c.what << "\n" << r.msgs;
        EXPECT_TRUE(c.after(s)) << c.what << "\n" << r.msgs;
    }
}

}  // namespace
