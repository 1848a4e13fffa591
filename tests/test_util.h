// Shared helpers for tests: scoped temporary directories and running
// programs as a user would, with their output captured.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed when the test passes
// and kept (its path printed) when the test fails, for inspection.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path()/name
    std::string file(const std::string& name) const;
    // Writes text to path()/name (parents must exist); returns the full path.
    std::string write(const std::string& name, const std::string& text) const;

  private:
    std::string path_;
};

// Sets (or, for a null value, removes) an environment variable for one
// scope and restores the previous state afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

// Whole contents of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// A signal for the child once its standard output holds `text`; meanwhile
// (and afterwards) its standard input stays open.
struct SignalWhen {
    std::string text;
    int signal = 0;
};

// Runs argv[0] (searched in PATH) with argv, feeding `input` on standard
// input; extra entries "NAME=value" are added to the environment. The child
// is killed after timeoutSeconds.
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              const std::vector<std::string>& env = {}, int timeoutSeconds = 60,
              const SignalWhen& signalWhen = {});

// Whether a TCP connection to address (IPv4) and port is accepted now.
bool portAccepts(const std::string& address, unsigned short port);

// In the child that is about to become a server for a test (parent: the
// test process): the server gets SIGTERM when the test process ends, also
// one killed before it could stop the server, and keeps none of the test's
// descriptors above 2 (a lock held by whoever runs the tests must not
// outlive them in a server).
void serveOnlyWhileTheTestRuns(pid_t parent);

// n bytes of every value, the same for the same seed.
std::string randomBytes(size_t n, unsigned seed);

// "CRC SIZE" of data as the system's cksum prints it, for comparing with
// what cksum printed on a host.
std::string cksumOf(const std::string& data);

// Whether pid is a running process (a zombie counts as ended: where the
// first process reaps nothing, an orphan may stay one).
bool processRuns(pid_t pid);
// Whether pid has ended within seconds, looking every 50 ms.
bool processEndsWithin(pid_t pid, int seconds);
// The process id written in the file at path once the file holds a whole
// line, waiting at most seconds; -1 when none comes.
pid_t pidFromFile(const std::string& path, int seconds);

// The lines of text, without their line ends.
std::vector<std::string> lines(const std::string& text);

}  // namespace testutil
