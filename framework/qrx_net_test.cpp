#include "framework/qrx_net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

sockaddr_in loopback(uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

class Socket {
  public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {}
    ~Socket() { close(fd_); }
    int fd() const { return fd_; }
    // The bound port, 0 when unbound.
    uint16_t port() const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    int rangeBind(sockaddr_in* a) {
        return range_bind(fd_, reinterpret_cast<sockaddr*>(a), sizeof *a);
    }

  private:
    int fd_;
};

// A port the system chose and that stays taken while `holder` lives.
uint16_t takenPort(Socket& holder) {
    sockaddr_in a = loopback();
    EXPECT_EQ(bind(holder.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return holder.port();
}

TEST(RangeBind, WithoutRangeNothingIsBound) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        testutil::ScopedEnv env("QRX_PORT_RANGE", value);
        Socket s;
        sockaddr_in a = loopback();
        EXPECT_EQ(s.rangeBind(&a), QRX_BIND_NO_RANGE);
        EXPECT_EQ(s.port(), 0);
    }
}

TEST(RangeBind, BindsTheFirstFreePortOfTheRange) {
    Socket holder;
    uint16_t taken = takenPort(holder);
    ASSERT_LT(taken, 65000);
    std::string range = std::to_string(taken) + "-" + std::to_string(taken + 30);
    testutil::ScopedEnv env("QRX_PORT_RANGE", range.c_str());
    Socket s;
    sockaddr_in a = loopback();
    ASSERT_EQ(s.rangeBind(&a), QRX_BIND_OK);
    EXPECT_GT(s.port(), taken);
    EXPECT_LE(s.port(), taken + 30);
    EXPECT_EQ(ntohs(a.sin_port), s.port());
}

TEST(RangeBind, FullRangeFails) {
    Socket holder;
    std::string range = std::to_string(takenPort(holder));
    range += "-" + range;
    testutil::ScopedEnv env("QRX_PORT_RANGE", range.c_str());
    Socket s;
    sockaddr_in a = loopback();
    EXPECT_EQ(s.rangeBind(&a), QRX_BIND_NO_PORT);
    EXPECT_EQ(s.port(), 0);
}

TEST(RangeBind, MalformedRangeFails) {
    for (const char* value : {"abc", "40000", "40000-", "-40000", "40010-40000", "0-10", "1-70000",
                              "40000-40010x", "40000 40010"}) {
        testutil::ScopedEnv env("QRX_PORT_RANGE", value);
        Socket s;
        sockaddr_in a = loopback();
        EXPECT_EQ(s.rangeBind(&a), QRX_BIND_BAD_RANGE) << value;
    }
}

TEST(RangeBind, BadArgumentsFail) {
    testutil::ScopedEnv env("QRX_PORT_RANGE", "40000-40010");
    sockaddr_in a = loopback();
    EXPECT_EQ(range_bind(-1, reinterpret_cast<sockaddr*>(&a), sizeof a), QRX_BIND_BAD_ARGUMENT);
    Socket s;
    EXPECT_EQ(range_bind(s.fd(), nullptr, sizeof a), QRX_BIND_BAD_ARGUMENT);
    EXPECT_EQ(range_bind(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a - 1),
              QRX_BIND_BAD_ARGUMENT);
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    EXPECT_EQ(range_bind(s.fd(), reinterpret_cast<sockaddr*>(&six), sizeof six),
              QRX_BIND_BAD_ARGUMENT);
}

TEST(LocalHostName, FillsTheNodeName) {
    char buffer[257];
    ASSERT_EQ(local_host_name(buffer, sizeof buffer), 0);
    char expected[257] = {};
    gethostname(expected, sizeof expected - 1);
    EXPECT_STREQ(buffer, expected);
    EXPECT_NE(local_host_name(buffer, std::strlen(expected)), 0);  // no room for the NUL
    EXPECT_NE(local_host_name(nullptr, 257), 0);
}

void expectLocalhost(const char* name) {
    hostent* h = swstack_gethostbyname(name);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(std::strlen(h->h_name), 0u);
    EXPECT_EQ(h->h_addrtype, AF_INET);
    ASSERT_EQ(h->h_length, 4);
    ASSERT_NE(h->h_addr_list[0], nullptr);
    EXPECT_EQ(static_cast<unsigned char>(h->h_addr_list[0][0]), 127);
    ASSERT_NE(h->h_aliases, nullptr);
    swstack_freehostent(h);
}

TEST(HostLookup, FindsLocalhost) {
    expectLocalhost("localhost");
}

TEST(HostLookup, UnknownNamesGiveNull) {
    EXPECT_EQ(swstack_gethostbyname("no-such-host.invalid"), nullptr);
    EXPECT_EQ(swstack_gethostbyname(""), nullptr);
    EXPECT_EQ(swstack_gethostbyname(nullptr), nullptr);
}

TEST(HostLookup, SafeFromSeveralThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int k = 0; k < 20; ++k) expectLocalhost("localhost");
        });
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace
