// Unpacking: the stream driver, the pre-install checks, installing and
// removing nodes, backups, directories, list files, and the callbacks that
// list, size, mask and repack a block.
//
// Every place on disk is reached by the link-free walk of safe_path.h from
// the root that walk_root names, and every entry is put in place whole
// through atomic_file.h.
#include "unpack.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "atomic_file.h"
#include "cksum.h"
#include "cntl_files.h"
#include "fppack.h"
#include "io_chan.h"
#include "io_filter.h"
#include "keyw.h"
#include "log_msg.h"
#include "run_script.h"
#include "safe_path.h"
#include "zug.h"

namespace {

// Buckets of the name and link tables (a power of two).
const unsigned kBuckets = 4096;
// Longest symbolic link target accepted from a block.
const long kLinkMax = PATH_MAX - 1;
// Highest %n of a backup name.
const int kBackupMax = 99;
// Words by which the bit mask grows.
const int kMaskStep = 4;
// Directories kept open between nodes (a power of two): consecutive nodes
// mostly share a few directories, which then are not walked again.
const unsigned kDirCache = 16;

// One entry of a table: a name, and for the tables keyed by a file's
// identity the source's (dev, ino).
struct fp_name {
    char* name;
    dev_t dev;
    ino_t ino;
    long mtime;           // directories whose time is set at the end
    long long off, size;  // repack: a body kept aside (off -1: none) and its size
    unsigned long check;  // repack: its checksum
    bool emitted;         // repack: a body of this file is in the new block
    fp_name* next;
};

struct name_table {
    fp_name** b;  // kBuckets heads, made with the first entry: most tables stay empty
    long count;
};

struct dir_slot {
    int fd;       // O_PATH, or -1
    bool setgid;  // new files take the directory's group
    char path[FP_PATH_MAX + 1];
};

}  // namespace

struct fp_unpack {
    name_table links;     // installed regular files by (dev, ino) of the source
    name_table dirs;      // uninstall: directories to remove
    name_table cleared;   // rm_extraneous: directories cleared or created in this run
    name_table to_clear;  // rm_extraneous: directories to clear at the package's end
    name_table placed;    // rm_extraneous: every name this run put or kept in place
    name_table carriers;  // repack: hard-linked files by (dev, ino) of the source
    fp_name* dir_times;   // directory nodes whose time is set at the trailer
    FILE* list;           // the open list file
    char list_name[FP_PATH_MAX + 1];
    af_file file;  // the file being written (dirfd -1 when none)
    dir_slot cache[kDirCache];
    FILE* spill;  // repack: bodies kept aside, or null
    long long spill_size;
    bool told_absolute;  // the removal of leading slashes was logged
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
    e->off = -1;
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
    if (t->b != nullptr)
        for (unsigned i = 0; i < kBuckets; i++) free_entries(t->b[i]);
    free(t->b);
    memset(t, 0, sizeof *t);
}

// The head of bucket h, the buckets made when the table gets its first entry.
fp_name** bucket(fp_ctxt* ct, name_table* t, unsigned h) {
    if (t->b == nullptr) {
        t->b = (fp_name**)calloc(kBuckets, sizeof *t->b);
        if (t->b == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: unpack tables");
    }
    return &t->b[h];
}

bool table_has(const name_table* t, const char* name) {
    if (t->count == 0) return false;
    for (const fp_name* e = t->b[hash_name(name)]; e != nullptr; e = e->next)
        if (strcmp(e->name, name) == 0) return true;
    return false;
}

void table_add(fp_ctxt* ct, name_table* t, const char* name) {
    if (table_has(t, name)) return;
    fp_name** head = bucket(ct, t, hash_name(name));
    fp_name* e = new_entry(ct, name);
    e->next = *head;
    *head = e;
    t->count++;
}

fp_name* id_find(const name_table* t, const struct stat* st) {
    if (t->count == 0) return nullptr;
    for (fp_name* e = t->b[hash_id(st->st_dev, st->st_ino)]; e != nullptr; e = e->next)
        if (e->dev == st->st_dev && e->ino == st->st_ino) return e;
    return nullptr;
}

// The entry of st's identity; a new one named `name` when there is none.
fp_name* id_add(fp_ctxt* ct, name_table* t, const struct stat* st, const char* name) {
    fp_name* e = id_find(t, st);
    if (e != nullptr) return e;
    fp_name** head = bucket(ct, t, hash_id(st->st_dev, st->st_ino));
    e = new_entry(ct, name);
    e->dev = st->st_dev;
    e->ino = st->st_ino;
    e->next = *head;
    *head = e;
    t->count++;
    return e;
}

const char* link_find(const name_table* t, const struct stat* st) {
    const fp_name* e = id_find(t, st);
    return e != nullptr ? e->name : nullptr;
}

fp_unpack* state(fp_ctxt* ct) {
    if (ct->unpack == nullptr) {
        fp_unpack* s = (fp_unpack*)calloc(1, sizeof(fp_unpack));
        if (s == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: unpack tables");
        s->file.fd = -1;
        s->file.dirfd = -1;
        for (dir_slot& d : s->cache) d.fd = -1;
        ct->unpack = s;
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

// rm_extraneous bookkeeping is needed: an install that changes the disk.
bool tracks_extraneous(const fp_ctxt* ct) {
    return ct->ptype == FP_OP_INSTALL && ct->conf->rm_extraneous && !has(ct, FP_MOD_N);
}

[[noreturn]] void input_error(fp_ctxt* ct) {
    int err = 0;
    long blk = 0;
    ioch_get_error(ct->ip, &err, &blk);
    log_msg(ct, FP_LOG_FATAL, "unpack: input error (err=%d, blkno=%ld): %s", err, blk,
            ioch_input_error_text(err));
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

// A mask of at least `words` words (zero-filled as it grows).
void grow_mask(fp_ctxt* ct, int words) {
    if (words <= ct->hdr_words) return;
    uint32_t* nb = (uint32_t*)realloc(ct->hdr_bits, sizeof(uint32_t) * (size_t)words);
    if (nb == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: bitmask");
    memset(nb + ct->hdr_words, 0, sizeof(uint32_t) * (size_t)(words - ct->hdr_words));
    ct->hdr_bits = nb;
    ct->hdr_words = words;
    ct->hdr_maxbit = words * 32 - 1;
}

void set_node_bit(fp_ctxt* ct) {
    long bit = ct->node_count - 1;
    if (bit < 0) return;
    grow_mask(ct, (int)(bit / 32 / kMaskStep + 1) * kMaskStep);
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

// Collapses repeated slashes and "." components and drops a trailing
// slash, so that a place has one spelling in every table ("." alone stays:
// archives made with find name the current directory so).
void normalize_path(char* p) {
    char* w = p;
    const char* r = p;
    bool named = *p != '\0';
    if (*r == '/') *w++ = *r++;
    for (;;) {
        while (*r == '/') r++;
        if (*r == '\0') break;
        const char* c = r;
        while (*r != '\0' && *r != '/') r++;
        size_t n = (size_t)(r - c);
        if (n == 1 && c[0] == '.') continue;
        if (w > p && w[-1] != '/') *w++ = '/';
        if (w != c) memmove(w, c, n);
        w += n;
    }
    if (w == p && named) *w++ = '.';
    *w = '\0';
}

// unpack_dest_name without the message: -1 when the result does not fit.
// A name is never absolute: its leading slashes go, as tar drops them, so
// that no node leaves the platform prefix or the current directory.
int join_dest(fp_ctxt* ct, const char* name, char* out) {
    const char* prefix = "";
    char root[4];
    if (!is_repack(ct->ptype)) {
        while (*name == '/') name++;
        if (!has(ct, FP_MOD_P)) {
            dest_root(ct, root);
            const char* pp = ct->conf->unix_platform_prefix;
            prefix = pp != nullptr ? pp : root;
        }
    }
    size_t plen = strlen(prefix), nlen = strlen(name);
    while (plen > 0 && (prefix[plen - 1] == '/' || prefix[plen - 1] == '\\')) plen--;
    // An empty prefix joins nothing; one made of slashes only joins "/".
    size_t sep = prefix[0] != '\0' ? 1 : 0;
    if (plen + sep + nlen > FP_PATH_MAX) return -1;
    memcpy(out, prefix, plen);
    if (sep) out[plen] = '/';
    memcpy(out + plen + sep, name, nlen + 1);
    normalize_path(out);
    return 0;
}

// Length of `cand` as a directory that holds path[0..end), or 0.
size_t root_within(const char* path, size_t end, const char* cand) {
    if (cand == nullptr) return 0;
    size_t n = strlen(cand);
    while (n > 1 && cand[n - 1] == '/') n--;
    if (n == 0 || n > end || memcmp(path, cand, n) != 0) return 0;
    return n == end || path[n] == '/' || cand[n - 1] == '/' ? n : 0;
}

// The root of a walk to path[0..end): the longest of the install location
// (default_dest under the platform prefix), the platform prefix, this
// package's script directory and list_path that holds it; else "/" or the
// current directory. Links above the root are the administrator's.
size_t walk_root(fp_ctxt* ct, const char* path, size_t end) {
    const fp_keyws* kw = ct->conf;
    size_t best = 0;
    const char* dd = kw->default_dest;
    while (dd != nullptr && *dd == '/') dd++;
    char loc[FP_PATH_MAX + 1];
    if (dd != nullptr && *dd != '\0' && join_dest(ct, dd, loc) == 0)
        best = root_within(path, end, loc);
    const char* others[] = {kw->unix_platform_prefix,
                            ct->scripts != nullptr ? ct->scripts->tmp_dir : nullptr, kw->list_path};
    for (const char* c : others) {
        size_t n = root_within(path, end, c);
        if (n > best) best = n;
    }
    return best > 0 ? best : path[0] == '/' ? 1 : 0;
}

// ---- the walk -------------------------------------------------------------

void dir_cache_drop(fp_ctxt* ct) {
    if (ct->unpack == nullptr) return;
    for (dir_slot& d : ct->unpack->cache) {
        if (d.fd >= 0) close(d.fd);
        d.fd = -1;
    }
}

dir_slot* cached_dir(fp_ctxt* ct, const char* dir) {
    dir_slot* slot = &state(ct)->cache[hash_name(dir) & (kDirCache - 1)];
    return slot->fd >= 0 && strcmp(slot->path, dir) == 0 ? slot : nullptr;
}

// Opens dir (path[0..end)) from the deepest directory above it, at or below
// root, that the cache holds (that walk came from the same root), else from
// root: a new directory then costs one open, not one per component.
int walk_dir(fp_ctxt* ct, const char* path, char* dir, size_t end, size_t* failed) {
    size_t root = walk_root(ct, path, end);
    for (size_t k = end; k-- > root;) {
        if (dir[k] != '/' || k == 0 || dir[k - 1] == '/') continue;
        dir[k] = '\0';
        const dir_slot* above = cached_dir(ct, dir);
        dir[k] = '/';
        if (above != nullptr) return sp_open_dir_from(above->fd, path, k, end, failed);
    }
    return sp_open_dir(path, root, end, failed);
}

// The directory path[0..end), walked from its root without following a
// link: its entry in the cache, valid until the next call (dup the
// descriptor to keep it longer), or null with errno and *failed the length
// of the prefix that could not be entered.
const dir_slot* dest_dir(fp_ctxt* ct, const char* path, size_t end, size_t* failed) {
    *failed = end;
    if (end > FP_PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    char dir[FP_PATH_MAX + 1];
    memcpy(dir, path, end);
    dir[end] = '\0';
    dir_slot* hit = cached_dir(ct, dir);
    if (hit != nullptr) return hit;
    dir_slot* slot = &state(ct)->cache[hash_name(dir) & (kDirCache - 1)];
    int fd = walk_dir(ct, path, dir, end, failed);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int err = errno;
        if (fd >= 0) close(fd);
        errno = err;
        return nullptr;
    }
    if (slot->fd >= 0) close(slot->fd);
    slot->fd = fd;
    slot->setgid = (st.st_mode & S_ISGID) != 0;
    memcpy(slot->path, dir, end + 1);
    return slot;
}

// Forgets what the cache knows of directory `path`, whose mode changed.
void dir_cache_forget(fp_ctxt* ct, const char* path) {
    dir_slot* slot = cached_dir(ct, path);
    if (slot == nullptr) return;
    close(slot->fd);
    slot->fd = -1;
}

// Forgets directory `path`, just removed, and whatever lay below it.
void dir_cache_forget_tree(fp_ctxt* ct, const char* path) {
    size_t n = strlen(path);
    for (dir_slot& d : state(ct)->cache) {
        if (d.fd < 0 || strncmp(d.path, path, n) != 0 || (d.path[n] != '\0' && d.path[n] != '/'))
            continue;
        close(d.fd);
        d.fd = -1;
    }
}

int open_dest_dir(fp_ctxt* ct, const char* path, size_t end, size_t* failed) {
    const dir_slot* d = dest_dir(ct, path, end, failed);
    return d != nullptr ? d->fd : -1;
}

// The directory holding path's last component (as open_dest_dir), the
// component in *leaf.
int parent_dir(fp_ctxt* ct, const char* path, const char** leaf, size_t* failed) {
    size_t dir_end;
    *leaf = path + sp_leaf(path, &dir_end);
    return open_dest_dir(ct, path, dir_end, failed);
}

// A descriptor of path's directory of the caller's own (close it), or -1.
int own_parent_dir(fp_ctxt* ct, const char* path, const char** leaf, size_t* failed) {
    int fd = parent_dir(ct, path, leaf, failed);
    return fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
}

// Why path's directory could not be reached: the prefix path[0..failed)
// could not be entered (errno err).
void log_walk_failure(fp_ctxt* ct, const char* path, size_t failed, int err) {
    errno = err;
    if (err == ELOOP)
        log_msg(ct, FP_LOG_WARN, "%s: %.*s is a symbolic link; not followed", path, (int)failed,
                path);
    else if (err == EINVAL)
        log_msg(ct, FP_LOG_WARN, "%s: name has a \"..\" component; not installed", path);
    else
        log_msg(ct, FP_LOG_ERR, "mkdir: %.*s: ", (int)failed, path);
}

// The status of what stands at path (not following a link there). Returns
// 0, or -1 with errno (ENOENT: nothing, or its directory is missing).
int lstat_dest(fp_ctxt* ct, const char* path, struct stat* st) {
    const char* leaf;
    size_t failed;
    int dfd = parent_dir(ct, path, &leaf, &failed);
    return dfd >= 0 ? fstatat(dfd, leaf, st, AT_SYMLINK_NOFOLLOW) : -1;
}

// ---- directories ----------------------------------------------------------

// Creates directory `name` in dirfd (an existing one is accepted, a link
// is not) and sets its owner and group when both are known, then its mode
// (-1: 0755). *created tells whether it is new. Returns 0, or -1 after a
// level-3 message naming `shown`.
int make_dir_at(fp_ctxt* ct, int dirfd, const char* name, const char* shown, long mode, long uid,
                long gid, bool* created) {
    *created = mkdirat(dirfd, name, 0700) == 0;
    int made = *created ? 0 : errno;
    if (made != 0 && made != EEXIST && made != EACCES) {
        log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", shown);
        return -1;
    }
    int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Refused, and not there after all: the refusal tells why.
        if (errno == ENOENT && made != 0) errno = made;
        log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", shown);
        return -1;
    }
    const char* failed = nullptr;
    if (uid != -1 && gid != -1 && fchown(fd, (uid_t)uid, (gid_t)gid) != 0)
        failed = "chown: %s: ";
    else if (fchmod(fd, (mode_t)(mode == -1 ? 0755 : mode)) != 0)
        failed = "chmod: %s: ";
    int err = errno;
    close(fd);
    if (failed == nullptr) return 0;
    errno = err;
    log_msg(ct, FP_LOG_ERR, failed, shown);
    return -1;
}

// Creates the missing components of the root path[0..root), each as
// default_dir_mode and the default owners; existing ones are entered as
// named.
int create_root(fp_ctxt* ct, const char* path, size_t root) {
    const fp_keyws* kw = ct->conf;
    char buf[FP_PATH_MAX + 1];
    snprintf(buf, sizeof buf, "%.*s", (int)root, path);
    int parent = open(buf[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; parent >= 0;) {
        while (i < root && buf[i] == '/') i++;
        if (i >= root) break;
        size_t start = i;
        while (i < root && buf[i] != '/') i++;
        char c = buf[i];
        buf[i] = '\0';
        int fd = open(buf, O_PATH | O_DIRECTORY | O_CLOEXEC);
        bool created = false;
        if (fd < 0 && errno == ENOENT) {
            if (make_dir_at(ct, parent, buf + start, buf, kw->default_dir_mode,
                            kw->unix_default_dir_uid, kw->unix_default_dir_gid, &created) != 0) {
                close(parent);
                return -1;
            }
            fd = openat(parent, buf + start, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        int err = errno;
        close(parent);
        if (fd < 0) {
            errno = err;
            log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", buf);
            return -1;
        }
        if (created && ct->conf->rm_extraneous) table_add(ct, &state(ct)->cleared, buf);
        buf[i] = c;
        parent = fd;
    }
    if (parent < 0) {
        log_msg(ct, FP_LOG_ERR, "mkdir: %s: ", buf);
        return -1;
    }
    close(parent);
    return 0;
}

// Creates every missing component of the directory path[0..end) from the
// top (create_dirs is set).
int create_dirs(fp_ctxt* ct, const char* path, size_t end) {
    const fp_keyws* kw = ct->conf;
    log_msg(ct, FP_LOG_INFO, "%.*s: creating directory", (int)end, path);
    size_t root = walk_root(ct, path, end);
    sp_walk w;
    if (sp_begin(&w, path, root) != 0) {
        if (errno != ENOENT) {
            log_msg(ct, FP_LOG_ERR, "mkdir: %.*s: ", (int)root, path);
            return -1;
        }
        if (create_root(ct, path, root) != 0) return -1;
        if (sp_begin(&w, path, root) != 0) {
            log_msg(ct, FP_LOG_ERR, "mkdir: %.*s: ", (int)root, path);
            return -1;
        }
    }
    size_t comp, len, made = (size_t)-1;
    for (;;) {
        int rc = sp_step(&w, path, end, &comp, &len);
        if (rc == 1) break;
        if (rc == 0) continue;
        int err = errno;
        // A component made here that still cannot be entered: someone else
        // is at work in the tree.
        if (err != ENOENT || comp == made) {
            sp_end(&w);
            log_walk_failure(ct, path, comp + len, err);
            return -1;
        }
        char shown[FP_PATH_MAX + 1], name[NAME_MAX + 1];
        snprintf(shown, sizeof shown, "%.*s", (int)(comp + len), path);
        snprintf(name, sizeof name, "%.*s", (int)len, path + comp);
        bool created;
        if (make_dir_at(ct, w.fd, name, shown, kw->default_dir_mode, kw->unix_default_dir_uid,
                        kw->unix_default_dir_gid, &created) != 0) {
            sp_end(&w);
            return -1;
        }
        // New directories hold nothing extraneous.
        if (created && kw->rm_extraneous) table_add(ct, &state(ct)->cleared, shown);
        made = comp;
    }
    sp_end(&w);
    return 0;
}

// ---- backups --------------------------------------------------------------

// Expands backup_fmt for path into out; the position of "%n" (or -1) into
// *npos. A relative result lies in the file's directory, unless it begins
// with that directory already ("%p" first). Returns 0, or -1 after a
// message.
int expand_backup_fmt(fp_ctxt* ct, const char* path, char* out, long* npos) {
    size_t dir_end;
    size_t base = sp_leaf(path, &dir_end);
    char dir[FP_PATH_MAX + 1];
    snprintf(dir, sizeof dir, "%.*s", (int)base, path);
    const char* fmt = ct->conf->backup_fmt;
    bool located = strncmp(fmt, "%p", 2) == 0;
    char exp[FP_PATH_MAX + 1];
    size_t o = 0;
    *npos = -1;
    bool fits = true;
    for (const char* f = fmt; *f != '\0' && fits; f++) {
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
    const char* prefix = exp[0] != '/' && !located ? dir : "";
    int len = snprintf(out, FP_PATH_MAX + 1, "%s%s", prefix, exp);
    if (!fits || len < 0 || len > FP_PATH_MAX - 2) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", path);
        return -1;
    }
    if (*npos >= 0) *npos += (long)strlen(prefix);
    return 0;
}

// Whether nothing stands at path.
bool is_free(fp_ctxt* ct, const char* path) {
    struct stat st;
    return lstat_dest(ct, path, &st) != 0 && errno == ENOENT;
}

// The backup name of path (FP_PATH_MAX + 1 bytes). Returns 0, or -1.
int backup_name(fp_ctxt* ct, const char* path, char* out) {
    char fmt[FP_PATH_MAX + 1];
    long npos;
    if (expand_backup_fmt(ct, path, fmt, &npos) != 0) return -1;
    if (sp_has_dotdot(fmt)) {
        log_msg(ct, FP_LOG_WARN, "%s: backup name has a \"..\" component", fmt);
        return -1;
    }
    if (npos < 0) {
        if (ct->conf->no_overwrite && !is_free(ct, fmt)) {
            log_msg(ct, FP_LOG_WARN, "%s: can't backup. no overwrite", path);
            return -1;
        }
        memcpy(out, fmt, strlen(fmt) + 1);
        return 0;
    }
    for (int i = 1; i <= kBackupMax; i++) {
        snprintf(out, FP_PATH_MAX + 1, "%.*s%d%s", (int)npos, fmt, i, fmt + npos);
        if (is_free(ct, out)) return 0;
    }
    log_msg(ct, FP_LOG_WARN, "%s: no room for backup", path);
    return -1;
}

struct body_src {
    int fd;  // a file on disk, or -1: the node body in the input channel
};

int write_file(fp_ctxt* ct, const char* path, const struct stat* st, body_src src);

// A symbolic link to `target` with the owner and time of `st`.
struct symlink_spec {
    const char* target;
    const struct stat* st;
};

int make_symlink(int dirfd, const char* name, void* arg) {
    const symlink_spec* l = (const symlink_spec*)arg;
    if (symlinkat(l->target, dirfd, name) != 0) return -1;
    if (geteuid() == 0) fchownat(dirfd, name, l->st->st_uid, l->st->st_gid, AT_SYMLINK_NOFOLLOW);
    struct timespec ts[2] = {{0, UTIME_NOW}, {l->st->st_mtime, 0}};
    utimensat(dirfd, name, ts, AT_SYMLINK_NOFOLLOW);
    return 0;
}

// A further name for the entry `leaf` of `dirfd`.
struct link_src {
    int dirfd;
    const char* leaf;
};

int make_hard_link(int dirfd, const char* name, void* arg) {
    const link_src* l = (const link_src*)arg;
    return linkat(l->dirfd, l->leaf, dirfd, name, 0);
}

// Copies the entry `leaf` of srcdir to the backup name (on another file
// system, or one without hard links).
int copy_to_backup(fp_ctxt* ct, int srcdir, const char* leaf, const char* path, const char* backup,
                   const struct stat* old) {
    if (!S_ISLNK(old->st_mode)) {
        int fd = openat(srcdir, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            log_msg(ct, FP_LOG_ERR, "open: %s: ", path);
            return -1;
        }
        int rc = write_file(ct, backup, old, body_src{fd});
        close(fd);
        return rc;
    }
    char target[PATH_MAX];
    ssize_t n = readlinkat(srcdir, leaf, target, sizeof target - 1);
    if (n < 0) {
        log_msg(ct, FP_LOG_ERR, "readlink: %s: ", path);
        return -1;
    }
    target[n] = '\0';
    const char* bleaf;
    size_t failed;
    int bdir = parent_dir(ct, backup, &bleaf, &failed);
    symlink_spec spec = {target, old};
    if (bdir >= 0 && af_replace(bdir, bleaf, make_symlink, &spec) == 0) return 0;
    log_msg(ct, FP_LOG_ERR, "Unable to install symbolic link: %s: ", backup);
    return -1;
}

// Keeps the entry at path under its backup name. The entry stays at its
// own name too: the new one replaces it there in one step, or clearing
// removes it.
int backup_file(fp_ctxt* ct, const char* path, const struct stat* old) {
    if (ct->conf->backup_fmt == nullptr || has(ct, FP_MOD_N) || S_ISDIR(old->st_mode)) return 0;
    const char* leaf;
    size_t failed;
    int dfd = parent_dir(ct, path, &leaf, &failed);
    struct stat target;
    if (dfd >= 0 && S_ISLNK(old->st_mode) && fstatat(dfd, leaf, &target, 0) == 0 &&
        S_ISDIR(target.st_mode))
        return 0;
    char backup[FP_PATH_MAX + 1];
    if (backup_name(ct, path, backup) != 0 || check_path(ct, backup) != 0) return -1;
    int src = own_parent_dir(ct, path, &leaf, &failed);
    if (src < 0) {
        log_walk_failure(ct, path, failed, errno);
        return -1;
    }
    const char* bleaf;
    int bdir = parent_dir(ct, backup, &bleaf, &failed);
    link_src from = {src, leaf};
    int rc = bdir >= 0 ? af_replace(bdir, bleaf, make_hard_link, &from) : -1;
    int err = errno;
    // No further name on another file system, or on one without them: a copy.
    bool copy =
        rc != 0 && bdir >= 0 && (err == EXDEV || err == EPERM || err == EMLINK || err == ENOTSUP);
    if (copy) rc = copy_to_backup(ct, src, leaf, path, backup, old);
    close(src);
    if (rc != 0 && !copy) {
        errno = err;
        log_msg(ct, FP_LOG_ERR, "backup: %s: ", backup);
    }
    if (rc == 0 && tracks_extraneous(ct)) table_add(ct, &state(ct)->placed, backup);
    return rc;
}

// ---- rm_extraneous --------------------------------------------------------

// Names of the entries of directory fd that are not directories and that
// this run did not put in place.
fp_name* extraneous_entries(fp_ctxt* ct, int fd, const char* dir) {
    int rd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = rd >= 0 ? fdopendir(rd) : nullptr;
    if (d == nullptr) {
        if (rd >= 0) close(rd);
        log_msg(ct, FP_LOG_WARN, "%s: opendir: ", dir);
        return nullptr;
    }
    fp_name* list = nullptr;
    for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (e->d_type == DT_DIR) continue;
        char path[FP_PATH_MAX + 1];
        int n = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        if (n < 0 || n > FP_PATH_MAX || table_has(&state(ct)->placed, path)) continue;
        fp_name* ent = (fp_name*)calloc(1, sizeof *ent);
        if (ent == nullptr || (ent->name = strdup(e->d_name)) == nullptr) {
            free(ent);
            break;
        }
        ent->next = list;
        list = ent;
    }
    closedir(d);
    return list;
}

// Backs up and removes every entry of dir that is not a directory and is
// not the block's. The names are read first, so that backups made in dir
// are not met again.
void clear_directory(fp_ctxt* ct, const char* dir) {
    size_t failed;
    int fd = open_dest_dir(ct, dir, strlen(dir), &failed);
    if (fd < 0) {
        if (errno == ELOOP)
            log_walk_failure(ct, dir, failed, errno);
        else
            log_msg(ct, FP_LOG_WARN, "%s: opendir: ", dir);
        return;
    }
    // A descriptor of its own: backups walk too.
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    fp_name* list = fd >= 0 ? extraneous_entries(ct, fd, dir) : nullptr;
    for (fp_name* e = list; e != nullptr; e = e->next) {
        char path[FP_PATH_MAX + 1];
        snprintf(path, sizeof path, "%s/%s", dir, e->name);
        struct stat st;
        if (fstatat(fd, e->name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) continue;
        if (backup_file(ct, path, &st) != 0) break;
        if (unlinkat(fd, e->name, 0) != 0 && errno != ENOENT)
            log_msg(ct, FP_LOG_ERR, "unlink: %s: ", path);
    }
    free_entries(list);
    if (fd >= 0) close(fd);
}

// The directory of a node that is or stays in place, and a directory
// node itself, are cleared at the end of the package (unless this run made
// or cleared them).
void mark_for_clearing(fp_ctxt* ct, const char* path, bool is_dir) {
    fp_unpack* s = state(ct);
    size_t end;
    sp_leaf(path, &end);
    char dir[FP_PATH_MAX + 1];
    snprintf(dir, sizeof dir, "%.*s", (int)end, path);
    const char* dirs[] = {end > 0 ? dir : nullptr, is_dir ? path : nullptr};
    for (const char* d : dirs)
        if (d != nullptr && !table_has(&s->cleared, d)) table_add(ct, &s->to_clear, d);
}

// At the end of a package: clears the directories that its nodes went
// into, each once in the run. Everything the block put in place is known
// by then, so nothing of it is removed as extraneous.
void clear_extraneous(fp_ctxt* ct) {
    fp_unpack* s = state(ct);
    name_table* t = &s->to_clear;
    if (t->count == 0) return;
    for (unsigned i = 0; i < kBuckets; i++) {
        fp_name* list = t->b[i];
        t->b[i] = nullptr;
        for (fp_name* e = list; e != nullptr; e = e->next) {
            if (table_has(&s->cleared, e->name)) continue;
            table_add(ct, &s->cleared, e->name);
            clear_directory(ct, e->name);
        }
        free_entries(list);
    }
    t->count = 0;
}

// ---- regular files --------------------------------------------------------

// Copies the body into fd. Returns 0, or the failure of write_all.
int copy_body(fp_ctxt* ct, int fd, long long size, body_src src) {
    // What the kernel does not move from a plain block file is copied here,
    // where a failure shows on which side it lies.
    if (src.fd < 0) size -= ioch_send(ct->ip, fd, (long)size);
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

enum { ATTR_OK, ATTR_OWNER, ATTR_MODE, ATTR_TIME };

// Owner first (changing it clears setuid bits), then the mode, then times.
// The owner is left alone when the file has it already: it was made by this
// process, in a directory that gives it our group (`own_group`). Returns
// ATTR_OK, or the step that failed (errno set).
int set_attributes(int fd, const struct stat* st, bool own_group) {
    static const uid_t euid = geteuid();
    static const gid_t egid = getegid();
    if ((st->st_uid != euid || st->st_gid != egid || !own_group) &&
        fchown(fd, st->st_uid, st->st_gid) != 0)
        return ATTR_OWNER;
    if (fchmod(fd, st->st_mode & 07777) != 0) return ATTR_MODE;
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_NOW;
    ts[1].tv_sec = st->st_mtime;
    ts[1].tv_nsec = 0;
    return futimens(fd, ts) == 0 ? ATTR_OK : ATTR_TIME;
}

void log_attr_failure(fp_ctxt* ct, int step, const char* path, const struct stat* st) {
    if (step == ATTR_OWNER)
        log_msg(ct, FP_LOG_ERR, "fchown failed: %s (uid %d, gid %d): ", path, (int)st->st_uid,
                (int)st->st_gid);
    else if (step == ATTR_MODE)
        log_msg(ct, FP_LOG_ERR, "fchmod failed: %s: ", path);
    else
        log_msg(ct, FP_LOG_ERR, "utime: %s: ", path);
}

// Forgets the file being written; a named temporary is removed.
void end_partial(fp_ctxt* ct) {
    af_discard(&state(ct)->file);
    free(ct->partial_path);
    ct->partial_path = nullptr;
}

// A named temporary is removed by the fatal path too (an unnamed one
// vanishes with its descriptor).
void note_partial(fp_ctxt* ct, const char* path) {
    const af_file* f = &state(ct)->file;
    if (f->tmp[0] == '\0') return;
    size_t dir_end;
    size_t base = sp_leaf(path, &dir_end);
    char full[FP_PATH_MAX + NAME_MAX + 2];
    snprintf(full, sizeof full, "%.*s%s", (int)base, path, f->tmp);
    ct->partial_path = strdup(full);
    if (ct->partial_path == nullptr) {
        end_partial(ct);
        log_msg(ct, FP_LOG_FATAL, "out of memory: %s", path);
    }
}

// Writes the new file complete, with its owner, mode and times, where no
// name shows it, then puts it in place of the old one in one step. On any
// failure the old file stays as it was.
int write_file(fp_ctxt* ct, const char* path, const struct stat* st, body_src src) {
    fp_unpack* s = state(ct);
    const char* leaf;
    size_t failed;
    // The directory stays open (in the cache) until the file is committed:
    // nothing walks in between.
    size_t dir_end;
    leaf = path + sp_leaf(path, &dir_end);
    const dir_slot* dir = dest_dir(ct, path, dir_end, &failed);
    if (dir == nullptr) {
        log_walk_failure(ct, path, failed, errno);
    } else if (af_create(&s->file, dir->fd, leaf) != 0) {
        log_msg(ct, FP_LOG_ERR, "Unable to open file: %s: ", path);
    } else {
        note_partial(ct, path);
        int rc = copy_body(ct, s->file.fd, (long long)st->st_size, src);
        if (rc != 0) {
            end_partial(ct);
            if (rc > 0) {
                errno = rc;
                log_msg(ct, FP_LOG_ERR, "Unable to write file: %s: ", path);
            } else {
                log_msg(ct, FP_LOG_WARN, "%s: short write; filesystem full?", path);
            }
            log_msg(ct, FP_LOG_FATAL, "bad file write.");
        }
        int step = set_attributes(s->file.fd, st, !dir->setgid);
        int err = errno;
        bool placed = step == ATTR_OK && af_commit(&s->file, leaf) == 0;
        if (step == ATTR_OK) err = errno;
        end_partial(ct);
        if (placed) {
            if (tracks_extraneous(ct)) table_add(ct, &s->placed, path);
            return 0;
        }
        errno = err;
        if (step != ATTR_OK)
            log_attr_failure(ct, step, path, st);
        else if (err == EISDIR)
            log_msg(ct, FP_LOG_WARN, "cannot install: %s: is a dir", path);
        else
            log_msg(ct, FP_LOG_ERR, "Unable to write file: %s: ", path);
        log_msg(ct, FP_LOG_WARN, "Unable to install file %s", path);
        return -1;
    }
    if (src.fd < 0) skip_node(ct, st);
    return -1;
}

// ---- other node types -----------------------------------------------------

// Whether an existing entry gives way to the node: not with no_overwrite,
// unless it was backed up.
bool replaces(const fp_ctxt* ct) {
    return !ct->conf->no_overwrite || ct->conf->backup_fmt != nullptr;
}

// Puts an entry made by make at path. Returns 0, or -1 with errno.
int place_entry(fp_ctxt* ct, const char* path, int (*make)(int, const char*, void*), void* arg) {
    const char* leaf;
    size_t failed;
    int dfd = parent_dir(ct, path, &leaf, &failed);
    if (dfd < 0) return -1;
    return replaces(ct) ? af_replace(dfd, leaf, make, arg) : make(dfd, leaf, arg);
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
    symlink_spec spec = {target, st};
    if (place_entry(ct, path, make_symlink, &spec) != 0) {
        log_msg(ct, FP_LOG_ERR, "Unable to install symbolic link: %s: ", path);
        return;
    }
    if (tracks_extraneous(ct)) table_add(ct, &state(ct)->placed, path);
}

// A further name of a file installed before: a hard link to it, or a
// symbolic link when the two lie on different file systems.
void install_hard_link(fp_ctxt* ct, const char* first, const char* path, const struct stat* st) {
    link_src from;
    size_t failed;
    from.dirfd = own_parent_dir(ct, first, &from.leaf, &failed);
    int err = 0;
    if (from.dirfd < 0 || place_entry(ct, path, make_hard_link, &from) != 0) err = errno;
    if (from.dirfd >= 0) close(from.dirfd);
    if (err == EXDEV) {
        log_msg(ct, FP_LOG_INFO, "link: %s: changed hard link to symbolic link", path);
        symlink_spec spec = {first, st};
        err = place_entry(ct, path, make_symlink, &spec) == 0 ? 0 : errno;
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
    const char* leaf;
    size_t failed;
    int dfd = parent_dir(ct, path, &leaf, &failed);
    if (dfd < 0) {
        log_walk_failure(ct, path, failed, errno);
        return;
    }
    struct stat old;
    if (fstatat(dfd, leaf, &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(old.st_mode)) {
        // The block's directory takes the link's place, as tar's does: the
        // link is never followed.
        if (unlinkat(dfd, leaf, 0) != 0) {
            log_msg(ct, FP_LOG_ERR, "unlink: %s: ", path);
            return;
        }
        log_msg(ct, FP_LOG_INFO, "%s: symbolic link replaced by a directory", path);
    }
    bool created;
    if (make_dir_at(ct, dfd, leaf, path, st->st_mode & 07777, st->st_uid, st->st_gid, &created) !=
        0)
        return;
    dir_cache_forget(ct, path);
    fp_unpack* s = state(ct);
    if (created && tracks_extraneous(ct)) table_add(ct, &s->cleared, path);
    // Its time is set after its contents are written, which change it.
    fp_name* e = new_entry(ct, path);
    e->mtime = st->st_mtime;
    e->next = s->dir_times;
    s->dir_times = e;
}

void set_dir_times(fp_ctxt* ct) {
    fp_unpack* s = state(ct);
    for (fp_name* e = s->dir_times; e != nullptr; e = e->next) {
        const char* leaf;
        size_t failed;
        int dfd = parent_dir(ct, e->name, &leaf, &failed);
        int fd = dfd >= 0 ? openat(dfd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        struct timespec ts[2] = {{0, UTIME_NOW}, {e->mtime, 0}};
        int rc = fd >= 0 ? futimens(fd, ts) : -1;
        int err = errno;
        if (fd >= 0) close(fd);
        if (rc != 0) {
            errno = err;
            log_msg(ct, FP_LOG_ERR, "utime: %s: ", e->name);
        }
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

// The checksum of what stands at path (a file's contents, a link's text),
// as a node header carries it; -1 after a message when it cannot be read.
long disk_cksum(fp_ctxt* ct, const char* path, const struct stat* old) {
    const char* leaf;
    size_t failed;
    int dfd = parent_dir(ct, path, &leaf, &failed);
    unsigned char digest[CKSUM_DIGEST_LEN];
    if (S_ISLNK(old->st_mode)) {
        char target[PATH_MAX];
        ssize_t n = dfd >= 0 ? readlinkat(dfd, leaf, target, sizeof target) : -1;
        if (n < 0) {
            log_msg(ct, FP_LOG_ERR, "readlink: %s: ", path);
            return -1;
        }
        cksum_md5 md;
        cksum_md5_init(&md);
        cksum_md5_update(&md, target, (size_t)n);
        cksum_md5_final(&md, digest);
        return (long)cksum_word(digest);
    }
    // Not blocking on a pipe that took the file's place meanwhile.
    int fd = dfd >= 0 ? openat(dfd, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    if (fd < 0) {
        log_msg(ct, FP_LOG_ERR, "open: %s: ", path);
        return -1;
    }
    int rc = md5file_fd(fd, digest);
    int err = errno;
    close(fd);
    if (rc != 0) {
        errno = err;
        log_msg(ct, FP_LOG_ERR, "read: %s: ", path);
        return -1;
    }
    return (long)cksum_word(digest);
}

// The o modifier: whether the file on disk already holds this node.
bool same_on_disk(fp_ctxt* ct, const char* path, const struct stat* st, const struct stat* old) {
    if (!node_is_identical(ct, st, old)) return false;
    if (ct->node_check == 0) return true;
    long ck = disk_cksum(ct, path, old);
    return ck <= 0 || (unsigned long)ck == ct->node_check;
}

// A node that is skipped while its file stays on disk: further hard links
// to it link to that file.
void keep_existing(fp_ctxt* ct, const char* path, const struct stat* st) {
    if (S_ISREG(st->st_mode) && st->st_nlink > 1) id_add(ct, &state(ct)->links, st, path);
}

// Returns 0 when the node may go to the callback; 1 to skip it while the
// entry on disk stays as the node's, -1 to skip it after a failure. Only an
// install changes the disk here (directories, backups): the other
// operations look without touching.
int pre_install_checks(fp_ctxt* ct, const char* path, const struct stat* st) {
    if (has(ct, FP_MOD_NOCHECK)) return 0;
    bool writes = ct->ptype == FP_OP_INSTALL;
    const fp_keyws* kw = ct->conf;
    // Without these the entry on disk changes nothing: no look at it.
    bool looks = kw->no_overwrite || kw->skip_older_src ||
                 (has(ct, FP_MOD_O) && !has(ct, FP_MOD_A)) || (writes && kw->backup_fmt != nullptr);
    if (!looks) return writes ? check_path(ct, path) : 0;
    struct stat old;
    if (lstat_dest(ct, path, &old) != 0) return writes ? check_path(ct, path) : 0;
    if (kw->no_overwrite && kw->backup_fmt == nullptr) {
        log_msg(ct, FP_LOG_WARN, "%s: skipped. no overwrite", path);
        keep_existing(ct, path, st);
        return 1;
    }
    if (kw->skip_older_src && st->st_mtime < old.st_mtime) {
        log_msg(ct, FP_LOG_INFO, "%s: skipped. older source", path);
        keep_existing(ct, path, st);
        return 1;
    }
    if (has(ct, FP_MOD_O) && !has(ct, FP_MOD_A) && same_on_disk(ct, path, st, &old)) {
        keep_existing(ct, path, st);
        return 1;
    }
    if (!writes) return 0;
    if (backup_file(ct, path, &old) != 0) return -1;
    return check_path(ct, path);
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

// Removes the directory at path; 0, or -1 with errno.
int remove_dir(fp_ctxt* ct, const char* path) {
    const char* leaf;
    size_t failed;
    int dfd = parent_dir(ct, path, &leaf, &failed);
    if (dfd < 0 || unlinkat(dfd, leaf, AT_REMOVEDIR) != 0) return -1;
    // A descriptor kept of it would lead into a removed directory.
    dir_cache_forget_tree(ct, path);
    return 0;
}

void remove_parents(fp_ctxt* ct, const char* dir, const char* root) {
    char buf[FP_PATH_MAX + 1];
    snprintf(buf, sizeof buf, "%s", dir);
    for (char* p = strrchr(buf, '/'); p != nullptr && p != buf; p = strrchr(buf, '/')) {
        *p = '\0';
        if (!below_root(buf, root) || remove_dir(ct, buf) != 0) return;
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
        if (remove_dir(ct, names[i]) != 0) {
            if (errno != ENOENT)
                log_msg(ct, FP_LOG_NOTE, "uninstall: not removing directory %s: ", names[i]);
            continue;
        }
        if (ct->conf->rm_empty_dirs) remove_parents(ct, names[i], root);
    }
    free(names);
    table_free(t);
}

void remember_parent(fp_ctxt* ct, const char* path) {
    size_t dir_end;
    sp_leaf(path, &dir_end);
    if (dir_end == 0) return;
    char dir[FP_PATH_MAX + 1];
    snprintf(dir, sizeof dir, "%.*s", (int)dir_end, path);
    table_add(ct, &state(ct)->dirs, dir);
}

// Removes the entry at path (not a directory), never through a link.
void remove_entry(fp_ctxt* ct, const char* path) {
    const char* leaf;
    size_t failed;
    int dfd = parent_dir(ct, path, &leaf, &failed);
    if (dfd >= 0 && unlinkat(dfd, leaf, 0) == 0) {
        if (ct->conf->rm_empty_dirs) remember_parent(ct, path);
        return;
    }
    int err = errno;
    if (err == ENOENT)
        log_msg(ct, FP_LOG_INFO, "uninstall: %s: Not found", path);
    else if (dfd < 0 && err == ELOOP)
        log_msg(ct, FP_LOG_WARN, "uninstall: %s: %.*s is a symbolic link; not followed", path,
                (int)failed, path);
    else
        log_msg(ct, FP_LOG_ERR, "uninstall: %s: ", path);
}

// ---- the stream -----------------------------------------------------------

void handle_node(fp_ctxt* ct, const char* name, struct stat* st) {
    if (is_repack(ct->ptype)) {
        ct->fn(ct, FP_EV_NODE, name, st, nullptr);
        return;
    }
    bool disk = touches_disk(ct->ptype);
    if (disk && sp_has_dotdot(name)) {
        log_msg(ct, FP_LOG_WARN, "%s: name has a \"..\" component; not installed", name);
        skip_node(ct, st);
        return;
    }
    char path[FP_PATH_MAX + 1];
    if (unpack_dest_name(ct, name, path) != 0) {
        skip_node(ct, st);
        return;
    }
    bool tracks = tracks_extraneous(ct);
    // Whatever becomes of the node, its name is the block's.
    if (tracks) table_add(ct, &state(ct)->placed, path);
    int rc = pre_install_checks(ct, path, st);
    if (tracks && rc >= 0) mark_for_clearing(ct, path, S_ISDIR(st->st_mode));
    if (rc != 0) {
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

// The list file "<list_path>/<name>.log": made anew (replacing the old
// one in one step) the first time this run meets it, appended to
// afterwards; never through a link at its name.
void open_list_file(fp_ctxt* ct) {
    const char* dir = ct->conf->list_path;
    if (dir == nullptr || dir[0] == '\0' || !fp_changes_disk(ct)) return;
    const char* pkg = ct->name != nullptr ? ct->name : "-";
    if (pkg[0] == '\0' || strchr(pkg, '/') != nullptr || strcmp(pkg, ".") == 0 ||
        strcmp(pkg, "..") == 0) {
        log_msg(ct, FP_LOG_WARN, "%s: package name is no file name; no list file", pkg);
        return;
    }
    char path[FP_PATH_MAX + 1];
    int n = snprintf(path, sizeof path, "%s/%s.log", dir, pkg);
    if (n < 0 || n > FP_PATH_MAX) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", dir);
        return;
    }
    bool again = list_file_seen(ct, path);
    const char* cont = again ? " (continued)" : "";
    int fd = -1;
    const char* leaf;
    size_t failed;
    int dfd = check_path(ct, path) == 0 ? parent_dir(ct, path, &leaf, &failed) : -1;
    struct stat st;
    if (dfd >= 0 && again) {
        fd = openat(dfd, leaf, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(fd);
            fd = -1;
            errno = EINVAL;
        }
    } else if (dfd >= 0) {
        af_file f;
        if (af_create(&f, dfd, leaf) == 0) {
            if (fchmod(f.fd, 0644) == 0) fd = fcntl(f.fd, F_DUPFD_CLOEXEC, 0);
            if (fd >= 0 && af_commit(&f, leaf) != 0) {
                close(fd);
                fd = -1;
            }
            af_discard(&f);
        }
    }
    FILE* file = fd >= 0 ? fdopen(fd, again ? "a" : "w") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) close(fd);
        log_msg(ct, FP_LOG_ERR, "Unable to write to list file%s: %s:", cont, path);
        return;
    }
    if (!again) remember_list_file(ct, path);
    if (tracks_extraneous(ct)) table_add(ct, &state(ct)->placed, path);
    state(ct)->list = file;
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

// One package; false when the stream ends with it (the operation is
// complete, or the package ended before its trailer).
bool unpack_one(fp_ctxt* ct) {
    struct stat st;
    char name[FP_NAME_MAX + 1];
    // Each package brings its own keywords, and with them its own roots.
    dir_cache_drop(ct);
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

// A file with further names: its body travels once, with the first of
// them, and the others are nodes of size 0.
bool is_linked_file(const struct stat* st) {
    return S_ISREG(st->st_mode) && st->st_nlink > 1;
}

// An unselected node carrying the body of a linked file: a selected further
// name needs that body, so it is kept aside (only its size and checksum
// for a copy without bodies).
void keep_carrier(fp_ctxt* ct, const struct stat* st, bool bodies) {
    fp_unpack* s = state(ct);
    if (id_find(&s->carriers, st) != nullptr) {
        skip_node(ct, st);
        return;
    }
    fp_name* e = id_add(ct, &s->carriers, st, "");
    e->size = (long long)st->st_size;
    e->check = ct->node_check;
    if (!bodies) {
        skip_node(ct, st);
        return;
    }
    if (s->spill == nullptr) s->spill = tmpfile();
    int err = s->spill == nullptr ? errno : 0;
    for (long long done = 0; done < e->size;) {
        long want = e->size - done < FP_BUFSIZE ? (long)(e->size - done) : FP_BUFSIZE;
        read_body(ct, ct->buffer, want);
        if (err == 0 && pwrite(fileno(s->spill), ct->buffer, (size_t)want,
                               (off_t)(s->spill_size + done)) != want)
            err = errno != 0 ? errno : ENOSPC;
        done += want;
    }
    if (err != 0) {
        errno = err;
        log_msg(ct, FP_LOG_ERR, "repack: cannot keep the body of a hard link: ");
        return;
    }
    e->off = s->spill_size;
    s->spill_size += e->size;
}

// Copies n bytes of the spill file from off into the new block.
void put_spilled(fp_ctxt* ct, long long off, long long n) {
    int fd = fileno(ct->unpack->spill);
    for (long long done = 0; done < n;) {
        long want = n - done < FP_BUFSIZE ? (long)(n - done) : FP_BUFSIZE;
        if (pread(fd, ct->buffer, (size_t)want, (off_t)(off + done)) != want)
            log_msg(ct, FP_LOG_FATAL, "repack: cannot read back the body of a hard link");
        fp_out_write(ct, ct->buffer, want);
        done += want;
    }
}

void repack_node(fp_ctxt* ct, const char* name, const struct stat* st, bool hdrs) {
    bool bodies = !hdrs && !has(ct, FP_MOD_H);
    fp_unpack* s = state(ct);
    if (!node_selected(ct)) {
        if (is_linked_file(st) && st->st_size > 0)
            keep_carrier(ct, st, bodies);
        else
            skip_node(ct, st);
        return;
    }
    fp_name* c = is_linked_file(st) ? id_find(&s->carriers, st) : nullptr;
    // The first selected name of a file whose body went under an unselected
    // one takes the body.
    bool takes_body = c != nullptr && !c->emitted && st->st_size == 0 && c->size > 0;
    long size = takes_body ? (long)c->size : (long)st->st_size;
    unsigned long check = takes_body ? c->check : ct->node_check;
    long saved = ct->node_count;
    int rc = putheader(ct, name, st, check, size);
    ct->node_count = saved;
    if (rc != 0) {
        log_msg(ct, FP_LOG_WARN, "%s: name too long", name);
        skip_node(ct, st);
        return;
    }
    if (is_linked_file(st) && size > 0) id_add(ct, &s->carriers, st, "")->emitted = true;
    if (takes_body) {
        if (bodies && c->off >= 0) put_spilled(ct, c->off, c->size);
        return;
    }
    if (!bodies) {
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
    end_partial(ct);  // left by an earlier operation that failed
    ct->node_count = 0;
    if (decode_header(ct) != 0) log_msg(ct, FP_LOG_FATAL, "unpack: bad header");
    local_name(ct);
    bool more = unpack_one(ct);
    while (more && rephase(ct)) {
        ct->nest_level++;
        more = unpack_one(ct);
    }
    dir_cache_drop(ct);
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

int check_path(fp_ctxt* ct, const char* path) {
    if (has(ct, FP_MOD_N)) return 0;
    size_t end;
    sp_leaf(path, &end);
    if (end == 0) return 0;  // the current directory
    size_t failed;
    if (open_dest_dir(ct, path, end, &failed) < 0) {
        int err = errno;
        if (err != ENOENT) {
            log_walk_failure(ct, path, failed, err);
            return -1;
        }
        if (!ct->conf->create_dirs) {
            log_msg(ct, FP_LOG_WARN, "create dir disallowed: %.*s: ", (int)end, path);
            return -1;
        }
        if (create_dirs(ct, path, end) != 0) return -1;
    }
    return 0;
}

int unpack_dest_name(fp_ctxt* ct, const char* name, char* out) {
    fp_unpack* s = state(ct);
    if (name[0] == '/' && !is_repack(ct->ptype) && !s->told_absolute) {
        s->told_absolute = true;
        log_msg(ct, FP_LOG_INFO, "%s: leading \"/\" removed from node names", name);
    }
    if (join_dest(ct, name, out) == 0) return 0;
    log_msg(ct, FP_LOG_WARN, "%s: path too long", name);
    return -1;
}

int install_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec*) {
    if (event == FP_EV_END && !has(ct, FP_MOD_N)) {
        clear_extraneous(ct);
        set_dir_times(ct);
    }
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
                id_add(ct, &s->links, st, name);
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
    if (S_ISDIR(st->st_mode))
        table_add(ct, &state(ct)->dirs, name);
    else
        remove_entry(ct, name);
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
    // A mask exists even when it selects nothing, so that a second pass
    // limited by it lists or repacks nothing rather than everything.
    if (event == FP_EV_START) grow_mask(ct, kMaskStep);
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
    af_discard(&s->file);
    dir_cache_drop(ct);
    if (s->spill != nullptr) fclose(s->spill);
    table_free(&s->links);
    table_free(&s->dirs);
    table_free(&s->cleared);
    table_free(&s->to_clear);
    table_free(&s->placed);
    table_free(&s->carriers);
    free_entries(s->dir_times);
    free(s);
    ct->unpack = nullptr;
}
