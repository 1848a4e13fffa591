// Children of commands started by threads side by side.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "hosts/RemoteCommand.h"
#include "model/Str.h"

namespace {

// A local command whose pipes are closed at once; its pid.
pid_t startLocal(const char* command) {
    int in = -1, out = -1, err = -1;
    if (!forkCommand("localhost", 0, command, "root", "", &in, &out, &err)) return -1;
    close(in);
    close(out);
    close(err);
    return lastChildPid();
}

// Whether pid has ended (without reaping it), waiting a bounded while.
bool ended(pid_t pid) {
    for (int i = 0; i < 3000; ++i) {
        siginfo_t info{};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A thread that finishes its own child must leave another thread's ended
// child alone: that one's status belongs to the thread that waits for it.
TEST(ForkCommand, EachThreadReapsOnlyItsOwnChildren) {
    std::promise<pid_t> started;
    std::promise<void> othersDone;
    std::future<pid_t> otherChild = started.get_future();
    int otherStatus = -2;
    pid_t lastSeenThere = 0;
    std::thread other([&] {
        started.set_value(startLocal("exit 7"));
        othersDone.get_future().wait();
        lastSeenThere = lastChildPid();
        otherStatus = finishChild(lastSeenThere);
    });
    pid_t theirs = otherChild.get();
    ASSERT_GT(theirs, 0);
    ASSERT_TRUE(ended(theirs));
    pid_t mine = startLocal("exit 3");
    ASSERT_GT(mine, 0);
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(finishChild(mine), 3);
    EXPECT_EQ(lastChildPid(), -1) << "no child of this thread is left";
    othersDone.set_value();
    other.join();
    EXPECT_EQ(lastSeenThere, theirs);
    EXPECT_EQ(otherStatus, 7);
}

}  // namespace
