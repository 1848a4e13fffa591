// Real remote shell and remote execution servers for peer tests: in.rshd
// and in.rexecd run by "inetd -d" from a private configuration file, on the
// fixed ports their clients use (514 "shell", 512 "exec"). Tests using it
// must hold the peers resource lock (files named *_peers_test.cpp do) and
// run as root. Nothing of the system's own configuration is left changed:
// the test account and the trusted-host entries are removed, and a
// previous /root/.rhosts restored, when the object goes away.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

class InetdPeer {
  public:
    enum Service : unsigned { RSH = 1, REXEC = 2 };

    // Starts inetd serving `services` on `address` (an IPv4 address of the
    // loopback network, e.g. "127.0.0.2", which the installer does not take
    // for the local host). With REXEC a test account with a fresh password
    // is created; with RSH root@127.0.0.0/8 is trusted by root (the
    // installer's rcmd always logs in as root from root). Waits, bounded,
    // until every port accepts connections; see ready() and error().
    explicit InetdPeer(unsigned services = RSH | REXEC, const std::string& address = "127.0.0.2");
    ~InetdPeer();  // stops inetd (and its children), removes account and trust
    InetdPeer(const InetdPeer&) = delete;
    InetdPeer& operator=(const InetdPeer&) = delete;

    bool ready() const { return error_.empty(); }
    // Why the servers could not be started; empty when ready().
    const std::string& error() const { return error_; }

    const std::string& address() const { return address_; }
    // The test account of the remote execution service and its password.
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }

    // What inetd has written so far (connections, child exits), for the
    // message of a failing test.
    std::string log() const;

  private:
    bool writeConfig(unsigned services);
    bool createAccount();
    bool trustRoot();
    bool startInetd();
    bool waitForPorts(unsigned services);
    void stopInetd();
    void removeAccount();
    void restoreTrust();

    std::string address_;
    std::string dir_;  // private configuration and inetd's log
    std::string user_;
    std::string password_;
    std::string error_;
    pid_t inetd_ = -1;
    bool accountMade_ = false;
    bool trustMade_ = false;
    bool hadRhosts_ = false;
    std::string savedRhosts_;
};

// A server that accepts connections and then never answers, nor reads, nor
// closes until it goes away: the host that hangs. Listens on address at
// port (0: a free port, see port()).
class SilentPeer {
  public:
    explicit SilentPeer(const std::string& address = "127.0.0.2", unsigned short port = 0);
    ~SilentPeer();
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;

    bool ready() const { return fd_ >= 0; }
    unsigned short port() const { return port_; }  // host byte order
    // Connections made so far. The system completes each connection;
    // this takes them from the queue and keeps them open.
    int accepted() const;

  private:
    int fd_ = -1;
    unsigned short port_ = 0;
    mutable std::vector<int> connections_;
};

}  // namespace testutil
