#include "safe_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/test_util.h"

namespace {

using testutil::TempDir;

// A tree with the things a walk meets: directories, a link to a directory
// elsewhere, a dangling link, a file; and a link to the tree itself, as an
// administrator's install location may be.
struct Tree {
    TempDir d, elsewhere;
    std::string root = d.file("root");
    Tree() {
        mkdir(root.c_str(), 0755);
        mkdir((root + "/a").c_str(), 0755);
        mkdir((root + "/a/b").c_str(), 0755);
        mkdir((root + "/a/b/c").c_str(), 0755);
        mkdir((elsewhere.path() + "/x").c_str(), 0755);
        symlink(elsewhere.path().c_str(), (root + "/a/link").c_str());
        symlink("nowhere", (root + "/a/dangling").c_str());
        close(open((root + "/a/file").c_str(), O_WRONLY | O_CREAT, 0644));
        symlink(root.c_str(), d.file("alias").c_str());
    }
};

bool same_inode(int fd, const std::string& path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

TEST(SafePath, OpensDirectoriesBelowTheRootWithoutFollowingLinks) {
    Tree t;
    struct Case {
        std::string base;  // the root, followed as named
        std::string rest;  // walked below it
        int err;           // 0: opened
        std::string stop;  // the prefix (of rest) that could not be entered
    };
    const Case cases[] = {
        {t.root, "/a/b/c", 0, ""},
        {t.root, "//a/./b//c/", 0, ""},
        {t.d.file("alias"), "/a/b", 0, ""},
        {t.root, "/a/link/x", ELOOP, "/a/link"},
        {t.d.file("alias"), "/a/link", ELOOP, "/a/link"},
        {t.root, "/a/dangling/x", ELOOP, "/a/dangling"},
        {t.root, "/a/file/x", ENOTDIR, "/a/file"},
        {t.root, "/a/missing/x", ENOENT, "/a/missing"},
        {t.root, "/a/../a/b", EINVAL, "/a/.."},
        {t.d.file("gone"), "/a", ENOENT, ""},
    };
    for (const Case& c : cases) {
        std::string path = c.base + c.rest;
        // From the root, and on from a descriptor of it (which stays open).
        int base = open(c.base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        for (bool from : {false, true}) {
            if (from && base < 0) continue;
            size_t failed = 0;
            errno = 0;
            int fd = from
                         ? sp_open_dir_from(base, path.c_str(), c.base.size(), path.size(), &failed)
                         : sp_open_dir(path.c_str(), c.base.size(), path.size(), &failed);
            if (c.err == 0) {
                EXPECT_GE(fd, 0) << path << ": " << strerror(errno);
                EXPECT_TRUE(same_inode(fd, path)) << path;
                if (fd >= 0) close(fd);
            } else {
                EXPECT_EQ(fd, -1) << path;
                EXPECT_EQ(errno, c.err) << path << ": " << strerror(errno);
                EXPECT_EQ(path.substr(0, failed), c.base + c.stop) << path;
            }
        }
        if (base >= 0) {
            EXPECT_EQ(fcntl(base, F_GETFD), FD_CLOEXEC) << path << ": the caller's descriptor";
            close(base);
        }
    }
}

// A missing component is reported where it can be made, and the walk goes
// on once it exists.
TEST(SafePath, StepStopsAtAMissingComponentInItsParent) {
    Tree t;
    std::string path = t.root + "/a/new/deeper";
    sp_walk w;
    ASSERT_EQ(sp_begin(&w, path.c_str(), t.root.size()), 0);
    size_t comp, len;
    EXPECT_EQ(sp_step(&w, path.c_str(), path.size(), &comp, &len), 0);
    EXPECT_EQ(sp_step(&w, path.c_str(), path.size(), &comp, &len), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(path.substr(comp, len), "new");
    ASSERT_EQ(mkdirat(w.fd, "new", 0755), 0);
    EXPECT_EQ(sp_step(&w, path.c_str(), path.size(), &comp, &len), 0);
    EXPECT_EQ(sp_step(&w, path.c_str(), path.size(), &comp, &len), -1);
    EXPECT_EQ(path.substr(comp, len), "deeper");
    sp_end(&w);
}

TEST(SafePath, LeafAndDotDot) {
    struct Case {
        const char* path;
        size_t leaf, dir_end;
    };
    const Case cases[] = {
        {"a/b/c", 4, 3}, {"/x", 1, 1}, {"x", 0, 0}, {"a//b", 3, 1}, {"/", 1, 1},
    };
    for (const Case& c : cases) {
        size_t dir_end = 99;
        EXPECT_EQ(sp_leaf(c.path, &dir_end), c.leaf) << c.path;
        EXPECT_EQ(dir_end, c.dir_end) << c.path;
    }
    for (const char* p : {"..", "../x", "a/../b", "a/..", "/.."})
        EXPECT_TRUE(sp_has_dotdot(p)) << p;
    for (const char* p : {"", "a", "..a", "a..", "a/..b", "a/b../c", "."})
        EXPECT_FALSE(sp_has_dotdot(p)) << p;
}

}  // namespace
