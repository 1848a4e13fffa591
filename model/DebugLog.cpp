#include "model/DebugLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "model/LineTag.h"

namespace {

// An entry we may truncate and write: a regular file of ours with one link.
bool safeToReuse(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

int createFresh(const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0664);
}

// A character device (a terminal, /dev/null) is written as it is.
int openDevice(const char* path) {
    int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Our own regular file, truncated; -1 when the entry is not that.
int reuseOwn(const char* path) {
    int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && !safeToReuse(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The default path: a fresh log each run. It lies in a world-writable
// directory, so a planted link or a foreign file there is removed and
// replaced, never written through.
int openFresh(const char* path) {
    struct stat st;
    int fd = -1;
    if (lstat(path, &st) != 0) {
        if (errno != ENOENT) return -1;
        fd = createFresh(path);
    } else if (S_ISCHR(st.st_mode)) {
        return openDevice(path);
    } else if (S_ISLNK(st.st_mode) || S_ISREG(st.st_mode)) {
        fd = reuseOwn(path);
        if (fd < 0) {
            // A planted link or a foreign file: remove the name, never its
            // target. Nothing else (a device, a directory) is ever removed.
            if (unlink(path) != 0 && errno != ENOENT) return -1;
            fd = createFresh(path);
        }
    } else {
        return -1;
    }
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (ftruncate(fd, 0) != 0 || fchmod(fd, 0664) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A path the administrator named: whatever is there belongs to someone, so
// it is only ever appended to (our own plain file) or written as a device;
// anything else, a link included, is refused and left as it is.
int openAppending(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return errno == ENOENT ? createFresh(path) : -1;
    if (S_ISCHR(st.st_mode)) return openDevice(path);
    if (!S_ISREG(st.st_mode)) return -1;
    int fd = ::open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && !safeToReuse(fd)) {
        ::close(fd);
        return -1;
    }
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

const char kBuiltInPath[] = "/tmp/velkar.sinstall";

// The calling thread's unfinished tagged line.
TaggedLines& threadLines() {
    thread_local TaggedLines lines;
    return lines;
}

}  // namespace

DebugLogBuf::~DebugLogBuf() {
    close();
}

bool DebugLogBuf::open(const std::string& path, DebugLogMode mode) {
    close();
    fd_ = mode == DebugLogMode::Fresh ? openFresh(path.c_str()) : openAppending(path.c_str());
    used_ = 0;
    return fd_ >= 0;
}

void DebugLogBuf::close() {
    if (fd_ < 0) return;
    flushBuffer();
    ::close(fd_);
    fd_ = -1;
}

bool DebugLogBuf::flushBuffer() {
    const char* p = buf_;
    size_t left = used_;
    used_ = 0;
    if (fd_ < 0) return true;
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

bool DebugLogBuf::store(const char* s, size_t n) {
    while (n > 0) {
        if (used_ == sizeof buf_ && !flushBuffer()) return false;
        size_t k = std::min(sizeof buf_ - used_, n);
        memcpy(buf_ + used_, s, k);
        used_ += k;
        s += k;
        n -= k;
    }
    return true;
}

// No put area: every character comes here, so that a tagged thread's
// text can be held back until its line is whole.
bool DebugLogBuf::put(const char* s, size_t n) {
    const std::string& tag = lineTag();
    if (tag.empty()) return store(s, n);
    std::string whole = threadLines().add(s, n, tag);
    return store(whole.data(), whole.size());
}

void DebugLogBuf::endTaggedLine() {
    std::string rest = threadLines().rest(lineTag());
    store(rest.data(), rest.size());
}

int DebugLogBuf::overflow(int c) {
    if (c == traits_type::eof()) return flushBuffer() ? traits_type::not_eof(c) : c;
    char ch = char(c);
    return put(&ch, 1) ? c : traits_type::eof();
}

std::streamsize DebugLogBuf::xsputn(const char* s, std::streamsize n) {
    return put(s, size_t(n)) ? n : 0;
}

int DebugLogBuf::sync() {
    return flushBuffer() ? 0 : -1;
}

std::string defaultDebugLogPath() {
    const char* env = getenv("QUILLSET_DEBUG_LOG");
    return env && *env ? env : kBuiltInPath;
}

DebugLog::DebugLog() : std::ostream(&buf_) {
    // Lines must reach the file before a fork or a crash: flush every write.
    setf(std::ios::unitbuf);
    std::string path = defaultDebugLogPath();
    if (!reopen(path) && path != kBuiltInPath)
        std::fprintf(stderr,
                     "Warning: the debug log `%s' is not used (only a new file or a plain "
                     "file of this user is appended to); nothing is logged.\n",
                     path.c_str());
}

bool DebugLog::reopen(const std::string& path) {
    return reopen(path, path == kBuiltInPath ? DebugLogMode::Fresh : DebugLogMode::Append);
}

bool DebugLog::reopen(const std::string& path, DebugLogMode mode) {
    flush();
    path_ = path;
    bool ok = buf_.open(path, mode);
    clear();
    return ok;
}

DebugLog dbFile;
