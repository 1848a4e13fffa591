// Unpacking: the stream driver, the pre-install checks, installing and
// removing nodes, backups, directories, list files, and the callbacks that
// list, size, mask and repack a block.
#include "unpack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cntl_files.h"
#include "fppack.h"
#include "io_chan.h"
#include "io_filter.h"
#include "keyw.h"
#include "log_msg.h"
#include "run_script.h"
#include "zug.h"

namespace {

// Buckets of the name and link tables (a power of two).
const unsigned kBuckets = 4096;
// Longest symbolic link target accepted from a block.
const long kLinkMax = PATH_MAX - 1;
// Highest %n of a backup name and suffix of a moved busy file.
const int kBackupMax = 99;
// Words by which the bit mask grows.
const int kMaskStep = 4;

// One entry of a table: a name, and for the link table the source identity
// of the installed file.
struct fp_name {
    char* name;
    dev_t dev;
    ino_t ino;
    long mtime;  // directories whose time is set at the end
    fp_name* next;
};

struct name_table {
    fp_name* b[kBuckets];
    long count;
};

}  // namespace

struct fp_unpack {
    name_table links;     // installed regular files by (dev, ino) of the source
    name_table dirs;      // install: directories known to exist (and cleared);
                          // uninstall: directories to remove
    name_table symlinks;  // symbolic links this run created (or met, uninstall)
    fp_name* dir_times;   // directory nodes whose time is set at the trailer
    FILE* list;           // the open list file
    char list_name[FP_PATH_MAX + 1];
    int file_fd;  // the file being written, or -1
};

namespace {

// ---- tables ---------------------------------------------------------------

unsigned hash_name(const char* s) {
    unsigned h = 2166136261u;
    for (; *s != '\0'; s++) h = (h ^ (unsigned char)*s) * 16777619u;
    return h & (kBuckets - 1);
}

unsigned hash_id(dev_t dev, ino_t ino) {
    return (unsigned)((ino * 2654435761u) ^ dev) & (kBuckets - 1);
}

fp_name* new_entry(fp_ctxt* ct, const char* name) {
    fp_name* e = (fp_name*)calloc(1, sizeof *e);
    char* copy = strdup(name);
    if (e == nullptr || copy == nullptr) {
        free(e);
        free(copy);
        log_msg(ct, FP_LOG_FATAL, "out of memory: %s", name);
    }
    e->name = copy;
    return e;
}

void free_entries(fp_name* e) {
    while (e != nullptr) {
        fp_name* next = e->next;
        free(e->name);
        free(e);
        e = next;
    }
}

void table_free(name_table* t) {
    for (unsigned i = 0; i < kBuckets; i++) free_entries(t->b[i]);
    memset(t, 0, sizeof *t);
}

bool table_has(const name_table* t, const char* name) {
    if (t->count == 0) return false;
    for (const fp_name* e = t->b[hash_name(name)]; e != nullptr; e = e->next)
        if (strcmp(e->name, name) == 0) return true;
    return false;
}

void table_add(fp_ctxt* ct, name_table* t, const char* name) {
    if (table_has(t, name)) return;
    fp_name* e = new_entry(ct, name);
    fp_name** head = &t->b[hash_name(name)];
    e->next = *head;
    *head = e;
    t->count++;
}

const char* link_find(const name_table* t, const struct stat* st) {
    if (t->count == 0) return nullptr;
    for (const fp_name* e = t->b[hash_id(st->st_dev, st->st_ino)]; e != nullptr; e = e->next)
        if (e->dev == st->st_dev && e->ino == st->st_ino) return e->name;
    return nullptr;
}

void link_add(fp_ctxt* ct, name_table* t, const struct stat* st, const char* name) {
    if (link_find(t, st) != nullptr) return;
    fp_name* e = new_entry(ct, name);
    e->dev = st->st_dev;
    e->ino = st->st_ino;
    fp_name** head = &t->b[hash_id(st->st_dev, st->st_ino)];
    e->next = *head;
    *head = e;
    t->count++;
}

fp_unpack* state(fp_ctxt* ct) {
    if (ct->unpack == nullptr) {
        ct->unpack = (fp_unpack*)calloc(1, sizeof(fp_unpack));
        if (ct->unpack == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: unpack tables");
        ct->unpack->file_fd = -1;
    }
    return ct->unpack;
}

// ---- small helpers --------------------------------------------------------

bool has(const fp_ctxt* ct, long mod) {
    return (ct->modifiers & mod) != 0;
}

bool is_repack(int ptype) {
    return ptype == FP_OP_REPACK || ptype == FP_OP_REPACK_HDRS;
}

// Operations whose nodes name places on disk that they change or predict.
bool touches_disk(int ptype) {
    return ptype == FP_OP_INSTALL || ptype == FP_OP_UNINSTALL || ptype == FP_OP_LIST_BITS;
}

// A ".." component would lead the node out of its destination.
bool has_dotdot(const char* name) {
    for (const char* p = name; *p != '\0';) {
        size_t n = strcspn(p, "/");
        if (n == 2 && p[0] == '.' && p[1] == '.') return true;
        p += n;
        while (*p == '/') p++;
    }
    return false;
}

// Directory part of path with its trailing "/" (into dir) and offset of the
// last component. "." for a name without a slash goes to dir as "".
size_t split_path(const char* path, char* dir, size_t size) {
    const char* slash = strrchr(path, '/');
    size_t off = slash != nullptr ? (size_t)(slash - path) + 1 : 0;
    snprintf(dir, size, "%.*s", (int)off, path);
    return off;
}

[[noreturn]] void input_error(fp_ctxt* ct) {
    int err = 0;
    long blk = 0;
    ioch_get_error(ct->ip, &err, &blk);
    log_msg(ct, FP_LOG_FATAL, "unpack: input error (err=%d, blkno=%ld)", err, blk);
    abort();  // not reached: level 2 leaves through the jump point
}

// Reads exactly n body bytes into buf or ends the operation.
void read_body(fp_ctxt* ct, void* buf, long n) {
    if (ioch_read_exact(ct->ip, buf, n) != n) input_error(ct);
}

// Writes all n bytes; returns 0, the errno of a failed write, or -1 when
// the file system took nothing.
int write_all(int fd, const char* buf, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        if (w == 0) return -1;
        buf += w;
        n -= (size_t)w;
    }
    return 0;
}

// The node's bit in the mask: set, or no mask at all.
bool node_selected(const fp_ctxt* ct) {
    if (ct->hdr_words == 0) return true;
    long bit = ct->node_count - 1;
    if (bit < 0 || bit > ct->hdr_maxbit) return false;
    return (ct->hdr_bits[bit / 32] >> (bit % 32)) & 1u;
}

void set_node_bit(fp_ctxt* ct) {
    long bit = ct->node_count - 1;
    if (bit < 0) return;
    if (bit > ct->hdr_maxbit) {
        int words = (int)(bit / 32 / kMaskStep + 1) * kMaskStep;
        uint32_t* nb = (uint32_t*)realloc(ct->hdr_bits, sizeof(uint32_t) * (size_t)words);
        if (nb == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: bitmask");
        memset(nb + ct->hdr_words, 0, sizeof(uint32_t) * (size_t)(words - ct->hdr_words));
        ct->hdr_bits = nb;
        ct->hdr_words = words;
        ct->hdr_maxbit = words * 32 - 1;
    }
    ct->hdr_bits[bit / 32] |= 1u << (bit % 32);
}

// ---- list lines and the list file -----------------------------------------

// The node's list line in UTF-8 into utf8 (3 * (FP_PATH_MAX + 256) bytes);
// returns its length.
size_t utf8_list_line(const char* name, const struct stat* st, char* utf8, size_t size) {
    char line[FP_PATH_MAX + 256];
    size_t n = fp_list_line(st, name, line, sizeof line);
    return zug_to_utf8(nullptr, line, n, utf8, size);
}

const size_t kUtf8Line = 3 * (FP_PATH_MAX + 256);

void list_to_output(fp_ctxt* ct, const char* name, const struct stat* st) {
    char utf8[kUtf8Line];
    fp_out_write(ct, utf8, (long)utf8_list_line(name, st, utf8, sizeof utf8));
}

void list_to_file(fp_ctxt* ct, const char* name, const struct stat* st) {
    FILE* f = state(ct)->list;
    if (f == nullptr) return;
    char utf8[kUtf8Line];
    fwrite(utf8, 1, utf8_list_line(name, st, utf8, sizeof utf8), f);
}

bool list_file_seen(const fp_ctxt* ct, const char* path) {
    for (const fp_strlist* l = ct->list_files; l != nullptr; l = l->next)
        if (strcmp(l->str, path) == 0) return true;
    return false;
}

void remember_list_file(fp_ctxt* ct, const char* path) {
    fp_strlist* l = (fp_strlist*)calloc(1, sizeof *l);
    if (l != nullptr) l->str = strdup(path);
    if (l == nullptr || l->str == nullptr) {
        free(l);
        log_msg(ct, FP_LOG_FATAL, "out of memory: list file");
    }
    l->next = ct->list_files;
    ct->list_files = l;
}

// Opens "<list_path>/<name>.log": created the first time this run meets it,
// appended to afterwards.
void open_list_file(fp_ctxt* ct) {
    const char* dir = ct->conf->list_path;
    if (dir == nullptr || dir[0] == '\0' || has(ct, FP_MOD_N)) return;
    char path[FP_PATH_MAX + 1];
    int n = snprintf(path, sizeof path, "%s/%s.log", dir, ct->name != nullptr ? ct->name : "-");
    if (n < 0 || n > FP_PATH_MAX) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", dir);
        return;
    }
    bool again = list_file_seen(ct, path);
    const char* cont = again ? " (continued)" : "";
    int fd = -1;
    if (again || check_path(ct, path, 0) == 0)
        fd = open(path, O_WRONLY | O_CREAT | (again ? O_APPEND : O_TRUNC), 0644);
    FILE* f = fd >= 0 ? fdopen(fd, again ? "a" : "w") : nullptr;
    if (f == nullptr) {
        if (fd >= 0) close(fd);
        log_msg(ct, FP_LOG_ERR, "Unable to write to list file%s: %s:", cont, path);
        return;
    }
    if (!again) remember_list_file(ct, path);
    state(ct)->list = f;
    memcpy(state(ct)->list_name, path, (size_t)n + 1);
    log_msg(ct, FP_LOG_INFO, "list file%s: %s", cont, path);
}

void close_list_file(fp_ctxt* ct) {
    fp_unpack* s = ct->unpack;
    if (s == nullptr || s->list == nullptr) return;
    FILE* f = s->list;
    s->list = nullptr;
    if (fclose(f) != 0)
        log_msg(ct, FP_LOG_ERR, "Unable to write to list file%s: %s:", "", s->list_name);
}

// ---- names ----------------------------------------------------------------

// The root of default_dest (into root, 4 bytes): "/" or "\\", a drive
// ("c:\\"), or nothing.
void dest_root(const fp_ctxt* ct, char* root) {
    root[0] = '\0';
    const char* dd = ct->conf->default_dest;
    if (dd == nullptr) return;
    if (dd[0] == '/' || dd[0] == '\\')
        snprintf(root, 4, "%c", dd[0]);
    else if (dd[0] != '\0' && dd[1] == ':')
        snprintf(root, 4, "%.3s", dd);
}

// True when path, or one of its parent directories, is a symbolic link that
// this run installed: writing there would follow a link the block planted.
bool beneath_own_symlink(const fp_ctxt* ct, const char* path, bool self) {
    const name_table* t = &ct->unpack->symlinks;
    if (t->count == 0) return false;
    char buf[FP_PATH_MAX + 1];
    snprintf(buf, sizeof buf, "%s", path);
    if (self && table_has(t, buf)) return true;
    for (char* p = strrchr(buf, '/'); p != nullptr; p = strrchr(buf, '/')) {
        *p = '\0';
        if (buf[0] != '\0' && table_has(t, buf)) return true;
    }
    return false;
}

// ---- directories ----------------------------------------------------------

int backup_file(fp_ctxt* ct, const char* path, const struct stat* old);

// Collects the names of the entries of dir that are not directories.
fp_name* extraneous_entries(fp_ctxt* ct, const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) {
        log_msg(ct, FP_LOG_WARN, "%s: opendir: ", dir);
        return nullptr;
    }
    fp_name* list = nullptr;
    for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (e->d_type == DT_DIR) continue;
        char path[FP_PATH_MAX + 1];
        int n = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        if (n < 0 || n > FP_PATH_MAX) continue;
        fp_name* ent = (fp_name*)calloc(1, sizeof *ent);
        if (ent == nullptr || (ent->name = strdup(path)) == nullptr) {
            free(ent);
            break;
        }
        ent->next = list;
        list = ent;
    }
    closedir(d);
    return list;
}

// Backs up and removes every entry of dir that is not a directory. The
// names are read first, so that backups made in dir are not met again.
void clear_directory(fp_ctxt* ct, const char* dir) {
    fp_name* list = extraneous_entries(ct, dir);
    for (fp_name* e = list; e != nullptr; e = e->next) {
        struct stat st;
        if (lstat(e->name, &st) != 0 || S_ISDIR(st.st_mode)) continue;
        if (backup_file(ct, e->name, &st) != 0) break;
        if (unlink(e->name) != 0 && errno != ENOENT)
            log_msg(ct, FP_LOG_ERR, "unlink: %s: ", e->name);
    }
    free_entries(list);
}

// Creates every missing component of dir from the top.
int create_dirs(fp_ctxt* ct, const char* dir) {
    const fp_keyws* kw = ct->conf;
    log_msg(ct, FP_LOG_INFO, "%s: creating directory", dir);
    char buf[FP_PATH_MAX + 1];
    snprintf(buf, sizeof buf, "%s", dir);
    size_t len = strlen(buf);
    for (size_t i = 1; i <= len; i++) {
        if (buf[i] != '/' && buf[i] != '\0') continue;
        char c = buf[i];
        buf[i] = '\0';
        struct stat st;
        if (stat(buf, &st) != 0) {
            if (errno != ENOENT) {
                log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", buf);
                return -1;
            }
            if (make_directory(ct, buf, kw->default_dir_mode, kw->unix_default_dir_uid,
                               kw->unix_default_dir_gid) != 0)
                return -1;
            table_add(ct, &ct->unpack->dirs, buf);
        } else if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", buf);
            return -1;
        }
        buf[i] = c;
    }
    return 0;
}

// ---- backups --------------------------------------------------------------

// Expands backup_fmt for path into out; the position of "%n" (or -1) into
// *npos. A relative result lies in the file's directory. Returns 0, or -1
// after a message.
int expand_backup_fmt(fp_ctxt* ct, const char* path, char* out, long* npos) {
    char dir[FP_PATH_MAX + 1];
    size_t base = split_path(path, dir, sizeof dir);
    char exp[FP_PATH_MAX + 1];
    size_t o = 0;
    *npos = -1;
    bool fits = true;
    for (const char* f = ct->conf->backup_fmt; *f != '\0' && fits; f++) {
        const char* add = nullptr;
        char one[2] = {*f, '\0'};
        if (*f != '%') {
            add = one;
        } else {
            f++;
            if (*f == '\0') break;
            if (*f == 'f') add = path + base;
            if (*f == 'p') add = dir;
            if (*f == '%') add = "%";
            if (*f == 'n') {
                if (*npos >= 0) {
                    log_msg(ct, FP_LOG_WARN, "%s: multiple %%n", path);
                    return -1;
                }
                *npos = (long)o;
            }
        }
        size_t n = add != nullptr ? strlen(add) : 0;
        fits = o + n <= FP_PATH_MAX - 2;
        if (fits && n > 0) memcpy(exp + o, add, n);
        o += n;
    }
    exp[fits ? o : 0] = '\0';
    const char* prefix = exp[0] != '/' ? dir : "";
    int len = snprintf(out, FP_PATH_MAX + 1, "%s%s", prefix, exp);
    if (!fits || len < 0 || len > FP_PATH_MAX - 2) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", path);
        return -1;
    }
    if (*npos >= 0) *npos += (long)strlen(prefix);
    return 0;
}

// The backup name of path (FP_PATH_MAX + 1 bytes). Returns 0, or -1.
int backup_name(fp_ctxt* ct, const char* path, char* out) {
    char fmt[FP_PATH_MAX + 1];
    long npos;
    if (expand_backup_fmt(ct, path, fmt, &npos) != 0) return -1;
    struct stat st;
    if (npos < 0) {
        if (ct->conf->no_overwrite && lstat(fmt, &st) == 0) {
            log_msg(ct, FP_LOG_WARN, "%s: can't backup. no overwrite", path);
            return -1;
        }
        memcpy(out, fmt, strlen(fmt) + 1);
        return 0;
    }
    for (int i = 1; i <= kBackupMax; i++) {
        snprintf(out, FP_PATH_MAX + 1, "%.*s%d%s", (int)npos, fmt, i, fmt + npos);
        if (lstat(out, &st) != 0 && errno == ENOENT) return 0;
    }
    log_msg(ct, FP_LOG_WARN, "%s: no room for backup", path);
    return -1;
}

struct body_src {
    int fd;  // a file on disk, or -1: the node body in the input channel
};

int write_file(fp_ctxt* ct, const char* path, const struct stat* st, body_src src);

// Copies a file that cannot be renamed to its backup name (another file
// system) and removes the original.
int copy_to_backup(fp_ctxt* ct, const char* path, const char* backup, const struct stat* old) {
    int rc = -1;
    if (S_ISLNK(old->st_mode)) {
        char target[PATH_MAX];
        ssize_t n = readlink(path, target, sizeof target - 1);
        if (n < 0) {
            log_msg(ct, FP_LOG_ERR, "readlink: %s: ", path);
            return -1;
        }
        target[n] = '\0';
        rc = symlink(target, backup);
        if (rc != 0) log_msg(ct, FP_LOG_ERR, "Unable to install symbolic link: %s: ", backup);
    } else {
        int fd = open(path, O_RDONLY);
        if (fd < 0) {
            log_msg(ct, FP_LOG_ERR, "open: %s: ", path);
            return -1;
        }
        rc = write_file(ct, backup, old, body_src{fd});
        close(fd);
    }
    if (rc == 0 && unlink(path) != 0) log_msg(ct, FP_LOG_ERR, "unlink: %s: ", path);
    return rc;
}

int backup_file(fp_ctxt* ct, const char* path, const struct stat* old) {
    if (ct->conf->backup_fmt == nullptr || has(ct, FP_MOD_N) || S_ISDIR(old->st_mode)) return 0;
    struct stat target;
    if (S_ISLNK(old->st_mode) && stat(path, &target) == 0 && S_ISDIR(target.st_mode)) return 0;
    char backup[FP_PATH_MAX + 1];
    if (backup_name(ct, path, backup) != 0 || check_path(ct, backup, 0) != 0) return -1;
    if (rename(path, backup) == 0) return 0;
    if (errno != EXDEV) {
        log_msg(ct, FP_LOG_ERR, "rename: %s: ", path);
        return -1;
    }
    return copy_to_backup(ct, path, backup, old);
}

// ---- busy files -----------------------------------------------------------

// Moves a busy file (a running program) out of the way: ".#<name>.<n>" in
// its directory. Returns 0, or -1 after a message.
int move_locked_file(fp_ctxt* ct, const char* path) {
    if (strlen(path) > FP_PATH_MAX - 6) {
        log_msg(ct, FP_LOG_WARN,
                "Can't create backup; filename \"%s\" too long. Max filename length=%d", path,
                FP_PATH_MAX);
        return -1;
    }
    char dir[FP_PATH_MAX + 1], moved[FP_PATH_MAX + 16];
    size_t base = split_path(path, dir, sizeof dir);
    bool found = false;
    for (int i = 1; i <= kBackupMax && !found; i++) {
        snprintf(moved, sizeof moved, "%s.#%s.%d", dir, path + base, i);
        struct stat st;
        found = (lstat(moved, &st) != 0 && errno == ENOENT) || unlink(moved) == 0;
    }
    if (!found) {
        log_msg(ct, FP_LOG_WARN, "Unable to move locked file \"%s\"; no backup name available",
                path);
        return -1;
    }
    if (rename(path, moved) != 0)
        log_msg(ct, FP_LOG_FATAL, "The directory \"%s\": is locked.", dir[0] != '\0' ? dir : ".");
    log_msg(ct, FP_LOG_INFO, "Encountered locked file \"%s\"; moving to \"%s\"", path, moved);
    return 0;
}

// ---- regular files --------------------------------------------------------

// Removes what stands at path so that a new file can be created there.
// Returns 0, or -1 after a message.
int remove_old(fp_ctxt* ct, const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        log_msg(ct, FP_LOG_WARN, "cannot install: %s: is a dir", path);
        return -1;
    }
    if (unlink(path) == 0 || errno == ENOENT) return 0;
    if (errno == ETXTBSY || errno == EBUSY) return move_locked_file(ct, path);
    log_msg(ct, FP_LOG_ERR, "Unable to open file: %s: ", path);
    return -1;
}

// A new file at path, private (0600) until its body and owner are in
// place, never following a link that appeared at the name.
int create_file(fp_ctxt* ct, const char* path) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path, flags, 0600);
    if (fd < 0 && (errno == EEXIST || errno == ETXTBSY)) {
        if (remove_old(ct, path) != 0) return -1;
        fd = open(path, flags, 0600);
    }
    if (fd < 0) log_msg(ct, FP_LOG_ERR, "Unable to open file: %s: ", path);
    return fd;
}

// Copies the body into fd. Returns 0, or the failure of write_all.
int copy_body(fp_ctxt* ct, int fd, long long size, body_src src) {
    while (size > 0) {
        long want = size < FP_BUFSIZE ? (long)size : FP_BUFSIZE;
        long got;
        if (src.fd < 0) {
            read_body(ct, ct->buffer, want);
            got = want;
        } else {
            got = (long)read(src.fd, ct->buffer, (size_t)want);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return got < 0 ? errno : -1;
        }
        int rc = write_all(fd, ct->buffer, (size_t)got);
        if (rc != 0) return rc;
        size -= got;
    }
    return 0;
}

// Owner first (changing it clears setuid bits), then the mode, then times.
int set_attributes(fp_ctxt* ct, int fd, const char* path, const struct stat* st) {
    static const uid_t euid = geteuid();
    static const gid_t egid = getegid();
    if ((euid == 0 || st->st_uid != euid || st->st_gid != egid) &&
        fchown(fd, st->st_uid, st->st_gid) != 0) {
        log_msg(ct, FP_LOG_ERR, "fchown failed: %s (uid %d, gid %d): ", path, (int)st->st_uid,
                (int)st->st_gid);
        return -1;
    }
    if (fchmod(fd, st->st_mode & 07777) != 0) {
        log_msg(ct, FP_LOG_ERR, "fchmod failed: %s: ", path);
        return -1;
    }
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_NOW;
    ts[1].tv_sec = st->st_mtime;
    ts[1].tv_nsec = 0;
    if (futimens(fd, ts) != 0) {
        log_msg(ct, FP_LOG_ERR, "utime: %s: ", path);
        return -1;
    }
    return 0;
}

// Forgets the file being written (after success) or removes it.
void end_partial(fp_ctxt* ct, bool remove) {
    fp_unpack* s = state(ct);
    if (s->file_fd >= 0) close(s->file_fd);
    s->file_fd = -1;
    if (remove && ct->partial_path != nullptr) unlink(ct->partial_path);
    free(ct->partial_path);
    ct->partial_path = nullptr;
}

int write_file(fp_ctxt* ct, const char* path, const struct stat* st, body_src src) {
    fp_unpack* s = state(ct);
    int fd = create_file(ct, path);
    if (fd < 0) {
        if (src.fd < 0) skip_node(ct, st);
        return -1;
    }
    // From here on a failure of any kind, fatal or not, removes the file.
    s->file_fd = fd;
    ct->partial_path = strdup(path);
    if (ct->partial_path == nullptr) {
        end_partial(ct, false);
        unlink(path);
        log_msg(ct, FP_LOG_FATAL, "out of memory: %s", path);
    }
    int rc = copy_body(ct, fd, (long long)st->st_size, src);
    if (rc != 0) {
        if (rc > 0) {
            errno = rc;
            log_msg(ct, FP_LOG_ERR, "Unable to write file: %s: ", path);
        } else {
            log_msg(ct, FP_LOG_WARN, "%s: short write; filesystem full?", path);
        }
        log_msg(ct, FP_LOG_FATAL, "bad file write.");
    }
    int ok = set_attributes(ct, fd, path, st);
    if (ok == 0 && close(fd) != 0) {
        log_msg(ct, FP_LOG_ERR, "Unable to write file: %s: ", path);
        ok = -1;
    }
    s->file_fd = -1;
    if (ok != 0) {
        end_partial(ct, true);
        log_msg(ct, FP_LOG_WARN, "Unable to install file %s", path);
        return -1;
    }
    end_partial(ct, false);
    return 0;
}

// ---- other node types -----------------------------------------------------

// Creates a symbolic link, replacing what stands at the name unless
// no_overwrite is set. Returns 0 or the errno of the failure.
int make_link(fp_ctxt* ct, const char* target, const char* path, bool hard) {
    int rc = hard ? link(target, path) : symlink(target, path);
    if (rc != 0 && errno == EEXIST && !ct->conf->no_overwrite) {
        struct stat st;
        if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
        if (unlink(path) != 0) return errno;
        rc = hard ? link(target, path) : symlink(target, path);
    }
    return rc == 0 ? 0 : errno;
}

void install_symlink(fp_ctxt* ct, const char* path, const struct stat* st) {
    if (st->st_size > kLinkMax) {
        log_msg(ct, FP_LOG_WARN, "%s: symbolic link target too long", path);
        skip_node(ct, st);
        return;
    }
    char target[PATH_MAX];
    long n = ioch_read_exact(ct->ip, target, st->st_size);
    if (n != st->st_size) {
        if (ioch_get_error(ct->ip, nullptr, nullptr) != 0) input_error(ct);
        log_msg(ct, FP_LOG_WARN, "%s: short symread", path);
        return;
    }
    target[n] = '\0';
    int err = make_link(ct, target, path, false);
    if (err != 0) {
        errno = err;
        log_msg(ct, FP_LOG_ERR, "Unable to install symbolic link: %s: ", path);
        return;
    }
    table_add(ct, &state(ct)->symlinks, path);
    if (geteuid() == 0) lchown(path, st->st_uid, st->st_gid);
    struct timespec ts[2] = {{0, UTIME_NOW}, {st->st_mtime, 0}};
    utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW);
}

// A further name of a file installed before: a hard link to it, or a
// symbolic link when the two lie on different file systems.
void install_hard_link(fp_ctxt* ct, const char* first, const char* path, const struct stat* st) {
    int err = make_link(ct, first, path, true);
    if (err == EXDEV) {
        log_msg(ct, FP_LOG_INFO, "link: %s: changed hard link to symbolic link", path);
        err = make_link(ct, first, path, false);
    }
    if (err != 0) {
        errno = err;
        log_msg(ct, FP_LOG_ERR, "Unable to install hard link: %s: ", path);
    }
    if (st->st_size > 0) {
        log_msg(ct, FP_LOG_INFO, "link: %s: skipping dup body", path);
        skip_node(ct, st);
    }
}

void install_directory(fp_ctxt* ct, const char* path, const struct stat* st) {
    if (beneath_own_symlink(ct, path, true)) {
        log_msg(ct, FP_LOG_WARN, "%s: is a symbolic link of this package; not installed", path);
        return;
    }
    if (make_directory(ct, path, st->st_mode & 07777, st->st_uid, st->st_gid) != 0) return;
    fp_unpack* s = state(ct);
    table_add(ct, &s->dirs, path);
    // Its time is set after its contents are written, which change it.
    fp_name* e = new_entry(ct, path);
    e->mtime = st->st_mtime;
    e->next = s->dir_times;
    s->dir_times = e;
}

void set_dir_times(fp_ctxt* ct) {
    fp_unpack* s = state(ct);
    for (fp_name* e = s->dir_times; e != nullptr; e = e->next) {
        struct timespec ts[2] = {{0, UTIME_NOW}, {e->mtime, 0}};
        if (utimensat(AT_FDCWD, e->name, ts, 0) != 0)
            log_msg(ct, FP_LOG_ERR, "utime: %s: ", e->name);
    }
    free_entries(s->dir_times);
    s->dir_times = nullptr;
}

// ---- pre-install checks ---------------------------------------------------

bool is_installed_link(const fp_ctxt* ct, const struct stat* st) {
    return S_ISREG(st->st_mode) && st->st_nlink > 1 && link_find(&ct->unpack->links, st) != nullptr;
}

bool node_is_identical(const fp_ctxt* ct, const struct stat* node, const struct stat* old) {
    if ((node->st_mode & S_IFMT) != (old->st_mode & S_IFMT)) return false;
    bool same_attrs =
        node->st_mode == old->st_mode && node->st_uid == old->st_uid && node->st_gid == old->st_gid;
    if (S_ISDIR(node->st_mode)) return same_attrs;
    if (S_ISLNK(node->st_mode)) return node->st_size == old->st_size;
    if (!S_ISREG(node->st_mode)) return false;
    return same_attrs && node->st_mtime == old->st_mtime &&
           (node->st_size == old->st_size || is_installed_link(ct, node));
}

// The o modifier: whether the file on disk already holds this node.
bool same_on_disk(fp_ctxt* ct, const char* path, const struct stat* st, const struct stat* old) {
    if (!node_is_identical(ct, st, old)) return false;
    if (ct->node_check == 0) return true;
    long ck = get_file_cksum(ct, path, old);
    return ck <= 0 || (unsigned long)ck == ct->node_check;
}

// A node that is skipped while its file stays on disk: further hard links
// to it link to that file.
void keep_existing(fp_ctxt* ct, const char* path, const struct stat* st) {
    if (S_ISREG(st->st_mode) && st->st_nlink > 1) link_add(ct, &state(ct)->links, st, path);
}

// Returns 0 when the node may go to the callback, -1 to skip it. Only an
// install changes the disk here (directories, backups): the other
// operations look without touching.
int pre_install_checks(fp_ctxt* ct, const char* path, const struct stat* st) {
    if (has(ct, FP_MOD_NOCHECK)) return 0;
    bool writes = ct->ptype == FP_OP_INSTALL;
    struct stat old;
    if (lstat(path, &old) != 0) return writes ? check_path(ct, path, 1) : 0;
    const fp_keyws* kw = ct->conf;
    if (kw->no_overwrite && kw->backup_fmt == nullptr) {
        log_msg(ct, FP_LOG_WARN, "%s: skipped. no overwrite", path);
        keep_existing(ct, path, st);
        return -1;
    }
    if (kw->skip_older_src && st->st_mtime < old.st_mtime) {
        log_msg(ct, FP_LOG_INFO, "%s: skipped. older source", path);
        keep_existing(ct, path, st);
        return -1;
    }
    if (has(ct, FP_MOD_O) && !has(ct, FP_MOD_A) && same_on_disk(ct, path, st, &old)) {
        keep_existing(ct, path, st);
        return -1;
    }
    if (!writes) return 0;
    if (backup_file(ct, path, &old) != 0) return -1;
    return check_path(ct, path, 1);
}

// ---- uninstall ------------------------------------------------------------

int compare_desc(const void* a, const void* b) {
    return strcmp(*(const char* const*)b, *(const char* const*)a);
}

// Below the destination root: the parents that rm_empty_dirs may remove.
bool below_root(const char* dir, const char* root) {
    size_t n = strlen(root);
    while (n > 0 && root[n - 1] == '/') n--;
    if (n == 0) return dir[0] == '/' && dir[1] != '\0';
    return strncmp(dir, root, n) == 0 && dir[n] == '/' && dir[n + 1] != '\0';
}

void remove_parents(const char* dir, const char* root) {
    char buf[FP_PATH_MAX + 1];
    snprintf(buf, sizeof buf, "%s", dir);
    for (char* p = strrchr(buf, '/'); p != nullptr && p != buf; p = strrchr(buf, '/')) {
        *p = '\0';
        if (!below_root(buf, root) || rmdir(buf) != 0) return;
    }
}

// The remembered directories, deepest first (a child sorts after its
// parent, so descending order puts it before).
void remove_dirs(fp_ctxt* ct) {
    name_table* t = &state(ct)->dirs;
    if (t->count == 0) return;
    const char** names = (const char**)malloc(sizeof(char*) * (size_t)t->count);
    if (names == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: directories");
    long n = 0;
    for (unsigned i = 0; i < kBuckets; i++)
        for (fp_name* e = t->b[i]; e != nullptr; e = e->next) names[n++] = e->name;
    qsort(names, (size_t)n, sizeof *names, compare_desc);
    char root[2 * FP_PATH_MAX + 2];
    snprintf(root, sizeof root, "%s%s",
             ct->conf->unix_platform_prefix != nullptr ? ct->conf->unix_platform_prefix : "",
             ct->conf->default_dest != nullptr ? ct->conf->default_dest : "/");
    for (long i = 0; i < n; i++) {
        if (rmdir(names[i]) != 0) {
            if (errno != ENOENT)
                log_msg(ct, FP_LOG_NOTE, "uninstall: not removing directory %s: ", names[i]);
            continue;
        }
        if (ct->conf->rm_empty_dirs) remove_parents(names[i], root);
    }
    free(names);
    table_free(t);
}

void remember_parent(fp_ctxt* ct, const char* path) {
    char dir[FP_PATH_MAX + 1];
    size_t off = split_path(path, dir, sizeof dir);
    while (off > 1 && dir[off - 1] == '/') dir[--off] = '\0';
    if (off > 0) table_add(ct, &state(ct)->dirs, dir);
}

// ---- the stream -----------------------------------------------------------

void handle_node(fp_ctxt* ct, const char* name, struct stat* st) {
    if (is_repack(ct->ptype)) {
        ct->fn(ct, FP_EV_NODE, name, st, nullptr);
        return;
    }
    bool disk = touches_disk(ct->ptype);
    if (disk && has_dotdot(name)) {
        log_msg(ct, FP_LOG_WARN, "%s: name has a \"..\" component; not installed", name);
        skip_node(ct, st);
        return;
    }
    char path[FP_PATH_MAX + 1];
    if (unpack_dest_name(ct, name, path) != 0) {
        skip_node(ct, st);
        return;
    }
    if (disk && beneath_own_symlink(ct, path, false)) {
        log_msg(ct, FP_LOG_WARN, "%s: lies beneath a symbolic link of this package; not installed",
                path);
        skip_node(ct, st);
        return;
    }
    if (pre_install_checks(ct, path, st) != 0) {
        skip_node(ct, st);
        return;
    }
    ct->fn(ct, FP_EV_NODE, path, st, nullptr);
}

void run_end_scripts(fp_ctxt* ct) {
    if (ct->ptype == FP_OP_LIST_BITS) return;  // a mask is a preview: no scripts
    bool uninstall = ct->ptype == FP_OP_UNINSTALL;
    if (has(ct, FP_MOD_D)) {
        if (uninstall && fp_run_scripts(ct, FP_SCR_AFTER_REMOVAL) != 0)
            log_msg(ct, FP_LOG_WARN, "after remove script failure");
        if (!uninstall && fp_run_scripts(ct, FP_SCR_AFTER) != 0)
            log_msg(ct, FP_LOG_WARN, "after script failure");
    }
    if (has(ct, FP_MOD_C) && !uninstall && fp_run_scripts(ct, FP_SCR_COMMIT) != 0)
        log_msg(ct, FP_LOG_WARN, "commit script failure");
}

// Reads past the rest of the package, from the node already read. False
// when a header could not be read.
bool skip_fp(fp_ctxt* ct, struct stat* st, char* name) {
    while (strcmp(name, FP_TRAILER_NAME) != 0) {
        skip_node(ct, st);
        if (getheader(ct, st, &ct->node_check, name) != 0) return false;
    }
    return true;
}

// Runs the scripts at the start of a package. False when the package ends;
// *complete then tells whether its trailer was read.
bool run_start_scripts(fp_ctxt* ct, struct stat* st, char* name, bool* complete) {
    if (ct->ptype == FP_OP_LIST_BITS || !has(ct, FP_MOD_D)) return true;
    if (ct->ptype == FP_OP_UNINSTALL) {
        if (fp_run_scripts(ct, FP_SCR_REMOVAL) == 0) return true;
        log_msg(ct, FP_LOG_WARN, "remove script failure");
        *complete = false;
        return false;
    }
    if (fp_run_scripts(ct, FP_SCR_BEFORE) == 0) return true;
    log_msg(ct, FP_LOG_WARN, "before script failure");
    *complete = skip_fp(ct, st, name);
    return false;
}

// The nodes up to the trailer. False when a header could not be read.
bool node_loop(fp_ctxt* ct, struct stat* st, char* name) {
    for (;;) {
        if (strcmp(name, FP_TRAILER_NAME) == 0) {
            ct->fn(ct, FP_EV_END, nullptr, nullptr, nullptr);
            run_end_scripts(ct);
            return true;
        }
        handle_node(ct, name, st);
        if (getheader(ct, st, &ct->node_check, name) != 0) return false;
    }
}

// One package; false when the stream ends with it (the operation is
// complete, or the package ended before its trailer).
bool unpack_one(fp_ctxt* ct) {
    struct stat st;
    char name[FP_NAME_MAX + 1];
    if (unpack_cntl(ct, &st, name) != 0) return false;
    if (ct->modifiers == 0) ct->modifiers = ct->conf->modifiers;
    ct->modifiers |= ct->conf->modifiers & FP_MOD_H;
    if (has(ct, FP_MOD_H) && (ct->ptype == FP_OP_INSTALL || ct->ptype == FP_OP_REPACK))
        log_msg(ct, FP_LOG_FATAL, "install of HDRS fps");
    ct->fn(ct, FP_EV_START, nullptr, nullptr, nullptr);
    if (ct->ptype == FP_OP_REPACK_HDRS || has(ct, FP_MOD_RAW_CNTL)) {
        fp_cntl_node* c = ct->cntl_node;
        ct->fn(ct, FP_EV_CNTL, c != nullptr ? c->name : nullptr, c != nullptr ? &c->st : nullptr,
               nullptr);
    }
    bool complete = true;
    if (run_start_scripts(ct, &st, name, &complete)) {
        open_list_file(ct);
        complete = node_loop(ct, &st, name);
        close_list_file(ct);
    }
    unpack_cntl_end(ct);
    return complete;
}

// Looks for a further package after the trailer's padding: its first node
// header begins "0707". Those bytes and the two after them are pushed back
// for the next header read.
bool rephase(fp_ctxt* ct) {
    unsigned char last[4] = {0, 0, 0, 0};
    for (;;) {
        int c = ioch_getc(ct->ip);
        if (c < 0) {
            if (ioch_get_error(ct->ip, nullptr, nullptr) != 0) input_error(ct);
            return false;
        }
        memmove(last, last + 1, 3);
        last[3] = (unsigned char)c;
        if (memcmp(last, "0707", 4) == 0 || memcmp(last, "\x00\x07\x07\x02", 4) == 0) break;
    }
    memcpy(ct->hdr_pushback, last, 4);
    for (int i = 4; i < 6; i++) {
        int c = ioch_getc(ct->ip);
        if (c < 0) return false;
        ct->hdr_pushback[i] = (char)c;
    }
    ct->hdr_pushback_len = 6;
    return true;
}

void local_name(fp_ctxt* ct) {
    if (ct->name == nullptr) return;
    char local[FP_PATH_MAX + 1];
    zug_from_utf8(nullptr, ct->name, strlen(ct->name), local, sizeof local);
    fp_set_name(ct, local);
}

// ---- repacking ------------------------------------------------------------

void repack_start(fp_ctxt* ct, bool hdrs) {
    long saved = ct->node_count;
    if (ct->nest_level == 0) {
        if (ct->op != nullptr &&
            ioch_options(ct->op, 0, (int)ct->conf->do_compress, (int)ct->conf->do_checksum) != 0)
            log_msg(ct, FP_LOG_FATAL, "out_stream write error (cnt=%d)", 0);
        encode_header(ct);
    }
    if (hdrs) ct->conf->modifiers |= FP_MOD_H;
    if (!has(ct, FP_MOD_RAW_CNTL)) pack_cntl(ct);
    ct->node_count = saved;
}

// The block's own "cntl" node, copied through unchanged.
void repack_raw_cntl(fp_ctxt* ct) {
    const fp_cntl_node* c = ct->cntl_node;
    if (!has(ct, FP_MOD_RAW_CNTL) || c == nullptr) return;
    long saved = ct->node_count;
    int rc = putheader(ct, c->name, &c->st, c->check, (long)c->st.st_size);
    ct->node_count = saved;
    if (rc != 0) log_msg(ct, FP_LOG_WARN, "%s: name too long", c->name);
    fp_out_write(ct, c->text, (long)c->st.st_size);
}

void repack_node(fp_ctxt* ct, const char* name, const struct stat* st, bool hdrs) {
    if (!node_selected(ct)) {
        skip_node(ct, st);
        return;
    }
    long saved = ct->node_count;
    int rc = putheader(ct, name, st, ct->node_check, (long)st->st_size);
    ct->node_count = saved;
    if (rc != 0) {
        log_msg(ct, FP_LOG_WARN, "%s: name too long", name);
        skip_node(ct, st);
        return;
    }
    if (hdrs || has(ct, FP_MOD_H)) {
        skip_node(ct, st);
        return;
    }
    for (long long left = st->st_size; left > 0;) {
        long want = left < FP_BUFSIZE ? (long)left : FP_BUFSIZE;
        read_body(ct, ct->buffer, want);
        fp_out_write(ct, ct->buffer, want);
        left -= want;
    }
}

int repack(fp_ctxt* ct, int event, const char* name, struct stat* st, bool hdrs) {
    switch (event) {
        case FP_EV_START:
            repack_start(ct, hdrs);
            break;
        case FP_EV_CNTL:
            repack_raw_cntl(ct);
            break;
        case FP_EV_NODE:
            repack_node(ct, name, st, hdrs);
            break;
        case FP_EV_END: {
            long saved = ct->node_count;
            dotrailer(ct);
            ct->node_count = saved;
            break;
        }
        default:
            break;
    }
    return 0;
}

}  // namespace

// ---- public ---------------------------------------------------------------

size_t fp_list_line(const struct stat* st, const char* name, char* out, size_t size) {
    char when[64] = "";
    time_t t = st->st_mtime;
    struct tm tmv;
    if (localtime_r(&t, &tmv) != nullptr) strftime(when, sizeof when, "%b %d %H:%M:%S %Y", &tmv);
    int n = snprintf(out, size, "%06o %2d %3d/%3d  %6lu  %20.20s  %.255s\n", (unsigned)st->st_mode,
                     (int)st->st_nlink, (int)st->st_uid, (int)st->st_gid,
                     (unsigned long)st->st_size, when, name);
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

int unpack_common(fp_ctxt* ct) {
    FP_ASSERT(ct, ct->fn != nullptr, "ct->fn != ((void *)0)");
    FP_ASSERT(ct, ct->ip != nullptr, "ct->ip != ((void *)0)");
    state(ct);
    ct->node_count = 0;
    if (decode_header(ct) != 0) log_msg(ct, FP_LOG_FATAL, "unpack: bad header");
    local_name(ct);
    bool more = unpack_one(ct);
    while (more && rephase(ct)) {
        ct->nest_level++;
        more = unpack_one(ct);
    }
    in_stream_eof(ct);
    return more ? 1 : 0;
}

void skip_node(fp_ctxt* ct, const struct stat* st) {
    if (has(ct, FP_MOD_H) || st->st_size <= 0) return;
    if (ioch_skip(ct->ip, (long)st->st_size) != (long)st->st_size) input_error(ct);
}

int install_file(fp_ctxt* ct, const char* path, const struct stat* st) {
    if (has(ct, FP_MOD_N)) {
        skip_node(ct, st);
        return 0;
    }
    return write_file(ct, path, st, body_src{-1});
}

int check_path(fp_ctxt* ct, const char* path, int clear) {
    if (has(ct, FP_MOD_N)) return 0;
    fp_unpack* s = state(ct);
    char dir[FP_PATH_MAX + 1];
    size_t off = split_path(path, dir, sizeof dir);
    while (off > 1 && dir[off - 1] == '/') dir[--off] = '\0';
    if (off == 0) return 0;  // the current directory
    if (table_has(&s->dirs, dir)) return 0;
    struct stat st;
    if (stat(dir, &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", dir);
            return -1;
        }
        bool clearing = clear && ct->conf->rm_extraneous;
        if (clearing) clear_directory(ct, dir);
        if (clearing || !ct->conf->rm_extraneous) table_add(ct, &s->dirs, dir);
        return 0;
    }
    if (errno != ENOENT) {
        log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", dir);
        return -1;
    }
    if (!ct->conf->create_dirs) {
        log_msg(ct, FP_LOG_WARN, "create dir disallowed: %s: ", dir);
        return -1;
    }
    return create_dirs(ct, dir);
}

int make_directory(fp_ctxt* ct, const char* path, long mode, long uid, long gid) {
    if (mode == -1) mode = 0755;
    if (mkdir(path, 0700) != 0) {
        int err = errno;
        struct stat st;
        if ((err != EEXIST && err != EACCES) || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
            errno = err;
            log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", path);
            return -1;
        }
    }
    if (uid != -1 && gid != -1 && chown(path, (uid_t)uid, (gid_t)gid) != 0) {
        log_msg(ct, FP_LOG_ERR, "chown: %s: ", path);
        return -1;
    }
    if (chmod(path, (mode_t)mode) != 0) {
        log_msg(ct, FP_LOG_ERR, "chmod: %s: ", path);
        return -1;
    }
    return 0;
}

int unpack_dest_name(fp_ctxt* ct, const char* name, char* out) {
    const char* prefix = "";
    char root[4];
    if (!is_repack(ct->ptype) && !has(ct, FP_MOD_P) && name[0] != '/') {
        dest_root(ct, root);
        const char* pp = ct->conf->unix_platform_prefix;
        prefix = pp != nullptr ? pp : root;
    }
    if (prefix[0] == '\0') {
        if (strlen(name) > FP_PATH_MAX) {
            log_msg(ct, FP_LOG_WARN, "%s: path too long", name);
            return -1;
        }
        memcpy(out, name, strlen(name) + 1);
        return 0;
    }
    size_t plen = strlen(prefix);
    while (plen > 0 && (prefix[plen - 1] == '/' || prefix[plen - 1] == '\\')) plen--;
    while (*name == '/') name++;
    int n = snprintf(out, FP_PATH_MAX + 1, "%.*s/%s", (int)plen, prefix, name);
    if (n < 0 || n > FP_PATH_MAX) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", name);
        return -1;
    }
    return 0;
}

int install_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec*) {
    if (event == FP_EV_END && !has(ct, FP_MOD_N)) set_dir_times(ct);
    if (event != FP_EV_NODE) return 0;
    if (has(ct, FP_MOD_N)) {
        skip_node(ct, st);
        return 0;
    }
    list_to_file(ct, name, st);
    fp_unpack* s = state(ct);
    switch (st->st_mode & S_IFMT) {
        case S_IFDIR:
            install_directory(ct, name, st);
            skip_node(ct, st);
            break;
        case S_IFLNK:
            install_symlink(ct, name, st);
            break;
        case S_IFREG: {
            const char* first = st->st_nlink > 1 ? link_find(&s->links, st) : nullptr;
            if (first != nullptr && strcmp(first, name) != 0) {
                install_hard_link(ct, first, name, st);
            } else if (install_file(ct, name, st) == 0 && st->st_nlink > 1) {
                link_add(ct, &s->links, st, name);
            }
            break;
        }
        default:
            log_msg(ct, FP_LOG_WARN, "%s: unknown file type (0%o)", name, (unsigned)st->st_mode);
            skip_node(ct, st);
            break;
    }
    return 0;
}

int uninstall_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec*) {
    if (has(ct, FP_MOD_N)) {
        if (event == FP_EV_NODE) skip_node(ct, st);
        return 0;
    }
    if (event == FP_EV_END) remove_dirs(ct);
    if (event != FP_EV_NODE) return 0;
    list_to_file(ct, name, st);
    fp_unpack* s = state(ct);
    if (S_ISDIR(st->st_mode)) {
        table_add(ct, &s->dirs, name);
    } else {
        if (S_ISLNK(st->st_mode)) table_add(ct, &s->symlinks, name);
        if (unlink(name) != 0) {
            if (errno == ENOENT)
                log_msg(ct, FP_LOG_INFO, "uninstall: %s: Not found", name);
            else
                log_msg(ct, FP_LOG_ERR, "uninstall: %s: ", name);
        } else if (ct->conf->rm_empty_dirs) {
            remember_parent(ct, name);
        }
    }
    skip_node(ct, st);
    return 0;
}

int unpack_list_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec*) {
    // The keyword set of the "cntl" node, read before the package starts.
    if (event == FP_EV_START && has(ct, FP_MOD_K)) {
        char* text = nullptr;
        if (prt_keywlist(ct->conf, &text) != 0) {
            log_msg(ct, FP_LOG_WARN, "prt_keywlist failed");
            return 0;
        }
        size_t len = strlen(text);
        memcpy(ct->buffer, text, len < FP_BUFSIZE ? len : FP_BUFSIZE);
        free(text);
        fp_out_write(ct, ct->buffer, (long)(len < FP_BUFSIZE ? len : FP_BUFSIZE));
        return 0;
    }
    if (event != FP_EV_NODE) return 0;
    if (node_selected(ct)) list_to_output(ct, name, st);
    skip_node(ct, st);
    return 0;
}

int unpack_size_node(fp_ctxt* ct, int event, const char*, struct stat* st, fp_frec*) {
    if (event != FP_EV_NODE) return 0;
    ct->rval += (long)st->st_size;
    skip_node(ct, st);
    return 0;
}

int unpack_hdr_bitmask(fp_ctxt* ct, int event, const char*, struct stat* st, fp_frec*) {
    if (event != FP_EV_NODE) return 0;
    set_node_bit(ct);
    skip_node(ct, st);
    return 0;
}

int unpack_repack(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec*) {
    return repack(ct, event, name, st, false);
}

int unpack_repack_hdrs(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec*) {
    return repack(ct, event, name, st, true);
}

void unpack_dispose(fp_ctxt* ct) {
    fp_unpack* s = ct->unpack;
    if (s == nullptr) return;
    if (s->list != nullptr) fclose(s->list);
    if (s->file_fd >= 0) close(s->file_fd);
    table_free(&s->links);
    table_free(&s->dirs);
    table_free(&s->symlinks);
    free_entries(s->dir_times);
    free(s);
    ct->unpack = nullptr;
}
