#include "hosts/PrivateDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/test_util.h"

namespace {

const uid_t kOther = 4321;

struct Made {
    bool marker;
    bool isPrivateDir;
};

// Runs the script for parent/name and looks at what is there afterwards.
Made make(const std::string& parent, const std::string& name) {
    std::string dir = parent + "/" + name;
    testutil::RunResult r =
        testutil::run({"sh", "-c", makePrivateDirScript(dir.c_str()).str() + " && echo next"});
    struct stat st;
    bool isDir = lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return {r.out == std::string(PRIVATE_DIR_MADE) + "\nnext\n",
            isDir && (st.st_mode & 07777) == 0700 && st.st_uid == geteuid()};
}

TEST(PrivateDir, NamesAreFreshAndUnderTheParent) {
    // Only the names are made here, nothing is written: the fixed part is a
    // prefix, the 12 random characters after it make each name fresh.
    Str a = newPrivateDirPath("/tmp"), b = newPrivateDirPath("/tmp");
    EXPECT_EQ(a.index("/tmp/quillset."), 0);
    EXPECT_EQ(a.length(), int(std::string("/tmp/quillset.").size()) + 12);
    EXPECT_NE(a, b);
    EXPECT_TRUE(privateDirMade(Str(PRIVATE_DIR_MADE) + "\n12 3\n"));
    EXPECT_FALSE(privateDirMade("mkdir: cannot create\n"));
}

// A parent that nobody else can rearrange is used; one in which another
// account could rename the directory and put its own there is refused.
TEST(PrivateDir, MadeOnlyUnderAParentNoOtherAccountControls) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another account";
    testutil::TempDir d;
    struct Case {
        const char* name;
        mode_t mode;
        uid_t owner;
        bool made;
    } cases[] = {
        {"sticky and writable by all", 01777, 0, true},
        {"only the owner writes", 0755, 0, true},
        {"writable by all without sticky bit", 0777, 0, false},
        {"writable by the group", 0775, 0, false},
        {"owned by another account", 0755, kOther, false},
        {"sticky but owned by another account", 01777, kOther, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string parent = d.file(c.name);
        ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
        ASSERT_EQ(chown(parent.c_str(), c.owner, 0), 0);
        ASSERT_EQ(chmod(parent.c_str(), c.mode), 0);
        Made m = make(parent, "quillset.x");
        EXPECT_EQ(m.marker, c.made);
        EXPECT_EQ(m.isPrivateDir, c.made);
        if (!c.made) {
            EXPECT_NE(access((parent + "/quillset.x").c_str(), F_OK), 0);
        }
    }
}

// Whatever stands at the name already is neither used nor followed.
TEST(PrivateDir, ThingsPlantedAtTheNameAreNotUsed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another account";
    testutil::TempDir d;
    ASSERT_EQ(chmod(d.path().c_str(), 01777), 0);
    ASSERT_EQ(mkdir(d.file("elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(symlink(d.file("elsewhere").c_str(), d.file("link").c_str()), 0);
    ASSERT_EQ(mkdir(d.file("foreign").c_str(), 0700), 0);
    ASSERT_EQ(chown(d.file("foreign").c_str(), kOther, kOther), 0);
    d.write("file", "planted\n");
    for (const char* name : {"link", "foreign", "file"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(make(d.path(), name).marker);
    }
    struct stat st;
    ASSERT_EQ(stat(d.file("elsewhere").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(stat(d.file("foreign").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOther);
    EXPECT_EQ(testutil::readFile(d.file("file")), "planted\n");
}

// A directory whose marker line was lost goes when it is private to the
// account; nothing else at the name is removed or followed.
TEST(PrivateDir, RemovalTakesOnlyAPrivateDirectoryOfTheAccount) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another account";
    testutil::TempDir d;
    ASSERT_EQ(mkdir(d.file("elsewhere").c_str(), 0700), 0);
    d.write("elsewhere/kept", "x");
    struct Case {
        const char* name;
        bool removed;
    } cases[] = {
        {"made", true}, {"open", false}, {"foreign", false}, {"link", false}, {"missing", false},
    };
    ASSERT_TRUE(make(d.path(), "made").isPrivateDir);
    d.write("made/engine", "x");
    ASSERT_EQ(mkdir(d.file("open").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(d.file("foreign").c_str(), 0700), 0);
    ASSERT_EQ(chown(d.file("foreign").c_str(), kOther, kOther), 0);
    ASSERT_EQ(symlink(d.file("elsewhere").c_str(), d.file("link").c_str()), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = d.file(c.name);
        EXPECT_EQ(testutil::run({"sh", "-c", removePrivateDirScript(path.c_str()).str()}).status,
                  0);
        struct stat st;
        EXPECT_EQ(lstat(path.c_str(), &st) != 0, c.removed || std::string(c.name) == "missing");
    }
    EXPECT_EQ(testutil::readFile(d.file("elsewhere/kept")), "x");
}

}  // namespace
