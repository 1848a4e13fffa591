#include "model/DebugLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <vector>

#include "tests/test_util.h"

namespace {

struct Restore {
    ~Restore() { dbFile.reopen(defaultDebugLogPath()); }
};

TEST(DebugLog, FreshLogTruncatesAndWritesWithMode0664) {
    testutil::TempDir dir;
    std::string log = dir.write("log", "old contents\n");
    Restore restore;
    ASSERT_TRUE(dbFile.reopen(log, DebugLogMode::Fresh));
    dbFile << "line one" << std::endl;
    EXPECT_EQ(testutil::readFile(log), "line one\n");
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
}

// A link planted at the log's path must not redirect root's writes.
TEST(DebugLog, NeverWritesThroughPlantedLinks) {
    testutil::TempDir dir;
    std::string victim = dir.write("victim", "precious\n");
    std::string symlinked = dir.file("sym.log");
    std::string hardlinked = dir.file("hard.log");
    ASSERT_EQ(symlink(victim.c_str(), symlinked.c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), hardlinked.c_str()), 0);
    Restore restore;
    for (const std::string& log : {symlinked, hardlinked}) {
        ASSERT_TRUE(dbFile.reopen(log, DebugLogMode::Fresh)) << log;
        dbFile << "trace" << std::endl;
        EXPECT_EQ(testutil::readFile(log), "trace\n") << log;
        struct stat st;
        ASSERT_EQ(lstat(log.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    EXPECT_EQ(testutil::readFile(victim), "precious\n");
}

// A log pointed at a device writes to it; no entry but a file or a link is
// ever removed (a run as root once replaced /dev/null by a plain file).
TEST(DebugLog, DevicesAreWrittenAndOtherEntriesKept) {
    testutil::TempDir dir;
    std::string null = dir.file("null");
    std::string fifo = dir.file("fifo");
    std::string sub = dir.file("sub");
    if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    Restore restore;
    EXPECT_TRUE(dbFile.reopen(null));
    dbFile << "discarded" << std::endl;
    EXPECT_FALSE(dbFile.reopen(fifo));  // no reader
    EXPECT_FALSE(dbFile.reopen(sub));
    struct stat st;
    ASSERT_EQ(lstat(null.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(lstat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// A path the administrator names is appended to when it is a file of ours;
// anything else there belongs to someone and is left exactly as it was.
TEST(DebugLog, NamedPathIsAppendedToOrRefused) {
    testutil::TempDir dir;
    Restore restore;
    std::string own = dir.write("own.log", "earlier run\n");
    ASSERT_TRUE(dbFile.reopen(own));
    dbFile << "this run" << std::endl;
    EXPECT_EQ(testutil::readFile(own), "earlier run\nthis run\n");

    std::string fresh = dir.file("new.log");
    ASSERT_TRUE(dbFile.reopen(fresh));
    dbFile << "first" << std::endl;
    EXPECT_EQ(testutil::readFile(fresh), "first\n");

    std::string victim = dir.write("victim", "precious\n");
    std::string foreign = dir.write("foreign.log", "someone's\n");
    std::string symlinked = dir.file("sym.log");
    std::string hardlinked = dir.file("hard.log");
    ASSERT_EQ(symlink(victim.c_str(), symlinked.c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), hardlinked.c_str()), 0);
    std::vector<std::string> refused = {symlinked, hardlinked};
    if (geteuid() == 0) {  // another owner's file needs root to make
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        refused.push_back(foreign);
    }
    for (const std::string& log : refused) {
        EXPECT_FALSE(dbFile.reopen(log)) << log;
        dbFile << "trace" << std::endl;
    }
    EXPECT_EQ(testutil::readFile(victim), "precious\n");
    EXPECT_EQ(testutil::readFile(foreign), "someone's\n");
    struct stat st;
    ASSERT_EQ(lstat(symlinked.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);
}

TEST(DebugLog, UnopenableLogSwallowsOutput) {
    Restore restore;
    EXPECT_FALSE(dbFile.reopen("/nonexistent-dir/log"));
    dbFile << "nowhere" << std::endl;
    EXPECT_TRUE(dbFile.good());
}

}  // namespace
