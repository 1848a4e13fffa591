#include "hosts/GroupStop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "hosts/RemoteCommand.h"
#include "hosts/host_test_fixture.h"
#include "tests/test_util.h"

namespace {

TEST(GroupLine, IsTakenOnlyAsTheFramesFirstLine) {
    struct Case {
        const char* raw;
        pid_t group;
        const char* output;  // what unframe gives
    } cases[] = {
        {"BEG_OF_STREAM\nPGID_OF_STREAM 1234\nabc\n\nEND_OF_STREAM\n", 1234, "abc\n"},
        {"banner\nBEG_OF_STREAM\nPGID_OF_STREAM 77\n\nEND_OF_STREAM\n", 77, ""},
        // No group of its own on the host: the line is there, empty.
        {"BEG_OF_STREAM\nPGID_OF_STREAM \nabc\n\nEND_OF_STREAM\n", 0, "abc\n"},
        // A frame without the line (an OS/2 host).
        {"BEG_OF_STREAM\nabc\n\nEND_OF_STREAM\n", 0, "abc\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 0\nx\n\nEND_OF_STREAM\n", 0, "x\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 1\nx\n\nEND_OF_STREAM\n", 0, "x\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 2\nx\n\nEND_OF_STREAM\n", 2, "x\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 2147483647\nx\n\nEND_OF_STREAM\n", 2147483647, "x\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 2147483648\nx\n\nEND_OF_STREAM\n", 0, "x\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 99999999999999999999999\nx\n\nEND_OF_STREAM\n", 0, "x\n"},
        // Not the frame's shape: left as the command's own output.
        {"BEG_OF_STREAM\nPGID_OF_STREAM -1\nx\n\nEND_OF_STREAM\n", 0, "PGID_OF_STREAM -1\nx\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM +5\nx\n\nEND_OF_STREAM\n", 0, "PGID_OF_STREAM +5\nx\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 12a4\nx\n\nEND_OF_STREAM\n", 0, "PGID_OF_STREAM 12a4\nx\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM  5\nx\n\nEND_OF_STREAM\n", 0, "PGID_OF_STREAM  5\nx\n"},
        {"BEG_OF_STREAM\nPGID_OF_STREAM\nx\n\nEND_OF_STREAM\n", 0, "PGID_OF_STREAM\nx\n"},
        // Look-alikes anywhere else are the command's output.
        {"BEG_OF_STREAM\nPGID_OF_STREAM 77\nPGID_OF_STREAM 88\n\nEND_OF_STREAM\n", 77,
         "PGID_OF_STREAM 88\n"},
        {"BEG_OF_STREAM\nabc\nPGID_OF_STREAM 88\n\nEND_OF_STREAM\n", 0, "abc\nPGID_OF_STREAM 88\n"},
        {"PGID_OF_STREAM 5\nBEG_OF_STREAM\nx\n\nEND_OF_STREAM\n", 0, "x\n"},
        {"BEG_OF_STREAMPGID_OF_STREAM 5\nx\n\nEND_OF_STREAM\n", 0, "GID_OF_STREAM 5\nx\n"},
        // Cut off: truncated as it would be without the line.
        {"BEG_OF_STREAM\nPGID_OF_STREAM 5\npartial", 5, "\npartialOutput truncated."},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 5\n", 5, "\nOutput truncated."},
        {"BEG_OF_STREAM\nPGID_OF_STREAM 5", 0, "\nPGID_OF_STREAM 5Output truncated."},
        {"", 0, "Output truncated."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(reportedGroup(c.raw), c.group) << c.raw;
        EXPECT_EQ(unframe(c.raw), c.output) << c.raw;
    }
}

// The frame in the shells a host's "sh" may be: the group line comes
// first, the command's output, input and exit as they were.
class FrameInShell : public HostTest, public testing::WithParamInterface<const char*> {
  protected:
    testutil::RunResult runFramed(const std::string& command, const std::string& input = "") {
        Str framed = genericRemoteWrapper(command.c_str(), nullptr);
        return testutil::run({GetParam(), "-c", framed.str()}, input, {}, 30);
    }
};

TEST_P(FrameInShell, CommandRunsInAGroupOfItsOwn) {
    testutil::RunResult r = runFramed("ps -o pgid= -o sid= -p $$ | tr -s ' ' '\\n' | grep .; cat");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    pid_t group = reportedGroup(r.out.c_str());
    ASSERT_GT(group, 1) << r.out;
    std::string id = std::to_string(group);
    // Leader of its group and of its session: a stop of the group reaches
    // nothing else.
    EXPECT_EQ(unframe(r.out.c_str()), Str(id + "\n" + id + "\n"));
    r = runFramed("cat; echo \"it's\" \"$1\"", "line 1\nline 2\n");
    EXPECT_EQ(unframe(r.out.c_str()), "line 1\nline 2\nit's \n");
}

TEST_P(FrameInShell, AnExitInTheCommandStillCutsTheFrameShort) {
    testutil::RunResult r = runFramed("echo partial; exit 3");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(unframe(r.out.c_str()), "\npartial\nOutput truncated.");
    r = runFramed("false");
    EXPECT_EQ(r.status, 0) << "the frame's own echo ends it, as before";
}

TEST_P(FrameInShell, ACommandHoldingTheDelimiterRunsWholeWithoutAGroup) {
    testutil::RunResult r =
        runFramed("cat <<'QS_END_OF_COMMAND'\nkept\nQS_END_OF_COMMAND\necho after");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(reportedGroup(r.out.c_str()), 0) << r.out;
    EXPECT_EQ(unframe(r.out.c_str()), "kept\nafter\n");
}

INSTANTIATE_TEST_SUITE_P(Shells, FrameInShell, testing::Values("dash", "bash"));

// The stop command in the shells of a host, against a real group that has
// a child of its own: both are gone afterwards.
class StopCommand : public testing::TestWithParam<const char*> {};

TEST_P(StopCommand, EndsTheGroupWithItsChildren) {
    testutil::TempDir dir;
    std::string childFile = dir.file("child");
    pid_t leader = fork();
    ASSERT_GE(leader, 0);
    if (leader == 0) {
        setsid();
        std::string script = "sleep 300 & echo $! > " + childFile + "; exec sleep 300";
        execlp("sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_t child = testutil::pidFromFile(childFile, 10);
    ASSERT_GT(child, 1);
    testutil::RunResult r =
        testutil::run({GetParam(), "-c", groupStopCommand(leader).str()}, "", {}, 30);
    Str why;
    EXPECT_TRUE(groupStopped(r.out.c_str(), why)) << r.out << r.err << why;
    int status = 0;
    EXPECT_EQ(waitpid(leader, &status, 0), leader);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(testutil::processEndsWithin(child, 10));

    // A group that is no more (its leader reaped, no child): no evidence
    // that anything was stopped.
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) _exit(0);
    ASSERT_EQ(waitpid(gone, &status, 0), gone);
    r = testutil::run({GetParam(), "-c", groupStopCommand(gone).str()}, "", {}, 30);
    EXPECT_FALSE(groupStopped(r.out.c_str(), why));
    EXPECT_EQ(why, "the host has no such process group (or refused the signal)");
}

INSTANTIATE_TEST_SUITE_P(Shells, StopCommand, testing::Values("dash", "bash"));

TEST(StopCommand, SilenceIsNoEvidence) {
    Str why;
    for (const char* output : {"", "GROUP_STOPPED", "x\nGROUP_STOPPED\n", "GROUP_LEFT\n"})
        EXPECT_FALSE(groupStopped(output, why)) << output;
    EXPECT_TRUE(groupStopped("GROUP_STOPPED\n", why));
}

// Locally only a group that a child of the local shell leads is stopped.
TEST(StopLocalGroup, RefusesGroupsTheCommandDidNotMake) {
    Str why;
    pid_t self = getpid();
    for (pid_t group : {pid_t(0), pid_t(1), getpgrp(), self})
        EXPECT_FALSE(stopLocalGroup(group, self, why)) << group;
    EXPECT_EQ(why, "the group is not one that the command made");
    EXPECT_TRUE(testutil::processRuns(self));
}

}  // namespace
