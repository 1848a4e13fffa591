// Block format: encoded header, node headers, trailer, file checksums.
#include "fppack.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cksum.h"
#include "cntl_files.h"
#include "io_chan.h"
#include "io_filter.h"
#include "keyw.h"
#include "log_msg.h"
#include "zug.h"

namespace {

const char kBanner[] = "Velkar\tFilepack Block.\t";
const char kSig[] = "KFPB-";
const int kLenWidth = 6;  // "%6d" length field of the encoded header
// Length of an old portable header after its magic.
const int kOdcLen = 70;

// ---- encoded header -------------------------------------------------------

// Appends text to the header line; false when it would not fit.
bool hdr_add(char* line, size_t* len, const char* text) {
    size_t n = strlen(text);
    if (*len + n >= FP_HDR_MAX + 1) return false;
    memcpy(line + *len, text, n + 1);
    *len += n;
    return true;
}

// Appends ` key="value"`; a value holding a quote or a line end cannot be
// carried and ends the operation.
bool hdr_add_quoted(fp_ctxt* ct, char* line, size_t* len, const char* key, const char* value) {
    if (strpbrk(value, "\"\n\r") != nullptr)
        log_msg(ct, FP_LOG_FATAL, "%s value cannot be encoded: %s", key, value);
    return hdr_add(line, len, " ") && hdr_add(line, len, key) && hdr_add(line, len, "=\"") &&
           hdr_add(line, len, value) && hdr_add(line, len, "\"");
}

void check_filters(fp_ctxt* ct) {
    const fp_keyws* kw = ct->conf;
    if (kw->postproc != nullptr && kw->preproc == nullptr)
        log_msg(ct, FP_LOG_FATAL, "no preproc given");
    if (kw->preproc != nullptr && kw->postproc == nullptr)
        log_msg(ct, FP_LOG_FATAL, "no postproc given");
}

// One option word of the encoded header: key=value, the value possibly
// quoted. Returns the position after it.
const char* next_option(const char* p, const char** key, size_t* key_len, const char** val,
                        size_t* val_len) {
    while (*p == ' ' || *p == '\t') p++;
    const char* word = p;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '=' && *p != '\n') p++;
    *key = word;
    *key_len = (size_t)(p - word);
    *val = nullptr;
    *val_len = 0;
    if (*p != '=') {
        while (*p != '\0' && *p != ' ' && *p != '\t') p++;
        return p;
    }
    p++;
    if (*p == '"') {
        const char* end = strchr(p + 1, '"');
        if (end == nullptr) end = p + strlen(p);
        *val = p + 1;
        *val_len = (size_t)(end - p - 1);
        return *end == '"' ? end + 1 : end;
    }
    *val = p;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') p++;
    *val_len = (size_t)(p - *val);
    return p;
}

bool key_is(const char* key, size_t len, const char* want) {
    return len == strlen(want) && memcmp(key, want, len) == 0;
}

// Reads the version after "KFPB-"; sets the context's version and control
// directory. Returns the position after it, or null (logged).
const char* decode_version(fp_ctxt* ct, const char* line) {
    const char* sig = strstr(line, kSig);
    if (sig == nullptr) {
        log_msg(ct, FP_LOG_WARN, "no FP signature.");
        return nullptr;
    }
    const char* v = sig + strlen(kSig);
    size_t vlen = strcspn(v, " \t\n");
    char version[sizeof ct->version];
    snprintf(version, sizeof version, "%.*s", (int)vlen, v);
    int major = 0, minor = 0;
    if (strcmp(version, "2") == 0) {
        snprintf(ct->cntl_dir, sizeof ct->cntl_dir, "%s/%s", P_tmpdir, FP_CNTL_DIR);
    } else if (fp_parse_version(version, &major, &minor) != 0 || major != 2) {
        log_msg(ct, FP_LOG_WARN, "unsupported version: \"%s\" (current is %s)", version,
                FP_VERSION);
        return nullptr;
    }
    snprintf(ct->version, sizeof ct->version, "%s", version);
    return v + vlen;
}

// ---- node headers ---------------------------------------------------------

void put_hex8(char* p, unsigned long v) {
    static const char digits[] = "0123456789abcdef";
    v &= 0xffffffffUL;
    for (int i = 7; i >= 0; i--) {
        p[i] = digits[v & 0xf];
        v >>= 4;
    }
}

// Value of each byte as a digit (either case), 16 for any other byte.
struct digit_values {
    unsigned char v[256];
    constexpr digit_values() : v() {
        for (int c = 0; c < 256; c++)
            v[c] = c >= '0' && c <= '9'   ? (unsigned char)(c - '0')
                   : c >= 'a' && c <= 'f' ? (unsigned char)(c - 'a' + 10)
                   : c >= 'A' && c <= 'F' ? (unsigned char)(c - 'A' + 10)
                                          : 16;
    }
};
constexpr digit_values kDigits;

// Parses `width` digits of `base`; false on any other character.
bool parse_digits(const char* p, int width, int base, unsigned long* out) {
    unsigned long v = 0;
    unsigned bad = 0;
    for (int i = 0; i < width; i++) {
        unsigned d = kDigits.v[(unsigned char)p[i]];
        bad |= d >= (unsigned)base;
        v = v * (unsigned)base + d;
    }
    *out = v;
    return !bad;
}

// Reads through the record layer; false on a short read.
bool read_node_bytes(fp_ctxt* ct, void* buf, long n) {
    return ioch_read_exact(ct->ip, buf, n) == n;
}

// The new ASCII header's thirteen fields after the magic.
bool parse_newc(const char* f, struct stat* st, unsigned long* namesize, unsigned long* check) {
    unsigned long v[13];
    for (int i = 0; i < 13; i++)
        if (!parse_digits(f + 8 * i, 8, 16, &v[i])) return false;
    memset(st, 0, sizeof *st);
    st->st_ino = v[0];
    st->st_mode = v[1];
    st->st_uid = v[2];
    st->st_gid = v[3];
    st->st_nlink = v[4];
    st->st_mtime = v[5];
    st->st_size = v[6];
    st->st_dev = v[7] * 256 + v[8];
    st->st_rdev = v[9] * 256 + v[10];
    *namesize = v[11];
    *check = v[12];
    return true;
}

// The old portable header's ten octal fields after the magic.
bool parse_odc(const char* f, struct stat* st, unsigned long* namesize) {
    static const int widths[10] = {6, 6, 6, 6, 6, 6, 6, 11, 6, 11};
    unsigned long v[10];
    for (int i = 0, off = 0; i < 10; off += widths[i], i++)
        if (!parse_digits(f + off, widths[i], 8, &v[i])) return false;
    memset(st, 0, sizeof *st);
    st->st_dev = v[0];
    st->st_ino = v[1];
    st->st_mode = v[2];
    st->st_uid = v[3];
    st->st_gid = v[4];
    st->st_nlink = v[5];
    st->st_rdev = v[6];
    st->st_mtime = v[7];
    *namesize = v[8];
    st->st_size = v[9];
    return true;
}

// The six magic bytes: those decode_header already read, else the stream's.
bool read_magic(fp_ctxt* ct, char magic[6]) {
    if (ct->hdr_pushback_len == 6) {
        memcpy(magic, ct->hdr_pushback, 6);
        ct->hdr_pushback_len = 0;
        return true;
    }
    return read_node_bytes(ct, magic, 6);
}

}  // namespace

void fp_out_write(fp_ctxt* ct, const void* data, long len) {
    ct->out_count += len;
    if (ct->op == nullptr) return;  // -n: no output channel
    long n = ioch_write(ct->op, data, len);
    if (n != len) log_msg(ct, FP_LOG_FATAL, "out_stream write error (cnt=%d)", (int)n);
}

long long fp_out_send(fp_ctxt* ct, int fd, long long n) {
    if (ct->op == nullptr) return 0;
    long moved = ioch_send_from(ct->op, fd, 0, (long)n);
    if (moved < 0) log_msg(ct, FP_LOG_FATAL, "out_stream write error (cnt=%d)", -1);
    ct->out_count += moved;
    return moved;
}

void fp_out_zeros(fp_ctxt* ct, long long n) {
    static const char zeros[4096] = {0};
    while (n > 0) {
        long chunk = n < (long long)sizeof zeros ? (long)n : (long)sizeof zeros;
        fp_out_write(ct, zeros, chunk);
        n -= chunk;
    }
}

void encode_header(fp_ctxt* ct) {
    check_filters(ct);
    char line[FP_HDR_MAX + 1];
    size_t len = 0;
    line[0] = '\0';
    bool fits = hdr_add(line, &len, "xxxxxx ") && hdr_add(line, &len, kSig) &&
                hdr_add(line, &len, FP_VERSION) && hdr_add(line, &len, " ") &&
                hdr_add(line, &len, kBanner);
    if (fits && ct->name != nullptr && ct->name[0] != '\0') {
        char utf8[3 * FP_HDR_MAX + 1];
        size_t nlen = strlen(ct->name);
        // A name that converts to more than the line can hold fails below.
        if (nlen > FP_HDR_MAX) nlen = FP_HDR_MAX;
        zug_to_utf8(nullptr, ct->name, nlen, utf8, sizeof utf8);
        fits = hdr_add_quoted(ct, line, &len, "fpname", utf8);
    }
    if (fits && ct->size != 0) {
        char num[32];
        snprintf(num, sizeof num, "%ld", ct->size);
        fits = hdr_add_quoted(ct, line, &len, "fpsize", num);
    }
    if (fits && ct->conf->do_checksum) fits = hdr_add(line, &len, " cksum=md5");
    if (fits && ct->conf->do_compress) fits = hdr_add(line, &len, " compress=native");
    if (fits && ct->conf->postproc != nullptr)
        fits = hdr_add_quoted(ct, line, &len, "pre", ct->conf->preproc);
    if (fits) fits = hdr_add(line, &len, "\n");
    if (!fits) log_msg(ct, FP_LOG_FATAL, "encoded header longer than %d bytes", FP_HDR_MAX);
    char num[kLenWidth + 1];
    snprintf(num, sizeof num, "%6d", (int)len);
    memcpy(line, num, kLenWidth);
    long n = ct->op != nullptr ? ioch_raw_write(ct->op, line, (long)len) : (long)len;
    if (n != (long)len) log_msg(ct, FP_LOG_FATAL, "raw write error\t(cnt=%d)", (int)n);
    if (ct->conf->postproc != nullptr) start_out_filter(ct);
}

int decode_header(fp_ctxt* ct) {
    char line[FP_HDR_MAX + 1];
    if (ioch_raw_read(ct->ip, line, kLenWidth) != kLenWidth) return -1;
    if (memcmp(line, "070707", 6) == 0) {
        log_msg(ct, FP_LOG_INFO, "non-Velkar cpio archive");
        memcpy(ct->hdr_pushback, line, 6);
        ct->hdr_pushback_len = 6;
        return 0;
    }
    unsigned long total = 0;
    int i = 0;
    while (i < kLenWidth && line[i] == ' ') i++;
    if (i == kLenWidth || !parse_digits(line + i, kLenWidth - i, 10, &total)) return -1;
    if (total > FP_HDR_MAX || total <= (unsigned long)kLenWidth) return -1;
    long rest = (long)total - kLenWidth;
    if (ioch_raw_read(ct->ip, line + kLenWidth, rest) != rest) return -1;
    line[total] = '\0';

    const char* p = decode_version(ct, line + kLenWidth);
    if (p == nullptr) return -1;
    int compressed = 0, checked = 0;
    char pre[FP_HDR_MAX + 1] = "";
    while (*p != '\0' && *p != '\n') {
        const char *key, *val;
        size_t klen, vlen;
        p = next_option(p, &key, &klen, &val, &vlen);
        if (key_is(key, klen, "fpname") && val != nullptr) {
            char name[3 * FP_HDR_MAX + 1];
            snprintf(name, sizeof name, "%.*s", (int)vlen, val);
            if (strcmp(name, "-") != 0 || ct->name == nullptr) fp_set_name(ct, name);
        } else if (key_is(key, klen, "fpsize") && val != nullptr) {
            char num[32];
            snprintf(num, sizeof num, "%.*s", (int)vlen, val);
            ct->size = strtol(num, nullptr, 10);
        } else if (key_is(key, klen, "compress")) {
            compressed = 1;
        } else if (key_is(key, klen, "cksum")) {
            checked = 1;
        } else if (key_is(key, klen, "pre") && val != nullptr) {
            snprintf(pre, sizeof pre, "%.*s", (int)vlen, val);
        }
    }
    // The filter's output is the stream the record options apply to.
    if (pre[0] != '\0') start_in_filter(ct, pre);
    return ioch_options(ct->ip, 0, compressed, checked) != 0 ? -1 : 0;
}

int putheader(fp_ctxt* ct, const char* name, const struct stat* st, unsigned long check,
              long size) {
    if (name[0] == '.' && name[1] == '/') name += 2;
    char hdr[FP_NODE_HDR_LEN + FP_NAME_MAX + 1];
    char* nm = hdr + FP_NODE_HDR_LEN;
    size_t in_len = strlen(name);
    if (in_len > FP_NAME_MAX) return -1;
    // Room for a conversion that grows the name; more than FP_NAME_MAX fails.
    char utf8[3 * FP_NAME_MAX + 1];
    size_t nlen = zug_to_utf8(nullptr, name, in_len, utf8, sizeof utf8);
    if (nlen > FP_NAME_MAX) return -1;
    memcpy(nm, utf8, nlen);
    nm[nlen] = '\0';

    unsigned long f[13] = {0};
    if (st != nullptr) {
        f[0] = st->st_ino;
        f[1] = st->st_mode;
        f[2] = st->st_uid;
        f[3] = st->st_gid;
        f[4] = st->st_nlink;
        f[5] = (unsigned long)st->st_mtime;
        f[7] = st->st_dev >> 8;
        f[8] = st->st_dev & 0xff;
        f[9] = st->st_rdev >> 8;
        f[10] = st->st_rdev & 0xff;
    } else {
        f[1] = FP_CNTL_MODE;
        f[4] = 1;
    }
    f[6] = (unsigned long)size;
    f[11] = nlen + 1;
    f[12] = check;
    memcpy(hdr, "070702", 6);
    for (int i = 0; i < 13; i++) put_hex8(hdr + 6 + 8 * i, f[i]);
    fp_out_write(ct, hdr, (long)(FP_NODE_HDR_LEN + nlen + 1));
    ct->node_count++;
    return 0;
}

int getheader(fp_ctxt* ct, struct stat* st, unsigned long* check, char name[FP_NAME_MAX + 1]) {
    char magic[6];
    if (!read_magic(ct, magic)) {
        long other = ct->ip->other_rec_size;
        if (other != 0)
            log_msg(ct, FP_LOG_WARN,
                    "record size mismatch: the block was written with records of %s%ld bytes, "
                    "this reader uses %ld; read it with TRELL_BUF_SIZE=%ld",
                    ct->ip->other_rec_at_least ? "at least " : "", other, ct->ip->rec_size, other);
        else
            log_msg(ct, FP_LOG_WARN, "header: short read");
        return -1;
    }
    char fields[FP_NODE_HDR_LEN];
    unsigned long namesize = 0;
    *check = 0;
    bool ok;
    if (memcmp(magic, "070702", 6) == 0) {
        ok = read_node_bytes(ct, fields, FP_NODE_HDR_LEN - 6) &&
             parse_newc(fields, st, &namesize, check);
    } else if (memcmp(magic, "070707", 6) == 0) {
        ok = read_node_bytes(ct, fields, kOdcLen) && parse_odc(fields, st, &namesize);
    } else {
        log_msg(ct, FP_LOG_WARN, "header: out of phase (%.6s)", magic);
        return -1;
    }
    char raw[FP_NAME_MAX + 1];
    ok = ok && namesize >= 1 && namesize <= sizeof raw &&
         read_node_bytes(ct, raw, (long)namesize) && raw[namesize - 1] == '\0';
    if (!ok) {
        log_msg(ct, FP_LOG_WARN, "header: damaged");
        return -1;
    }
    zug_from_utf8(nullptr, raw, namesize - 1, name, FP_NAME_MAX + 1);
    name[FP_NAME_MAX] = '\0';
    ct->node_count++;
    return 0;
}

void dotrailer(fp_ctxt* ct) {
    putheader(ct, FP_TRAILER_NAME, nullptr, 0, 0);
    fp_out_zeros(ct, 512 - ct->out_count % 512);
}

long get_file_cksum(fp_ctxt* ct, const char* path, const struct stat* st) {
    unsigned char digest[CKSUM_DIGEST_LEN];
    if (S_ISLNK(st->st_mode)) {
        char target[PATH_MAX];
        ssize_t n = readlink(path, target, sizeof target);
        if (n < 0) {
            log_msg(ct, FP_LOG_ERR, "readlink: %s: ", path);
            return -1;
        }
        cksum_md5 md;
        cksum_md5_init(&md);
        cksum_md5_update(&md, target, (size_t)n);
        cksum_md5_final(&md, digest);
    } else {
        int fd = open(path, O_RDONLY);
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
    }
    return (long)cksum_word(digest);
}
