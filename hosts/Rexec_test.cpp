#include "hosts/Rexec.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/inetd_peer.h"
#include "tests/test_util.h"

namespace {

// Reads until fd ends or 2 seconds pass without data.
std::string drain(int fd) {
    std::string text;
    char buf[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// A one-connection server speaking the remote execution protocol, scripted
// per test, recording what the client sent.
class FakeRexecd {
  public:
    struct Behaviour {
        bool connectBack = true;
        bool closeAfterPort = false;  // hang up before connecting back, saying hangUpText
        std::string hangUpText;
        std::string answer{'\0'};  // first byte 0 accepts; other text refuses
        std::string out = "the output\n";
        std::string err = "the errors\n";
    };

    FakeRexecd() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
        socklen_t len = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            listen(listener_, 1) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port_ = a.sin_port;
        }
    }
    ~FakeRexecd() {
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }

    unsigned short port() const { return port_; }  // network byte order

    void serve(Behaviour b) {
        thread_ = std::thread([this, b] { session(b); });
    }
    // Waits for the session to end; then the recorded fields are complete.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    std::string portText, user, password, command;
    int clientPort = 0;  // source port of the command connection
    bool gotPort = false;

  private:
    // A zero-terminated string, or false when the client stops first.
    static bool field(int fd, std::string& out) {
        out.clear();
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            char c;
            if (poll(&p, 1, 5000) <= 0 || read(fd, &c, 1) != 1) return false;
            if (c == '\0') return true;
            out += c;
        }
    }

    void session(const Behaviour& b) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int s = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &len);
        if (s < 0) return;
        clientPort = ntohs(peer.sin_port);
        gotPort = field(s, portText);
        int e = -1;
        if (gotPort && !portText.empty() && b.closeAfterPort) {
            (void)!write(s, b.hangUpText.data(), b.hangUpText.size());
            close(s);
            return;
        }
        if (gotPort && !portText.empty() && b.connectBack) {
            e = socket(AF_INET, SOCK_STREAM, 0);
            peer.sin_port = htons(static_cast<uint16_t>(std::atoi(portText.c_str())));
            if (connect(e, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
                close(e);
                e = -1;
            }
        }
        if (field(s, user) && field(s, password) && field(s, command)) {
            std::string reply = b.answer;
            if (b.answer == std::string(1, '\0')) reply += b.out;
            (void)!write(s, reply.data(), reply.size());
            if (e >= 0) (void)!write(e, b.err.data(), b.err.size());
        }
        if (e >= 0) close(e);
        close(s);
    }

    int listener_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
};

struct ShortWait {
    int previous = setRexecWaitSeconds(1);
    ~ShortWait() { setRexecWaitSeconds(previous); }
};

int login(unsigned short port, int* errorChannel, const char* name = "127.0.0.2") {
    static char hostText[64];
    std::snprintf(hostText, sizeof hostText, "%s", name);
    char* host = hostText;
    return vlk_rexec(&host, port, "alice", "secret", "echo hi", errorChannel, 0);
}

TEST(Rexec, LogsInAndDeliversOutputAndErrorChannels) {
    FakeRexecd server;
    ASSERT_NE(server.port(), 0);
    server.serve({});
    char name[] = "127.0.0.2";
    char* host = name;
    int err = -1;
    int s = vlk_rexec(&host, server.port(), "alice", "secret", "ls /tmp", &err, 0);
    ASSERT_GE(s, 0);
    ASSERT_GE(err, 0);
    EXPECT_EQ(drain(s), "the output\n");
    EXPECT_EQ(drain(err), "the errors\n");
    close(s);
    close(err);
    server.finish();
    EXPECT_EQ(server.user, "alice");
    EXPECT_EQ(server.password, "secret");
    EXPECT_EQ(server.command, "ls /tmp");
    EXPECT_NE(std::atoi(server.portText.c_str()), 0) << server.portText;
    EXPECT_STREQ(host, "127.0.0.2");
    EXPECT_NE(host, name);
}

TEST(Rexec, WithoutErrorChannelSendsOneZeroByteForThePort) {
    FakeRexecd server;
    server.serve({});
    int s = login(server.port(), nullptr);
    ASSERT_GE(s, 0);
    EXPECT_EQ(drain(s), "the output\n");
    close(s);
    server.finish();
    EXPECT_TRUE(server.gotPort);
    EXPECT_EQ(server.portText, "");
    EXPECT_EQ(server.user, "alice");
}

TEST(Rexec, RefusalGivesMinusOneAndCopiesTheServersLineToStandardError) {
    FakeRexecd server;
    FakeRexecd::Behaviour refuse;
    refuse.answer = "\001Login incorrect.\nnot copied";
    server.serve(refuse);
    int err = -7;
    testing::internal::CaptureStderr();
    int s = login(server.port(), &err);
    std::string copied = testing::internal::GetCapturedStderr();
    server.finish();
    EXPECT_EQ(s, -1);
    EXPECT_EQ(err, -7) << "no error channel is handed out on refusal";
    EXPECT_EQ(copied, "\001Login incorrect.\n");
}

TEST(Rexec, ServerThatClosesWithoutAnsweringGivesMinusOne) {
    FakeRexecd server;
    FakeRexecd::Behaviour silent;
    silent.answer = "";
    silent.out = "";
    server.serve(silent);
    int err = -1;
    EXPECT_EQ(login(server.port(), &err), -1);
    server.finish();
}

// The refusal is read from the command connection while the error
// connection is awaited, so its text reaches standard error.
TEST(Rexec, ServerThatRefusesInsteadOfConnectingBackEndsTheWait) {
    FakeRexecd server;
    FakeRexecd::Behaviour b;
    b.closeAfterPort = true;
    b.hangUpText = "\001Can't connect back.\n";
    server.serve(b);
    int err = -1;
    testing::internal::CaptureStderr();
    int s = login(server.port(), &err);
    std::string copied = testing::internal::GetCapturedStderr();
    server.finish();
    EXPECT_EQ(s, -1);
    EXPECT_EQ(copied, b.hangUpText);
}

TEST(Rexec, ServerThatNeverConnectsBackHitsTheBoundedWait) {
    ShortWait wait;
    FakeRexecd server;
    FakeRexecd::Behaviour b;
    b.connectBack = false;
    server.serve(b);
    int err = -1;
    EXPECT_EQ(login(server.port(), &err), -1);
    server.finish();
    EXPECT_EQ(server.user, "") << "credentials are not sent before the error channel exists";
}

TEST(Rexec, ServerThatAcceptsAndNeverAnswersHitsTheBoundedWait) {
    ShortWait wait;
    testutil::SilentPeer silent;
    ASSERT_TRUE(silent.ready());
    unsigned short port = htons(silent.port());
    int err = -1;
    EXPECT_EQ(login(port, &err), -1) << "waiting for the error connection";
    EXPECT_EQ(login(port, nullptr), -1) << "waiting for the answer";
    EXPECT_EQ(silent.accepted(), 2);
}

// A port nobody listens on: bound once to learn a free one, then released.
unsigned short closedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return a.sin_port;
}

// errno tells the caller which failure was the connection's: refused is
// ECONNREFUSED; a name without an address, or a server that refused the
// login, leaves 0 (the caller says why itself, the server has said it).
TEST(Rexec, RefusedConnectionOrUnknownHostGivesMinusOne) {
    int err = -1;
    errno = EPERM;
    EXPECT_EQ(login(closedPort(), &err), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    errno = ECONNREFUSED;
    EXPECT_EQ(login(htons(512), &err, "no-such-host.invalid"), -1);
    EXPECT_EQ(errno, 0);

    FakeRexecd server;
    FakeRexecd::Behaviour refuse;
    refuse.answer = "\001Login incorrect.\n";
    server.serve(refuse);
    testing::internal::CaptureStderr();
    errno = ECONNREFUSED;
    EXPECT_EQ(login(server.port(), &err), -1);
    testing::internal::GetCapturedStderr();
    server.finish();
    EXPECT_EQ(errno, 0);
}

// Both sockets of a login come from the framework's port range when one is
// configured, from the system otherwise; a malformed range fails the login.
TEST(Rexec, SocketsAreBoundInsideTheConfiguredPortRange) {
    struct Case {
        const char* range;
        bool loggedIn;
        int low, high;
    } cases[] = {
        {"47310-47330", true, 47310, 47330},
        {nullptr, true, 1, 65535},
        {"5-x", false, 0, 0},
        {"90-10", false, 0, 0},
    };
    ShortWait wait;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range ? c.range : "(unset)");
        testutil::ScopedEnv env("QRX_PORT_RANGE", c.range);
        FakeRexecd server;
        if (c.loggedIn) server.serve({});
        int err = -1;
        int s = login(server.port(), &err);
        EXPECT_EQ(s >= 0, c.loggedIn);
        if (s >= 0) {
            drain(s);
            close(s);
            close(err);
        }
        server.finish();
        if (!c.loggedIn) continue;
        int errorPort = std::atoi(server.portText.c_str());
        EXPECT_GE(server.clientPort, c.low);
        EXPECT_LE(server.clientPort, c.high);
        EXPECT_GE(errorPort, c.low);
        EXPECT_LE(errorPort, c.high);
        EXPECT_NE(errorPort, server.clientPort);
    }
}

TEST(Rexec, OpenAndBindGivesABoundSocket) {
    testutil::ScopedEnv env("QRX_PORT_RANGE", nullptr);
    int s = open_and_bind();
    ASSERT_GE(s, 0);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&local), &len), 0);
    EXPECT_EQ(local.sin_family, AF_INET);
    EXPECT_NE(local.sin_port, 0);
    close(s);
}

}  // namespace
