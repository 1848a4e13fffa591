#include "engine/HostWorkers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineLock.h"
#include "hosts/Status.h"
#include "model/LineTag.h"

namespace {

TEST(EngineLock, WaitingGuardDoesNothingOutsideAParallelStep) {
    EXPECT_FALSE(engineLockHeld());
    {
        WhileWaiting wait;
        EXPECT_FALSE(engineLockHeld());
    }
    EXPECT_FALSE(engineLockHeld());
}

// While one holder waits, another thread gets the lock; after the wait
// the first holds it again.
TEST(EngineLock, WaitingGuardLetsOthersIn) {
    EngineLockHeld held;
    ASSERT_TRUE(engineLockHeld());
    std::promise<bool> otherGotIt;
    std::future<bool> got = otherGotIt.get_future();
    std::thread other([&] {
        EngineLockHeld mine;
        otherGotIt.set_value(engineLockHeld());
    });
    {
        WhileWaiting wait;
        EXPECT_FALSE(engineLockHeld());
        // Bounded: a guard that kept the lock would leave the other blocked.
        ASSERT_EQ(got.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_TRUE(got.get());
        other.join();
    }
    EXPECT_TRUE(engineLockHeld());
}

// Every name is worked on once, in a worker that holds the lock and tags
// its lines; up to limit workers wait at once, never more.
TEST(HostWorkers, EveryHostOnceAndUpToTheLimitAtOnce) {
    const std::vector<std::string> names = {"h1", "h2", "h3", "h4", "h5", "h6", "h7"};
    for (int limit : {1, 3, 8}) {
        const int expected = std::min<int>(limit, int(names.size()));
        std::mutex m;
        std::condition_variable cv;
        int inside = 0, most = 0, arrived = 0;
        std::map<std::string, int> seen;
        bool lockedAndTagged = true;
        runSideBySide(names, limit, [&](size_t i) {
            lockedAndTagged = lockedAndTagged && engineLockHeld() && lineTag() == names[i] + ": ";
            seen[names[i]]++;
            WhileWaiting wait;
            std::unique_lock<std::mutex> lock(m);
            ++inside;
            ++arrived;
            most = std::max(most, inside);
            // The first `expected` workers meet here: proof that they ran
            // at once. Bounded, so that a run that cannot meet still ends.
            if (arrived <= expected) {
                cv.notify_all();
                cv.wait_for(lock, std::chrono::seconds(30), [&] { return arrived >= expected; });
            }
            --inside;
        });
        EXPECT_EQ(most, expected) << "limit " << limit;
        EXPECT_TRUE(lockedAndTagged) << "limit " << limit;
        ASSERT_EQ(seen.size(), names.size()) << "limit " << limit;
        for (const auto& s : seen) EXPECT_EQ(s.second, 1) << s.first;
        EXPECT_FALSE(engineLockHeld());
    }
}

// A worker's status text reaches the front end as whole tagged lines,
// its unended last line ended when the host is done.
TEST(HostWorkers, StatusLinesAreWholeAndTagged) {
    static std::vector<std::string>* shown = new std::vector<std::string>;
    shown->clear();
    StatusCallback previous = set_status_callback([](const char* t) { shown->push_back(t); });
    runSideBySide({"one", "two"}, 2, [](size_t i) {
        status("BIN --> host\n ");
        { WhileWaiting wait; }
        status(".");
        status(".");
        status(i ? " Completed.\n" : " failed");
    });
    set_status_callback(previous);
    std::multiset<std::string> got(shown->begin(), shown->end());
    std::multiset<std::string> want = {"one: BIN --> host\n", "one:  .. failed\n",
                                       "two: BIN --> host\n", "two:  .. Completed.\n"};
    EXPECT_EQ(got, want);
}

// Side by side only where it can be: at a limit of one, for a single name
// and inside a worker (which holds the lock a new worker would wait for)
// the names go in order in the calling thread, untagged.
TEST(HostWorkers, ForEachHostInOrderWhereNotSideBySide) {
    struct Case {
        int limit;
        std::vector<std::string> names;
        bool inWorker;
        bool sideBySide;
    };
    const Case cases[] = {{1, {"a", "b", "c"}, false, false},
                          {8, {"a"}, false, false},
                          {8, {"a", "b", "c"}, true, false},
                          {2, {"a", "b", "c"}, false, true}};
    for (const Case& c : cases) {
        int old = setHostLimit(c.limit);
        std::vector<std::string> order;
        std::set<std::thread::id> threads;
        bool tagged = false;
        auto run = [&] {
            forEachHost(c.names, [&](size_t i) {
                order.push_back(c.names[i]);
                threads.insert(std::this_thread::get_id());
                tagged = tagged || lineTag() == c.names[i] + ": ";
            });
        };
        std::thread::id caller = std::this_thread::get_id();
        if (c.inWorker) {
            // Bounded by the test's own time-out: a deadlock would hang here.
            runSideBySide({"outer"}, 1, [&](size_t) {
                caller = std::this_thread::get_id();
                LineTag none("");
                run();
            });
        } else {
            run();
        }
        setHostLimit(old);
        std::multiset<std::string> got(order.begin(), order.end());
        EXPECT_EQ(got, std::multiset<std::string>(c.names.begin(), c.names.end()));
        if (c.sideBySide) {
            EXPECT_TRUE(tagged) << c.limit;
            EXPECT_EQ(threads.count(caller), 0u) << c.limit;
        } else {
            EXPECT_EQ(order, c.names) << c.limit;
            EXPECT_FALSE(tagged) << c.limit;
            EXPECT_EQ(threads, std::set<std::thread::id>{caller}) << c.limit;
        }
    }
}

}  // namespace
