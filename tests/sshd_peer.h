// A real secure shell server for peer tests: sshd with a private
// configuration, host key and authorised-keys file, listening on a free
// port of a loopback address, and the client wrapper that the installer
// runs as its ssh program (environment variable SSH). The wrapper adds -F
// with a private client configuration (port, identity, BatchMode yes, no
// known-hosts file), so nothing under /etc/ssh or ~/.ssh is read or
// written. Root logs in with the generated key.
#pragma once

#include <sys/types.h>

#include <string>

namespace testutil {

class SshdPeer {
  public:
    // Starts sshd on address (an address of the loopback network that the
    // installer does not take for the local host). Waits, bounded, until
    // the port accepts connections; see ready() and error().
    explicit SshdPeer(const std::string& address = "127.0.0.2");
    ~SshdPeer();  // stops sshd, removes its files
    SshdPeer(const SshdPeer&) = delete;
    SshdPeer& operator=(const SshdPeer&) = delete;

    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    const std::string& address() const { return address_; }
    unsigned short port() const { return port_; }
    // The client wrapper, for SSH.
    const std::string& sshProgram() const { return wrapper_; }
    // Writes a wrapper like sshProgram() for another port (a server that
    // is not this one) and returns its path.
    std::string wrapperFor(unsigned short port, const std::string& name) const;
    // What sshd has logged so far, for the message of a failing test.
    std::string log() const;

  private:
    bool makeKeys();
    bool writeFiles();
    bool start();
    bool waitForPort();
    void stop();

    std::string address_;
    std::string dir_;
    std::string wrapper_;
    std::string error_;
    unsigned short port_ = 0;
    pid_t sshd_ = -1;
    bool madeRunDir_ = false;
};

}  // namespace testutil
