#include "model/LineTag.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "model/DebugLog.h"
#include "tests/test_util.h"

namespace {

TEST(TaggedLines, WholeLinesOnlyEachAfterTheTag) {
    struct Case {
        std::vector<std::string> pieces;
        std::string whole;  // what all the adds gave together
        std::string rest;
    } cases[] = {
        {{"one\n"}, "h: one\n", ""},
        {{"o", "n", "e\n"}, "h: one\n", ""},
        {{"one\ntwo\n"}, "h: one\nh: two\n", ""},
        {{"one\ntw", "o\nthr"}, "h: one\nh: two\n", "h: thr\n"},
        {{"\n", "\n"}, "h: \nh: \n", ""},
        {{".", ".", "."}, "", "h: ...\n"},
        {{}, "", ""},
    };
    for (const Case& c : cases) {
        TaggedLines lines;
        std::string whole;
        for (const std::string& p : c.pieces) whole += lines.add(p.data(), p.size(), "h: ");
        EXPECT_EQ(whole, c.whole) << c.whole;
        EXPECT_EQ(lines.rest("h: "), c.rest) << c.whole;
        EXPECT_EQ(lines.rest("h: "), "") << "the rest is taken once";
    }
}

TEST(LineTag, SetForItsLifetimeAndForItsThreadOnly) {
    EXPECT_EQ(lineTag(), "");
    {
        LineTag outer("a: ");
        {
            LineTag inner("b: ");
            EXPECT_EQ(lineTag(), "b: ");
        }
        EXPECT_EQ(lineTag(), "a: ");
        std::string elsewhere = "unset";
        std::thread([&] { elsewhere = lineTag(); }).join();
        EXPECT_EQ(elsewhere, "");
    }
    EXPECT_EQ(lineTag(), "");
}

// Two threads write half lines in turn into the one log: every line comes
// out whole and tagged, untagged text as it was.
TEST(LineTag, DebugLogLinesOfTwoThreadsNeverMix) {
    testutil::TempDir dir;
    std::string log = dir.file("log");
    struct Restore {
        ~Restore() { dbFile.reopen(defaultDebugLogPath()); }
    } restore;
    ASSERT_TRUE(dbFile.reopen(log, DebugLogMode::Fresh));
    std::promise<void> aStarted, bDone;
    std::thread a([&] {
        LineTag tag("alpha: ");
        dbFile << "first half" << std::flush;
        aStarted.set_value();
        bDone.get_future().wait();
        dbFile << ", second half" << std::endl << "unended";
        dbFile.endTaggedLine();
    });
    aStarted.get_future().wait();
    std::thread b([&] {
        LineTag tag("beta: ");
        dbFile << "b one" << '\n' << "b " << 2 << std::endl;
        dbFile.endTaggedLine();
    });
    b.join();
    bDone.set_value();
    a.join();
    dbFile << "plain " << 3 << std::endl;
    EXPECT_EQ(testutil::readFile(log),
              "beta: b one\nbeta: b 2\nalpha: first half, second half\nalpha: unended\nplain 3\n");
}

}  // namespace
