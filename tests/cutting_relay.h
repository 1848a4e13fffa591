// A TCP relay for fault injection: listens on a free port of an address
// and passes the bytes of every connection both ways to a server on the
// same address. Given a cut, the connection on which that many bytes
// (counted both ways, over all connections since the cut was set) have
// passed is closed there, as a host whose network goes away in the middle
// of a command; the connections after it pass unharmed.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

class CuttingRelay {
  public:
    CuttingRelay(const std::string& address, unsigned short serverPort);
    ~CuttingRelay();  // closes every connection and the listener
    CuttingRelay(const CuttingRelay&) = delete;
    CuttingRelay& operator=(const CuttingRelay&) = delete;

    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    unsigned short port() const { return port_; }

    // Starts counting again: the connection on which the bytes-th byte
    // passes is closed after it; 0 cuts nothing.
    void cutAfter(unsigned long long bytes);
    // Whether the cut was made, and in which connection (counted from 0
    // since cutAfter); -1 when not.
    int cutConnection() const;
    // Bytes passed on each connection since cutAfter, in the order the
    // connections were accepted.
    std::vector<unsigned long long> connectionBytes() const;

  private:
    struct Link;
    void serve();
    void accept();
    // Reads from one side of link into the other, the cut allowing.
    bool pass(Link& link, int from, int to, std::string& pending);

    std::string error_;
    unsigned short port_ = 0;
    unsigned short serverPort_;
    std::string address_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};

    mutable std::mutex mutex_;  // guards what follows
    std::vector<Link*> links_;
    unsigned long long cut_ = 0;
    unsigned long long passed_ = 0;
    int cutConnection_ = -1;
    std::vector<unsigned long long> bytes_;

    std::thread thread_;
};

}  // namespace testutil
