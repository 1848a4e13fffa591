// A real secure shell server for peer tests: sshd with a private
// configuration, host key and authorised-keys file, listening on a free
// port of a loopback address, and the client wrapper that the installer
// runs as its ssh program (environment variable SSH). The wrapper adds -F
// with a private client configuration (port, identity, BatchMode yes, no
// known-hosts file), so nothing under /etc/ssh or ~/.ssh is read or
// written. Root logs in with the generated key.
//
// Given private directories, sshd runs in a mount namespace of its own in
// which each of them is covered by a fresh tmpfs: what sessions write there
// is seen only through this server (a host with disks of its own), and it
// goes away with the namespace when the server stops.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace testutil {

class SshdPeer {
  public:
    // Starts sshd on address (an address of the loopback network that the
    // installer does not take for the local host). Waits, bounded, until
    // the port accepts connections; see ready() and error().
    // privateDirs must exist; they stay empty outside the namespace. The
    // account's home is always private (empty, as on a fresh host).
    explicit SshdPeer(const std::string& address = "127.0.0.2",
                      const std::vector<std::string>& privateDirs = {});
    ~SshdPeer();  // stops sshd and every process left in its namespace, removes its files
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
    // Runs a shell command on the host as root through sshProgram().
    RunResult command(const std::string& shellCommand, int timeoutSeconds = 30) const;
    // The mount namespace sshd runs in ("mnt:[inode]"); empty when sshd is
    // not running.
    const std::string& mountNamespace() const { return namespace_; }

  private:
    bool makeKeys();
    bool writeFiles();
    bool start();
    bool waitForPort();
    void stop();
    void endNamespace();

    std::string address_;
    std::string dir_;
    std::string wrapper_;
    std::string error_;
    std::vector<std::string> privateDirs_;
    std::string namespace_;
    unsigned short port_ = 0;
    pid_t sshd_ = -1;
};

// Writes at path an ssh program for several servers at once: it hands
// each invocation to the client wrapper of the server whose address stands
// among its words. Returns path, or empty when it cannot be written.
std::string writeSshDispatcher(const std::string& path, const std::vector<const SshdPeer*>& peers);

// How many logins a server has accepted so far, by its log.
size_t acceptedLogins(const SshdPeer& peer);

// Processes whose mount namespace is ns (as mountNamespace() gives it).
std::vector<pid_t> processesInNamespace(const std::string& ns);

}  // namespace testutil
