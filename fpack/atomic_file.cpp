// Atomic replacement of directory entries: temporary entries in the same
// directory, renamed over the final name.
#include "atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Names tried before giving up on a directory full of our temporaries.
const int kTries = 100;
// Bytes of the final name kept in a temporary name, which must stay
// within NAME_MAX with the dot and the suffix.
const int kLeafKept = 200;

// ".<leaf>.fp<8 random letters>": hidden, and telling whose it is. The
// letters come from a generator seeded once from the system's entropy:
// creation is exclusive and a taken name is retried, so they need not be
// secret, only hard to foresee.
void temp_name(const char* leaf, char* out, size_t size) {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz012345";
    static uint64_t state = 0;
    if (state == 0) {
        if (getrandom(&state, sizeof state, GRND_NONBLOCK) != (ssize_t)sizeof state)
            state = (uint64_t)getpid() << 32 ^ (uint64_t)time(nullptr);
        state |= 1;
    }
    // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    uint64_t r = state * 0x2545F4914F6CDD1DULL;
    char suffix[9];
    for (int i = 0; i < 8; i++, r >>= 5) suffix[i] = kAlphabet[r % 32];
    suffix[8] = '\0';
    snprintf(out, size, ".%.*s.fp%s", kLeafKept, leaf, suffix);
}

// Links the unnamed file fd into dirfd as name. Linking a descriptor by
// itself needs a capability; /proc offers the same to anyone.
int link_unnamed(int fd, int dirfd, const char* name) {
    if (linkat(fd, "", dirfd, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT) return -1;
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc, dirfd, name, AT_SYMLINK_FOLLOW);
}

int make_unnamed_link(int dirfd, const char* name, void* arg) {
    return link_unnamed(*(int*)arg, dirfd, name);
}

// af_replace; `may_alias`: the new entry may be the very file at leaf.
int replace_at(int dirfd, const char* leaf, int (*make)(int dirfd, const char* name, void* arg),
               void* arg, bool may_alias) {
    char tmp[NAME_MAX + 1];
    int rc = -1;
    for (int i = 0; i < kTries && rc != 0; i++) {
        temp_name(leaf, tmp, sizeof tmp);
        rc = make(dirfd, tmp, arg);
        if (rc != 0 && errno != EEXIST) return -1;
    }
    if (rc != 0) return -1;
    rc = renameat(dirfd, tmp, dirfd, leaf);
    int err = errno;
    // A rename between two names of one file does nothing and leaves both.
    if (rc != 0 || may_alias) unlinkat(dirfd, tmp, 0);
    errno = err;
    return rc;
}

}  // namespace

int af_create(af_file* f, int dirfd, const char* leaf) {
    f->tmp[0] = '\0';
    f->dirfd = dirfd;
    f->own_dirfd = false;
    f->fd = openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (f->fd >= 0) return 0;
    // File systems without unnamed files answer one of these.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        f->dirfd = -1;
        return -1;
    }
    f->dirfd = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    f->own_dirfd = f->dirfd >= 0;
    for (int i = 0; i < kTries && f->dirfd >= 0; i++) {
        temp_name(leaf, f->tmp, sizeof f->tmp);
        f->fd = openat(dirfd, f->tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (f->fd >= 0) return 0;
        if (errno != EEXIST) break;
    }
    int err = errno;
    f->tmp[0] = '\0';
    af_discard(f);
    errno = err;
    return -1;
}

int af_commit(af_file* f, const char* leaf) {
    int rc;
    if (f->tmp[0] != '\0') {
        rc = close(f->fd);
        f->fd = -1;
        if (rc == 0) rc = renameat(f->dirfd, f->tmp, f->dirfd, leaf);
    } else {
        // Once a name was taken, most of those that follow are too (a
        // reinstall): the file then goes under a temporary name first
        // rather than after a link that fails. A new file is never the
        // one at leaf.
        static bool replacing = false;
        rc = replacing ? -1 : link_unnamed(f->fd, f->dirfd, leaf);
        if (replacing || (rc != 0 && errno == EEXIST)) {
            replacing = true;
            rc = replace_at(f->dirfd, leaf, make_unnamed_link, &f->fd, false);
        }
    }
    if (rc != 0) {
        int err = errno;
        af_discard(f);
        errno = err;
        return -1;
    }
    f->tmp[0] = '\0';
    rc = f->fd >= 0 ? close(f->fd) : 0;
    f->fd = -1;
    af_discard(f);
    return rc;
}

void af_discard(af_file* f) {
    if (f->tmp[0] != '\0') unlinkat(f->dirfd, f->tmp, 0);
    f->tmp[0] = '\0';
    if (f->fd >= 0) close(f->fd);
    f->fd = -1;
    if (f->own_dirfd) close(f->dirfd);
    f->own_dirfd = false;
    f->dirfd = -1;
}

int af_replace(int dirfd, const char* leaf, int (*make)(int dirfd, const char* name, void* arg),
               void* arg) {
    return replace_at(dirfd, leaf, make, arg, true);
}
