// Walking destination paths without following symbolic links.
#include "safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

const int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

int sp_begin(sp_walk* w, const char* path, size_t root) {
    // An absolute path starts at "/" whatever root says.
    if (root == 0 && path[0] == '/') root = 1;
    w->fd = -1;
    w->done = root;
    char buf[PATH_MAX];
    if (root >= sizeof buf) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(buf, path, root);
    buf[root] = '\0';
    w->fd = open(root > 0 ? buf : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return w->fd >= 0 ? 0 : -1;
}

int sp_step(sp_walk* w, const char* path, size_t end, size_t* comp, size_t* comp_len) {
    for (;;) {
        size_t at = w->done;
        while (at < end && path[at] == '/') at++;
        if (at >= end) {
            w->done = end;
            return 1;
        }
        size_t len = 0;
        while (at + len < end && path[at + len] != '/') len++;
        *comp = at;
        *comp_len = len;
        if (len == 1 && path[at] == '.') {
            w->done = at + len;
            continue;
        }
        if (len == 2 && path[at] == '.' && path[at + 1] == '.') {
            errno = EINVAL;
            return -1;
        }
        char name[NAME_MAX + 1];
        if (len > NAME_MAX) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, path + at, len);
        name[len] = '\0';
        int fd = openat(w->fd, name, kDirFlags);
        if (fd < 0) {
            int err = errno;
            struct stat st;
            // A link at the name refuses either way; say which it was.
            if ((err == ENOTDIR || err == ELOOP) &&
                fstatat(w->fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                err = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
            errno = err;
            return -1;
        }
        close(w->fd);
        w->fd = fd;
        w->done = at + len;
        return 0;
    }
}

void sp_end(sp_walk* w) {
    if (w->fd >= 0) close(w->fd);
    w->fd = -1;
}

namespace {

// Takes the walk on to path[0..end): its descriptor, or -1 with errno and
// *failed (the walk then ended).
int walk_to(sp_walk* w, const char* path, size_t end, size_t* failed) {
    size_t comp, len;
    int rc;
    while ((rc = sp_step(w, path, end, &comp, &len)) == 0) {
    }
    if (rc < 0) {
        int err = errno;
        *failed = comp + len;
        sp_end(w);
        errno = err;
        return -1;
    }
    return w->fd;
}

}  // namespace

int sp_open_dir(const char* path, size_t root, size_t end, size_t* failed) {
    sp_walk w;
    *failed = root;
    if (sp_begin(&w, path, root) != 0) return -1;
    return walk_to(&w, path, end, failed);
}

int sp_open_dir_from(int dirfd, const char* path, size_t done, size_t end, size_t* failed) {
    sp_walk w;
    *failed = done;
    w.done = done;
    w.fd = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    if (w.fd < 0) return -1;
    return walk_to(&w, path, end, failed);
}

bool sp_has_dotdot(const char* path) {
    for (const char* p = path;;) {
        size_t n = strcspn(p, "/");
        if (n == 2 && p[0] == '.' && p[1] == '.') return true;
        p += n;
        if (*p == '\0') return false;
        p++;
    }
}

size_t sp_leaf(const char* path, size_t* dir_end) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        *dir_end = 0;
        return 0;
    }
    size_t d = (size_t)(slash - path);
    while (d > 0 && path[d - 1] == '/') d--;
    *dir_end = d > 0 ? d : 1;
    return (size_t)(slash - path) + 1;
}
