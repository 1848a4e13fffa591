// The debug log `dbFile`: every trace line of the installer, the timer's
// laps and the echo of every status line.
//
// Opened (truncated, mode 0664) before main on "/tmp/velkar.sinstall", or on
// the path in the environment variable QUILLSET_DEBUG_LOG when that is set
// (so that parallel test runs keep separate logs). The installer runs as
// root in a world-writable directory, so the log is never opened through a
// symbolic link or onto a file with other links or another owner: such an
// entry is removed and the log created afresh. A log that cannot be opened
// swallows its output; the run goes on.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

class DebugLogBuf : public std::streambuf {
  public:
    ~DebugLogBuf() override;
    // Closes any open log and opens path safely; false when it cannot.
    bool open(const std::string& path);
    void close();
    bool isOpen() const { return fd_ >= 0; }

  protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    bool flushBuffer();
    int fd_ = -1;
    char buf_[4096];
};

class DebugLog : public std::ostream {
  public:
    DebugLog();
    // Opens another path (tests use this to read back what was logged).
    bool reopen(const std::string& path);
    const std::string& path() const { return path_; }

  private:
    DebugLogBuf buf_;
    std::string path_;
};

extern DebugLog dbFile;

// The path the log opens at start-up.
std::string defaultDebugLogPath();
