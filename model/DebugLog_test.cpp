#include "model/DebugLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace {

struct Restore {
    ~Restore() { dbFile.reopen(defaultDebugLogPath()); }
};

TEST(DebugLog, TruncatesAndWritesWithMode0664) {
    testutil::TempDir dir;
    std::string log = dir.write("log", "old contents\n");
    Restore restore;
    ASSERT_TRUE(dbFile.reopen(log));
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
        ASSERT_TRUE(dbFile.reopen(log)) << log;
        dbFile << "trace" << std::endl;
        EXPECT_EQ(testutil::readFile(log), "trace\n") << log;
        struct stat st;
        ASSERT_EQ(lstat(log.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    EXPECT_EQ(testutil::readFile(victim), "precious\n");
}

TEST(DebugLog, UnopenableLogSwallowsOutput) {
    Restore restore;
    EXPECT_FALSE(dbFile.reopen("/nonexistent-dir/log"));
    dbFile << "nowhere" << std::endl;
    EXPECT_TRUE(dbFile.good());
}

}  // namespace
