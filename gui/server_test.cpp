// Start-up of the front end before any window exists.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace {

const std::string kQuillset = QS_QUILLSET;
const char kNotRoot[] = "Error: you must be root to run server install.\n";
const char kNoDisplay[] = "Error: cannot open the display.\n";

// quillset without a display, as the user nobody when asked to.
testutil::RunResult start(bool asNobody, const std::vector<std::string>& env) {
    std::vector<std::string> argv = {"env", "-u", "DISPLAY"};
    if (asNobody)
        argv.insert(argv.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    argv.insert(argv.end(), {kQuillset, "-c", "/nonexistent"});
    std::vector<std::string> all = {"QUILLSET_DEBUG_LOG=/dev/null"};
    all.insert(all.end(), env.begin(), env.end());
    return testutil::run(argv, "", all);
}

TEST(Startup, OnlyRootOrIgnoreRootGetsPastTheRootCheck) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root and setpriv to run as root and as another user";
    struct Case {
        bool asNobody;
        std::vector<std::string> env;
        bool pastCheck;
    } cases[] = {
        {true, {}, false},
        {true, {"IgnoreRoot="}, false},
        {true, {"IgnoreRoot=1"}, true},
        {false, {}, true},
    };
    for (const Case& c : cases) {
        testutil::RunResult r = start(c.asNobody, c.env);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.find(kNotRoot) != std::string::npos, c.asNobody) << r.err;
        // Past the check the display is opened, which fails here.
        EXPECT_EQ(r.err.find(kNoDisplay) != std::string::npos, c.pastCheck) << r.err;
    }
}

}  // namespace
