#include "hosts/Unreachable.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "hosts/host_test_fixture.h"

namespace {

class Unreachable : public HostTest {};

// What each kind of unreachable host brings, and the line it gets; a
// name without an address explains everything else.
TEST_F(Unreachable, EachCauseGetsItsOwnLine) {
    const std::string addr = "127.0.0.1";
    struct Case {
        std::string host;
        int err;
        const char* clientSays;
        std::string line;  // "" for none
    } cases[] = {
        {"nonexistent.invalid", 0, "",
         "  The host name nonexistent.invalid does not resolve to an address (Name or service not "
         "known)."},
        {"nonexistent.invalid", ECONNREFUSED,
         "ssh: Could not resolve hostname nonexistent.invalid: Name or service not known\n",
         "  The host name nonexistent.invalid does not resolve to an address (Name or service not "
         "known)."},
        {addr, ECONNREFUSED, "", "  127.0.0.1 refused the connection (Connection refused)."},
        {addr, ETIMEDOUT, "", "  127.0.0.1 never answered (Connection timed out)."},
        {addr, EHOSTUNREACH, "", "  127.0.0.1 never answered (No route to host)."},
        {addr, EINTR, "", "  127.0.0.1 never answered (Connection timed out)."},
        {addr, 0, "ssh: connect to host 127.0.0.1 port 22: Connection refused\r\n",
         "  127.0.0.1 refused the connection (ssh: connect to host 127.0.0.1 port 22: Connection "
         "refused)."},
        {addr, 0, "Warning: something\nHost key verification failed.\n",
         "  A key was rejected on the way to 127.0.0.1 (Host key verification failed)."},
        {addr, 0, "root@127.0.0.1: Permission denied (publickey,password).\n",
         "  A key was rejected on the way to 127.0.0.1 (root@127.0.0.1: Permission denied "
         "(publickey,password))."},
        {addr, 0, "ssh: connect to host 127.0.0.1 port 22: Connection timed out\n",
         "  127.0.0.1 never answered (ssh: connect to host 127.0.0.1 port 22: Connection timed "
         "out)."},
        // Nothing that points at the network: the remote-shell texts stand alone.
        {addr, 0, "sh: 1: uname: not found\n", ""},
        {addr, EACCES, "", ""},
        {"localhost", 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + " " + std::to_string(c.err) + " " + c.clientSays);
        hostFailures.clear();
        recordUnreachable(c.host.c_str(), c.err, c.clientSays);
        EXPECT_EQ(hostFailures.reportText().str(),
                  c.line.empty() ? ""
                                 : "The following problems were encountered:\n Host " + c.host +
                                       ":\n" + c.line);
    }
}

// The client's line is bounded and keeps no control character; the same
// reason is told once however many commands met it.
TEST_F(Unreachable, ClientLineIsBoundedAndToldOnce) {
    std::string noisy = "Connection refused \x1b[31m" + std::string(5000, 'x') + "\n";
    for (int i = 0; i < 3; ++i) recordUnreachable("127.0.0.1", 0, noisy.c_str());
    std::string r = report();
    EXPECT_EQ(r.find('\x1b'), std::string::npos);
    EXPECT_LT(r.size(), 400u) << r;
    size_t first = r.find("refused the connection");
    ASSERT_NE(first, std::string::npos) << r;
    EXPECT_EQ(r.find("refused the connection", first + 1), std::string::npos) << r;
}

}  // namespace
