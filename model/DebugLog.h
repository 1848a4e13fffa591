// The debug log `dbFile`: every trace line of the installer, the timer's
// laps and the echo of every status line.
//
// Opened before main on "/tmp/velkar.sinstall" (truncated, mode 0664), or on
// the path in the environment variable QUILLSET_DEBUG_LOG when that is set.
// The installer runs as root in a world-writable directory, so the log is
// never written through a symbolic link or onto a file with other links or
// another owner. At the built-in path such an entry is removed and the log
// created afresh; a path the administrator named is appended to when it is
// a plain file of ours with one link (or written when it is a device) and
// otherwise refused with a warning, never removed or truncated. A log that
// cannot be opened swallows its output; the run goes on.
#pragma once

#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>

// Fresh: a new log, replacing what stands at the path (the built-in path).
// Append: added to what is there, or refused (a path someone named).
enum class DebugLogMode { Fresh, Append };

class DebugLogBuf : public std::streambuf {
  public:
    ~DebugLogBuf() override;
    // Closes any open log and opens path safely; false when it cannot.
    bool open(const std::string& path, DebugLogMode mode);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    // Writes this thread's unfinished tagged line, ended.
    void endTaggedLine();

  protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    bool flushBuffer();
    bool store(const char* s, size_t n);
    bool put(const char* s, size_t n);
    int fd_ = -1;
    char buf_[4096];
    size_t used_ = 0;
};

class DebugLog : public std::ostream {
  public:
    DebugLog();
    // Opens another path the way start-up would (tests use this to read
    // back what was logged), or in the given mode.
    bool reopen(const std::string& path);
    bool reopen(const std::string& path, DebugLogMode mode);
    const std::string& path() const { return path_; }
    // The calling thread's unfinished tagged line, ended (LineTag.h).
    void endTaggedLine() { buf_.endTaggedLine(); }

  private:
    DebugLogBuf buf_;
    std::string path_;
};

extern DebugLog dbFile;

// The path the log opens at start-up.
std::string defaultDebugLogPath();
