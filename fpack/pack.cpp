// Packing: the file-list walk and the packing-side node callbacks.
#include "pack.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cntl_files.h"
#include "fppack.h"
#include "io_chan.h"
#include "keyw.h"
#include "log_msg.h"
#include "unpack.h"
#include "zug.h"

namespace {

// Buckets of the hard-link table, keyed by inode.
const int kLinkBuckets = 23;
// Bytes of missing names kept for the final message (which is cut anyway).
const size_t kMissingMax = 4096;
// Bodies from this size on go to a plain output inside the kernel: below
// it, gathering them with their neighbours into whole records costs less
// than the calls.
const long long kSendMin = 65536;

struct fp_link {
    dev_t dev;
    ino_t ino;
    fp_link* next;
};

// Buckets of the link identities, by source identity and by identity on
// the wire (a power of two).
const unsigned kIdBuckets = 256;
// Identities given when the file's own number is taken, counting down
// from the top, far from the inode numbers of most file systems.
const uint32_t kFirstSpareId = 0xffffffffu;

// The identity that a file with more links travels under.
struct fp_link_id {
    dev_t dev;  // source device and inode, all bits
    ino_t ino;
    uint64_t wire_dev;  // the device as the node header carries it
    uint32_t wire_ino;  // the node header's inode field
    fp_link_id* next_src;
    fp_link_id* next_wire;
};

void (*body_hook)(const char* path) = nullptr;

}  // namespace

// Identities on the wire of the files with more links. The node header's
// inode field has 32 bits, and an unpacker links nodes by (device, inode)
// as the headers say; so a file keeps the low 32 bits of its inode number
// unless another file of the stream already travels under them, and gets
// a spare number then. One table per stream: nested packages share it.
struct fp_link_ids {
    fp_link_id* by_src[kIdBuckets];
    fp_link_id* by_wire[kIdBuckets];
    uint32_t next_spare;
    int refs;
};

// Everything the walk holds that a fatal error must not leak.
struct fp_walk {
    fp_link_ids* ids;  // shared with nested packages
    fp_link* links[kLinkBuckets];
    DIR* dirs[FP_MAX_DEPTH];  // open directory per depth
    // Identity of the directory open at each depth: the directories seen
    // on the way down, where a followed link that leads back is a loop.
    dev_t dir_dev[FP_MAX_DEPTH];
    ino_t dir_ino[FP_MAX_DEPTH];
    int body_fd;    // file whose body is being copied, or -1
    char* missing;  // "\n\t"-separated names not found
    size_t missing_len;
};

namespace {

fp_walk* new_walk() {
    fp_walk* w = (fp_walk*)calloc(1, sizeof(fp_walk));
    if (w != nullptr) w->body_fd = -1;
    return w;
}

fp_link_ids* new_link_ids() {
    fp_link_ids* t = (fp_link_ids*)calloc(1, sizeof(fp_link_ids));
    if (t == nullptr) return nullptr;
    t->next_spare = kFirstSpareId;
    t->refs = 1;
    return t;
}

fp_walk* get_walk(fp_ctxt* ct) {
    if (ct->walk == nullptr && (ct->walk = new_walk()) == nullptr)
        log_msg(ct, FP_LOG_FATAL, "out of memory: link table");
    return ct->walk;
}

// ---- hard links -----------------------------------------------------------

bool link_seen(fp_ctxt* ct, const struct stat* st) {
    for (fp_link* l = get_walk(ct)->links[st->st_ino % kLinkBuckets]; l != nullptr; l = l->next)
        if (l->dev == st->st_dev && l->ino == st->st_ino) return true;
    return false;
}

void link_add(fp_ctxt* ct, const struct stat* st) {
    fp_walk* w = get_walk(ct);
    fp_link* l = (fp_link*)malloc(sizeof *l);
    if (l == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: link table");
    l->dev = st->st_dev;
    l->ino = st->st_ino;
    fp_link** head = &w->links[st->st_ino % kLinkBuckets];
    l->next = *head;
    *head = l;
}

uint64_t header_dev(dev_t dev) {
    return ((uint64_t)(dev >> 8) & 0xffffffffu) << 8 | (dev & 0xff);
}

unsigned bucket_of(uint64_t dev, uint64_t ino) {
    return (unsigned)((ino * 2654435761u) ^ dev) & (kIdBuckets - 1);
}

fp_link_ids* link_ids(fp_ctxt* ct) {
    fp_walk* w = get_walk(ct);
    if (w->ids == nullptr && (w->ids = new_link_ids()) == nullptr)
        log_msg(ct, FP_LOG_FATAL, "out of memory: link table");
    return w->ids;
}

bool wire_taken(const fp_link_ids* t, uint64_t dev, uint32_t ino) {
    for (const fp_link_id* e = t->by_wire[bucket_of(dev, ino)]; e != nullptr; e = e->next_wire)
        if (e->wire_dev == dev && e->wire_ino == ino) return true;
    return false;
}

// The inode field for a file with more links (see fp_link_ids).
uint32_t link_wire_ino(fp_ctxt* ct, const struct stat* st) {
    fp_link_ids* t = link_ids(ct);
    unsigned b = bucket_of(st->st_dev, st->st_ino);
    for (const fp_link_id* e = t->by_src[b]; e != nullptr; e = e->next_src)
        if (e->dev == st->st_dev && e->ino == st->st_ino) return e->wire_ino;
    uint64_t dev = header_dev(st->st_dev);
    uint32_t ino = (uint32_t)st->st_ino;
    while (wire_taken(t, dev, ino)) ino = t->next_spare--;
    fp_link_id* e = (fp_link_id*)malloc(sizeof *e);
    if (e == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: link table");
    *e = fp_link_id{st->st_dev, st->st_ino, dev, ino, t->by_src[b], nullptr};
    t->by_src[b] = e;
    fp_link_id** w = &t->by_wire[bucket_of(dev, ino)];
    e->next_wire = *w;
    *w = e;
    return ino;
}

void free_link_ids(fp_link_ids* t) {
    if (t == nullptr || --t->refs > 0) return;
    for (unsigned i = 0; i < kIdBuckets; i++) {
        while (t->by_src[i] != nullptr) {
            fp_link_id* next = t->by_src[i]->next_src;
            free(t->by_src[i]);
            t->by_src[i] = next;
        }
    }
    free(t);
}

// True for a regular file with more links whose body was already counted
// or written; otherwise remembers it (when it has more links).
bool link_repeat(fp_ctxt* ct, const struct stat* st) {
    if (!S_ISREG(st->st_mode) || st->st_nlink < 2) return false;
    if (link_seen(ct, st)) return true;
    link_add(ct, st);
    return false;
}

// ---- names ----------------------------------------------------------------

bool is_relative(const char* path) {
    return path[0] != '/' && path[0] != '\\' && !(path[0] != '\0' && path[1] == ':');
}

// The path the file system is asked for: relative names go under the
// relative-path buffer. False when it does not fit.
bool source_path(const fp_ctxt* ct, const char* name, char* out) {
    const char* prefix = is_relative(name) ? ct->relpath : "";
    size_t plen = strlen(prefix), nlen = strlen(name);
    out[0] = '\0';
    if (plen + nlen > FP_PATH_MAX) return false;
    memcpy(out, prefix, plen);
    memcpy(out + plen, name, nlen + 1);
    return true;
}

// Offset of the last component of a path, trailing slashes ignored; its
// length goes to *len.
size_t last_component(const char* path, size_t* len) {
    size_t end = strlen(path);
    while (end > 1 && path[end - 1] == '/') end--;
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') start--;
    *len = end - start;
    return start;
}

const char* skip_drive_and_slashes(const char* p) {
    if (isalpha((unsigned char)p[0]) && p[1] == ':') p += 2;
    while (*p == '/') p++;
    return p;
}

// dest = base, "/" and part (no separator when either is empty or base
// already ends with one). False when it does not fit.
bool join_dest(char* dest, const char* base, const char* part, size_t part_len) {
    size_t blen = strlen(base);
    const char* sep = blen > 0 && part_len > 0 && base[blen - 1] != '/' ? "/" : "";
    int n = snprintf(dest, FP_PATH_MAX + 1, "%s%s%.*s", base, sep, (int)part_len, part);
    return n >= 0 && n <= FP_PATH_MAX;
}

// The part of the source name that goes after the destination base.
const char* dest_part(const fp_ctxt* ct, const char* name, const fp_frec* rec, size_t* len) {
    if (ct->conf->keep_paths && rec->dest == nullptr) {
        const char* p = skip_drive_and_slashes(name);
        *len = strlen(p);
        return p;
    }
    const char* part;
    if (ct->depth == 0) {
        part = name + last_component(name, len);
    } else {
        // A descended name keeps the record path's last component and all
        // below it.
        size_t clen;
        part = name + last_component(rec->path, &clen);
        *len = strlen(part);
    }
    if (*len == 1 && part[0] == '.') *len = 0;
    return part;
}

// Replaces the permission bits when `mode` is set (not -1).
void apply_mode(struct stat* st, long mode) {
    if (mode != -1) st->st_mode = (st->st_mode & ~(mode_t)07777) | (mode_t)(mode & 07777);
}

// ---- the walk -------------------------------------------------------------

bool is_excluded(const fp_ctxt* ct, const char* path) {
    const char* slash = strrchr(path, '/');
    const char* base = slash != nullptr ? slash + 1 : path;
    for (const fp_strlist* e = ct->excludes; e != nullptr; e = e->next)
        if (strcmp(base, e->str) == 0 || fp_match(e->str, path)) return true;
    return false;
}

int lookup(const fp_ctxt* ct, const char* path, struct stat* st) {
    return ct->conf->follow_links ? stat(path, st) : lstat(path, st);
}

bool is_size_op(int ptype) {
    return ptype == FP_OP_SIZE || ptype == FP_OP_PC_SIZE;
}

void add_missing(fp_ctxt* ct, const char* name) {
    fp_walk* w = get_walk(ct);
    size_t add = strlen(name) + 2;
    if (w->missing_len + add > kMissingMax) return;
    char* m = (char*)realloc(w->missing, w->missing_len + add + 1);
    if (m == nullptr) log_msg(ct, FP_LOG_FATAL, "out of memory: file list");
    w->missing = m;
    snprintf(m + w->missing_len, add + 1, "\n\t%s", name);
    w->missing_len += add;
}

// Inserts `entry` in front of the last n components of `path`; n of 0, or
// more than the path has, puts it in front of the whole path. False when
// the result does not fit.
bool insert_alternate(const char* path, const char* entry, long n, char* out) {
    size_t pos = 0;
    if (n > 0) {
        pos = strlen(path);
        while (pos > 0 && path[pos - 1] == '/') pos--;
        for (long i = 0; i < n && pos > 0; i++) {
            if (i > 0) pos--;
            while (pos > 0 && path[pos - 1] != '/') pos--;
        }
    }
    int len = snprintf(out, FP_PATH_MAX + 1, "%.*s%s/%s", (int)pos, path, entry, path + pos);
    return len >= 0 && len <= FP_PATH_MAX;
}

// A record's missing file found under one of the alternate directories:
// its name replaces `name` (FP_PATH_MAX + 1 bytes) and its status *st.
bool find_alternate(fp_ctxt* ct, char* name, struct stat* st) {
    const char* list = ct->conf->alternate_dirs;
    if (list == nullptr) return false;
    long hops = ct->conf->up_dirs_hops > 0 ? ct->conf->up_dirs_hops : 0;
    if (ct->relpath[0] == '\0') hops++;
    while (*list != '\0') {
        size_t elen = strcspn(list, ",");
        char entry[FP_PATH_MAX + 1], cand[FP_PATH_MAX + 1], full[FP_PATH_MAX + 1];
        snprintf(entry, sizeof entry, "%.*s", (int)elen, list);
        list += elen + (list[elen] == ',');
        if (elen == 0 || !insert_alternate(name, entry, hops, cand) || !source_path(ct, cand, full))
            continue;
        if (lookup(ct, full, st) == 0 && !S_ISDIR(st->st_mode)) {
            memcpy(name, cand, strlen(cand) + 1);
            return true;
        }
    }
    return false;
}

void descend_dir(fp_ctxt* ct, const char* dir, fp_frec* rec);

void examine_node(fp_ctxt* ct, const char* path, fp_frec* rec) {
    if (is_excluded(ct, path)) return;
    char name[FP_PATH_MAX + 1], full[FP_PATH_MAX + 1];
    snprintf(name, sizeof name, "%s", path);
    if (strlen(path) > FP_PATH_MAX || !source_path(ct, name, full)) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", path);
        return;
    }
    struct stat st;
    if (lookup(ct, full, &st) != 0 && !(ct->depth == 0 && find_alternate(ct, name, &st))) {
        if (is_size_op(ct->ptype))
            log_msg(ct, FP_LOG_NOTE, "stat: %s: ", path);
        else
            add_missing(ct, path);
        return;
    }
    if (st.st_mtime > ct->last_mtime) ct->fn(ct, FP_EV_NODE, name, &st, rec);
    if (!S_ISDIR(st.st_mode)) return;
    int flags = rec->opt_flags > 0 ? rec->opt_flags : 0;
    if ((flags & FP_FOPT_DESCEND) || (ct->conf->descend_dirs && !(flags & FP_FOPT_NODESCEND)))
        descend_dir(ct, name, rec);
}

// dir + "/" + entry, with "dir/" and "dir/." giving "dir/entry". `out`
// has room for both names and the separator.
void child_name(const char* dir, const char* entry, char* out) {
    size_t dl = strlen(dir);
    if (dl >= 2 && dir[dl - 2] == '/' && dir[dl - 1] == '.') dl--;
    memcpy(out, dir, dl);
    if (dl > 0 && dir[dl - 1] != '/') out[dl++] = '/';
    strcpy(out + dl, entry);
}

void descend_dir(fp_ctxt* ct, const char* dir, fp_frec* rec) {
    if (ct->depth >= FP_MAX_DEPTH) {
        log_msg(ct, FP_LOG_WARN, "%s: directories nested too deep: ", dir);
        return;
    }
    char full[FP_PATH_MAX + 1];
    source_path(ct, dir, full);
    fp_walk* w = get_walk(ct);
    DIR* d = opendir(full);
    if (d == nullptr) {
        log_msg(ct, FP_LOG_WARN, "%s: opendir: ", dir);
        return;
    }
    struct stat ds;
    memset(&ds, 0, sizeof ds);
    if (fstat(dirfd(d), &ds) == 0) {
        for (int i = 0; i < ct->depth; i++) {
            if (w->dir_dev[i] == ds.st_dev && w->dir_ino[i] == ds.st_ino) {
                closedir(d);
                log_msg(ct, FP_LOG_INFO, "%s: directory loop; not descending", dir);
                return;
            }
        }
    }
    w->dir_dev[ct->depth] = ds.st_dev;
    w->dir_ino[ct->depth] = ds.st_ino;
    w->dirs[ct->depth++] = d;
    size_t dl = strlen(dir);
    for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (dl + strlen(e->d_name) + 2 > FP_PATH_MAX) {
            log_msg(ct, FP_LOG_WARN, "%s/%s: path too long: ", dir, e->d_name);
            continue;
        }
        char child[FP_PATH_MAX + 1];
        child_name(dir, e->d_name, child);
        examine_node(ct, child, rec);
    }
    w->dirs[--ct->depth] = nullptr;
    closedir(d);
}

// ---- writing nodes --------------------------------------------------------

// Header for one node; false (logged) when its name cannot be carried.
bool write_header(fp_ctxt* ct, const char* dest, const struct stat* st, long check,
                  long long size) {
    if (size > 0xffffffffLL) {
        log_msg(ct, FP_LOG_WARN, "%s: file too large for a block", dest);
        return false;
    }
    if (putheader(ct, dest, st, (unsigned long)check, (long)size) != 0) {
        log_msg(ct, FP_LOG_WARN, "%s: name too long", dest);
        return false;
    }
    return true;
}

// Outcome of copying a body: errno of a failed read, whether the size
// changed.
struct body_result {
    int err;
    bool changed;
};

// Copies exactly `size` bytes of the file: a grown file is cut, a shrunk or
// unreadable one is filled with zeros. Large bodies are moved by the kernel
// where the output allows; the rest is read here, each read asking for one
// byte past the recorded end, so that growth shows without an extra call.
body_result copy_body(fp_ctxt* ct, int fd, long long size) {
    body_result r = {0, false};
    long long done = size >= kSendMin ? fp_out_send(ct, fd, size) : 0;
    if (done == size && done > 0) {
        char c;
        r.changed = pread(fd, &c, 1, (off_t)size) == 1;
        return r;
    }
    for (;;) {
        long long left = size - done;
        size_t want = left < FP_BUFSIZE ? (size_t)left + 1 : (size_t)FP_BUFSIZE;
        ssize_t n = pread(fd, ct->buffer, want, (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.err = errno;
            break;
        }
        if (n == 0) break;
        if (n > left) {
            fp_out_write(ct, ct->buffer, (long)left);
            done = size;
            r.changed = true;
            break;
        }
        fp_out_write(ct, ct->buffer, (long)n);
        done += n;
        if (done == size && (size_t)n < want) break;
    }
    if (done < size) {
        fp_out_zeros(ct, size - done);
        r.changed = r.err == 0;
    }
    return r;
}

void pack_symlink(fp_ctxt* ct, const char* src, const char* dest, const struct stat* st) {
    char target[PATH_MAX];
    ssize_t n = readlink(src, target, sizeof target);
    if (n < 0) {
        log_msg(ct, FP_LOG_ERR, "readlink: %s: ", src);
        return;
    }
    long check = get_file_cksum(ct, src, st);
    if (check < 0 || !write_header(ct, dest, st, check, n)) return;
    if (ct->ptype != FP_OP_PACK_HDRS) fp_out_write(ct, target, (long)n);
}

void pack_regular(fp_ctxt* ct, const char* name, const char* src, const char* dest,
                  const struct stat* st) {
    long check = 0;
    if (ct->conf->file_cksums) {
        check = get_file_cksum(ct, src, st);
        if (check < 0) return;
    }
    bool linked = S_ISREG(st->st_mode) && st->st_nlink > 1;
    struct stat hs = *st;
    if (linked) hs.st_ino = link_wire_ino(ct, st);
    if (linked && link_seen(ct, st)) {
        write_header(ct, dest, &hs, check, 0);
        return;
    }
    if (ct->ptype == FP_OP_PACK_HDRS) {
        if (write_header(ct, dest, &hs, check, st->st_size) && linked) link_add(ct, st);
        return;
    }
    fp_walk* w = get_walk(ct);
    int fd = open(src, O_RDONLY);
    if (fd < 0) {
        log_msg(ct, FP_LOG_ERR, "open: %s: ", src);
        return;
    }
    w->body_fd = fd;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    body_result r = {0, false};
    bool written = write_header(ct, dest, &hs, check, st->st_size);
    if (written) {
        if (body_hook != nullptr) body_hook(src);
        r = copy_body(ct, fd, st->st_size);
    }
    close(fd);
    w->body_fd = -1;
    if (!written) return;
    if (linked) link_add(ct, st);
    if (r.err != 0) {
        errno = r.err;
        log_msg(ct, FP_LOG_ERR, "read: %s: ", src);
    } else if (r.changed) {
        log_msg(ct, FP_LOG_INFO, "%s: file changed size", name);
    }
}

void pack_file(fp_ctxt* ct, const char* name, const struct stat* found, const fp_frec* rec) {
    FP_ASSERT(ct, ct->modifiers & FP_MOD_D, "ct->modifiers & (1L<<0)");
    struct stat st = *found;
    char dest[FP_PATH_MAX + 1], src[FP_PATH_MAX + 1];
    if (merge_stat(ct, name, &st, rec, dest) != 0) return;
    source_path(ct, name, src);
    switch (st.st_mode & S_IFMT) {
        case S_IFDIR:
            write_header(ct, dest, &st, 0, 0);
            break;
        case S_IFLNK:
            pack_symlink(ct, src, dest, &st);
            break;
        case S_IFREG:
            pack_regular(ct, name, src, dest, &st);
            break;
        case S_IFBLK:
            log_msg(ct, FP_LOG_INFO, "skipping block special: %s", name);
            break;
        case S_IFCHR:
            log_msg(ct, FP_LOG_INFO, "skipping character special: %s", name);
            break;
        case S_IFSOCK:
            log_msg(ct, FP_LOG_INFO, "skipping socket: %s", name);
            break;
        case S_IFIFO:
            log_msg(ct, FP_LOG_INFO, "skipping pipe: %s", name);
            break;
        default:
            log_msg(ct, FP_LOG_INFO, "skipping unknown file type: %s", name);
            break;
    }
}

// Writes text to the output converted to UTF-8.
void write_utf8(fp_ctxt* ct, const char* text, size_t len) {
    char utf8[3 * (FP_PATH_MAX + 256) + 1];
    size_t n = zug_to_utf8(nullptr, text, len, utf8, sizeof utf8);
    fp_out_write(ct, utf8, (long)n);
}

void write_keywords(fp_ctxt* ct) {
    char* text = nullptr;
    if (prt_keywlist(ct->conf, &text) != 0) {
        log_msg(ct, FP_LOG_WARN, "prt_keywlist failed");
        return;
    }
    // Sent from the work buffer, the text freed before the last write, so
    // that a write failure (which ends the operation) leaks nothing in the
    // usual case of a set smaller than the buffer.
    size_t len = strlen(text);
    for (size_t off = 0; off < len;) {
        size_t chunk = len - off < FP_BUFSIZE ? len - off : FP_BUFSIZE;
        memcpy(ct->buffer, text + off, chunk);
        off += chunk;
        if (off == len) free(text);
        fp_out_write(ct, ct->buffer, (long)chunk);
    }
    if (len == 0) free(text);
}

// Appends printf text to buf (size bytes, used *len).
void append(char* buf, size_t size, size_t* len, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void append(char* buf, size_t size, size_t* len, const char* fmt, ...) {
    if (*len >= size) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + *len, size - *len, fmt, ap);
    va_end(ap);
    if (n > 0) *len = *len + (size_t)n < size ? *len + (size_t)n : size - 1;
}

}  // namespace

void process_file_records(fp_ctxt* ct) {
    fp_walk* w = get_walk(ct);
    for (fp_frec* r = ct->files; r != nullptr; r = r->next) {
        ct->depth = 0;
        if (r->path != nullptr) examine_node(ct, r->path, r);
    }
    if (w->missing != nullptr) {
        log_msg(ct, FP_LOG_WARN, "Files:%s: not found", w->missing);
        free(w->missing);
        w->missing = nullptr;
        w->missing_len = 0;
    }
}

int merge_stat(fp_ctxt* ct, const char* name, struct stat* st, const fp_frec* rec, char* dest) {
    const fp_keyws* kw = ct->conf;
    char base[FP_PATH_MAX + 1] = "";
    if (rec->dest != nullptr)
        zug_from_utf8(nullptr, rec->dest, strlen(rec->dest), base, sizeof base);
    else if (kw->default_dest != nullptr)
        snprintf(base, sizeof base, "%s", skip_drive_and_slashes(kw->default_dest));
    size_t part_len;
    const char* part = dest_part(ct, name, rec, &part_len);
    if (!join_dest(dest, base, part, part_len)) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", name);
        return -1;
    }
    if (dest[0] == '\0') {
        log_msg(ct, FP_LOG_INFO, "%s: maps to empty string.  skipping.", name);
        return -1;
    }
    bool dir = S_ISDIR(st->st_mode);
    long mode = dir ? rec->dir_mode : rec->file_mode;
    long uid = dir ? rec->dir_uid : rec->file_uid;
    long gid = dir ? rec->dir_gid : rec->file_gid;
    if (mode == -1) mode = dir ? kw->default_dir_mode : kw->default_file_mode;
    if (uid == -1) uid = dir ? kw->unix_default_dir_uid : kw->unix_default_file_uid;
    if (gid == -1) gid = dir ? kw->unix_default_dir_gid : kw->unix_default_file_gid;
    apply_mode(st, mode);
    if (uid != -1) st->st_uid = (uid_t)uid;
    if (gid != -1) st->st_gid = (gid_t)gid;
    if (rec->mtime != -1)
        st->st_mtime = rec->mtime;
    else if (kw->default_mtime != -1)
        st->st_mtime = kw->default_mtime;
    return 0;
}

namespace {

// One pattern item at p against the character at t: 1 match, 0 none, -1
// malformed. *plen and *tlen get the bytes used.
int match_item(const char* pat, const char* p, const char* t, size_t* plen, size_t* tlen) {
    *tlen = 1;
    if (*p == '?') {
        *plen = 1;
        *tlen = (size_t)zug_mblen(nullptr, t, strlen(t));
        return 1;
    }
    if (*p == '\\' && p[1] != '\0' &&
        zug_mbsbtype(nullptr, pat, (size_t)(p - pat)) != ZUG_MBS_TRAIL) {
        *plen = 2;
        return p[1] == *t;
    }
    if (*p != '[') {
        *plen = 1;
        return *p == *t;
    }
    const char* q = p + 1;
    bool neg = *q == '^';
    if (neg) q++;
    bool found = false, first = true;
    unsigned char c = (unsigned char)*t;
    for (;; first = false) {
        if (*q == '\0') return -1;
        if (*q == ']' && !first) break;
        if (*q == '\\' && q[1] != '\0') q++;
        unsigned char lo = (unsigned char)*q++, hi = lo;
        if (*q == '-' && q[1] != '\0' && q[1] != ']') {
            q++;
            if (*q == '\\' && q[1] != '\0') q++;
            hi = (unsigned char)*q++;
        }
        if (c >= lo && c <= hi) found = true;
    }
    *plen = (size_t)(q + 1 - p);
    return found != neg;
}

}  // namespace

int fp_match(const char* pattern, const char* text) {
    if (pattern == nullptr || text == nullptr) return 0;
    const char* p = pattern;
    const char* t = text;
    const char* star_p = nullptr;
    const char* star_t = nullptr;
    while (*t != '\0') {
        if (*p == '*') {
            star_p = ++p;
            star_t = t;
            continue;
        }
        if (*p != '\0') {
            size_t pl, tl;
            int r = match_item(pattern, p, t, &pl, &tl);
            if (r < 0) return 0;
            if (r > 0) {
                p += pl;
                t += tl;
                continue;
            }
        }
        if (star_p == nullptr) return 0;
        p = star_p;
        star_t += zug_mblen(nullptr, star_t, strlen(star_t));
        t = star_t;
    }
    while (*p == '*') p++;
    return *p == '\0';
}

void pack_named_file(fp_ctxt* ct, const char* src, const char* node, const struct stat* found) {
    struct stat st = *found;
    st.st_nlink = 1;
    if (S_ISLNK(st.st_mode))
        pack_symlink(ct, src, node, &st);
    else
        pack_regular(ct, node, src, node, &st);
}

int pack_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec) {
    switch (event) {
        case FP_EV_START:
            if (ct->nest_level != 0) break;
            if (ct->op != nullptr && ioch_options(ct->op, 0, (int)ct->conf->do_compress,
                                                  (int)ct->conf->do_checksum) != 0)
                log_msg(ct, FP_LOG_FATAL, "out_stream write error (cnt=%d)", 0);
            encode_header(ct);
            break;
        case FP_EV_CNTL:
            ct->conf->modifiers =
                ct->modifiers | (ct->ptype == FP_OP_PACK_HDRS ? (long)FP_MOD_H : 0L);
            pack_cntl(ct);
            break;
        case FP_EV_NODE:
            pack_file(ct, name, st, rec);
            break;
        case FP_EV_END:
            dotrailer(ct);
            break;
        default:
            break;
    }
    return 0;
}

int list_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec) {
    if (event == FP_EV_START && (ct->modifiers & FP_MOD_K)) write_keywords(ct);
    if (event != FP_EV_NODE) return 0;
    struct stat m = *st;
    char dest[FP_PATH_MAX + 1];
    if (merge_stat(ct, name, &m, rec, dest) != 0) return 0;
    // Listed sizes are those of the block: 0 for directories and repeated
    // hard links.
    if (!(S_ISLNK(m.st_mode) || (S_ISREG(m.st_mode) && !link_repeat(ct, &m)))) m.st_size = 0;
    char line[FP_PATH_MAX + 256];
    write_utf8(ct, line, fp_list_line(&m, dest, line, sizeof line));
    return 0;
}

int flist_node(fp_ctxt* ct, int event, const char* name, struct stat*, fp_frec* rec) {
    if (event != FP_EV_NODE) return 0;
    char line[2 * FP_PATH_MAX + 256];
    size_t len = 0;
    append(line, sizeof line, &len, "%s", name);
    if (ct->ptype == FP_OP_FLIST_OPTS) {
        if (rec->dest != nullptr) append(line, sizeof line, &len, " d=%s", rec->dest);
        if (rec->file_mode != -1)
            append(line, sizeof line, &len, " m=0%o", (unsigned)rec->file_mode);
        if (rec->dir_mode != -1) append(line, sizeof line, &len, " M=0%o", (unsigned)rec->dir_mode);
        if (rec->file_uid != -1) append(line, sizeof line, &len, " u=%d", (int)rec->file_uid);
        if (rec->dir_uid != -1) append(line, sizeof line, &len, " U=%d", (int)rec->dir_uid);
        if (rec->file_gid != -1) append(line, sizeof line, &len, " g=%d", (int)rec->file_gid);
        if (rec->dir_gid != -1) append(line, sizeof line, &len, " G=%d", (int)rec->dir_gid);
        if (rec->mtime != -1) append(line, sizeof line, &len, " t=%d", (int)rec->mtime);
    }
    append(line, sizeof line, &len, "\n");
    fp_out_write(ct, line, (long)len);
    return 0;
}

int size_node(fp_ctxt* ct, int event, const char*, struct stat* st, fp_frec*) {
    if (event == FP_EV_CNTL) ct->rval += size_src_cntl(ct);
    if (event != FP_EV_NODE) return 0;
    if (S_ISLNK(st->st_mode) || (S_ISREG(st->st_mode) && !link_repeat(ct, st)))
        ct->rval += (long)st->st_size;
    return 0;
}

void pack_set_body_hook(void (*hook)(const char* path)) {
    body_hook = hook;
}

int pack_share_link_ids(fp_ctxt* nested, fp_ctxt* outer) {
    if (outer->walk == nullptr && (outer->walk = new_walk()) == nullptr) return -1;
    if (outer->walk->ids == nullptr && (outer->walk->ids = new_link_ids()) == nullptr) return -1;
    if (nested->walk == nullptr && (nested->walk = new_walk()) == nullptr) return -1;
    fp_link_ids* t = outer->walk->ids;
    if (nested->walk->ids == t) return 0;
    free_link_ids(nested->walk->ids);
    nested->walk->ids = t;
    t->refs++;
    return 0;
}

void pack_dispose_walk(fp_ctxt* ct) {
    fp_walk* w = ct->walk;
    if (w == nullptr) return;
    free_link_ids(w->ids);
    for (int i = 0; i < kLinkBuckets; i++) {
        while (w->links[i] != nullptr) {
            fp_link* next = w->links[i]->next;
            free(w->links[i]);
            w->links[i] = next;
        }
    }
    for (int i = 0; i < FP_MAX_DEPTH; i++)
        if (w->dirs[i] != nullptr) closedir(w->dirs[i]);
    if (w->body_fd >= 0) close(w->body_fd);
    free(w->missing);
    free(w);
    ct->walk = nullptr;
}
