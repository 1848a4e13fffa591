// I/O channel: transports ('F' descriptor, 'D' memory), the record layer
// (check bytes, compressed chunks in transfer units) and framing.
#include "io_chan.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compress.h"

namespace {

#define DATA_GROWTH 1024
// Bytes a plain stream reads after seeking past a body: a node header and
// its name, with room to spare.
#define SHORT_FILL 512
// Most bytes one sendfile call moves.
#define SEND_MAX 0x7ffff000L
static_assert(COMPRESS_MAX_OUT >= IOCH_MAX_RECSIZE, "the record buffer holds any record");
// The transfer unit holds less than one unit of pending bytes plus one chunk.
#define CUNIT_CAP (COMPRESS_MAX_RECORD + COMPRESS_BOUND(COMPRESS_MAX_RECORD))

// Record size from $TRELL_BUF_SIZE: a decimal number in 512..65,536, else
// the default. With compression ioch_options clamps it to the longest
// record a chunk can carry (32,767): the chunk length has 15 bits.
long env_rec_size() {
    const char* s = getenv("TRELL_BUF_SIZE");
    if (!s || !*s) return IOCH_DFLT_RECSIZE;
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (*end != '\0' || errno != 0 || v < IOCH_MIN_RECSIZE || v > IOCH_MAX_RECSIZE)
        return IOCH_DFLT_RECSIZE;
    return v;
}

long fail(ioch* ch, int err) {
    if (!ch->error) ch->error = err;
    return -1;
}

inline bool plain(const ioch* ch) {
    return !ch->ck_len && !ch->compressed;
}

// Grows a 'D' channel's memory to hold `need` bytes, in multiples of 1,024
// (at least half again, so that streaming into memory stays linear).
bool data_reserve(ioch* ch, long need) {
    if (need <= ch->data_cap) return true;
    long cap = need > ch->data_cap + ch->data_cap / 2 ? need : ch->data_cap + ch->data_cap / 2;
    cap = (cap + DATA_GROWTH - 1) / DATA_GROWTH * DATA_GROWTH;
    unsigned char* p = static_cast<unsigned char*>(realloc(ch->data, (size_t)cap));
    if (!p) return false;
    ch->data = p;
    ch->data_cap = cap;
    return true;
}

long tp_write(ioch* ch, const void* buf, long n) {
    if (n <= 0) return 0;
    if (ch->type == 'D') {
        if (!data_reserve(ch, ch->data_len + n)) return fail(ch, IOCH_ENOMEM);
        memcpy(ch->data + ch->data_len, buf, (size_t)n);
        ch->data_len += n;
        return n;
    }
    const char* p = static_cast<const char*>(buf);
    for (long left = n; left > 0;) {
        ssize_t w = write(ch->fd, p, (size_t)left);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return fail(ch, errno);
        p += w;
        left -= w;
    }
    return n;
}

// Reads up to n bytes; with `exact` keeps reading until n or the end.
long tp_read(ioch* ch, void* buf, long n, bool exact) {
    if (ch->type == 'D') {
        long take = ch->data_len - ch->data_pos < n ? ch->data_len - ch->data_pos : n;
        if (take > 0) memcpy(buf, ch->data + ch->data_pos, (size_t)take);
        ch->data_pos += take;
        if (take < n) ch->at_end = 1;
        return take;
    }
    char* p = static_cast<char*>(buf);
    long got = 0;
    while (got < n) {
        ssize_t r = ch->fpos >= 0 ? pread(ch->fd, p + got, (size_t)(n - got), (off_t)ch->fpos)
                                  : read(ch->fd, p + got, (size_t)(n - got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return fail(ch, errno);
        if (r == 0) {
            ch->at_end = 1;
            break;
        }
        if (ch->fpos >= 0) ch->fpos += r;
        got += r;
        if (!exact) break;
    }
    return got;
}

// Before the first record is read: a regular file is read from here on at
// an offset of the channel's own. Raw reads before (the encoded header)
// moved the descriptor's offset, which an input filter reads on from.
void start_reading(ioch* ch) {
    ch->started = 1;
    if (ch->fpos != -2) return;
    struct stat st;
    off_t at;
    ch->fpos = -1;
    if (ch->type == 'F' && fstat(ch->fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (at = lseek(ch->fd, 0, SEEK_CUR)) >= 0) {
        ch->fpos = (long long)at;
        ch->file_size = (long long)st.st_size;
    }
}

// Writes the record gathered in ch->rec: check bytes, then as a chunk into
// the transfer unit or straight to the transport.
long put_record(ioch* ch) {
    long len = ch->rec_pos;
    if (ch->ck_len) {
        cksum_add(&ch->ck, ch->rec, (size_t)len);
        memcpy(ch->rec + len, cksum_ptr(&ch->ck), CKSUM_CHECK_LEN);
        len += CKSUM_CHECK_LEN;
    }
    ch->rec_pos = 0;
    ch->rec_count++;
    if (!ch->compressed) return tp_write(ch, ch->rec, len);
    ch->cunit_pos += compress_chunk(ch->rec, len, ch->cunit + ch->cunit_pos);
    while (ch->cunit_pos >= ch->rec_size) {
        if (tp_write(ch, ch->cunit, ch->rec_size) < 0) return -1;
        ch->cunit_pos -= ch->rec_size;
        memmove(ch->cunit, ch->cunit + ch->rec_size, (size_t)ch->cunit_pos);
    }
    return len;
}

long put_bytes(ioch* ch, const unsigned char* p, long n) {
    ch->started = 1;
    while (n > 0) {
        if (plain(ch) && ch->rec_pos == 0 && n >= ch->payload) {
            // Nothing to add to whole records: no copy.
            long whole = n / ch->payload * ch->payload;
            if (tp_write(ch, p, whole) < 0) return -1;
            ch->rec_count += whole / ch->payload;
            p += whole;
            n -= whole;
            continue;
        }
        long take = ch->payload - ch->rec_pos < n ? ch->payload - ch->rec_pos : n;
        memcpy(ch->rec + ch->rec_pos, p, (size_t)take);
        ch->rec_pos += take;
        p += take;
        n -= take;
        if (ch->rec_pos == ch->payload && put_record(ch) < 0) return -1;
    }
    return 0;
}

long end_stream(ioch* ch) {
    if (ch->rec_pos > 0 && put_record(ch) < 0) return -1;
    if (ch->compressed && ch->cunit_pos > 0) {
        if (tp_write(ch, ch->cunit, ch->cunit_pos) < 0) return -1;
        ch->cunit_pos = 0;
    }
    return 0;
}

// The first record of `have` bytes in ch->rec failed its check. A writer
// with another record size put its check bytes elsewhere: reads on (into
// the record buffer, which holds the largest record) and returns the record
// size at which the first check bytes match, or 0.
long probe_rec_size(ioch* ch, long have) {
    ch->other_rec_at_least = 0;
    if (!ch->at_end) {
        long more = tp_read(ch, ch->rec + have, IOCH_MAX_RECSIZE - have, true);
        if (more > 0) have += more;
    }
    long last = have < IOCH_MAX_RECSIZE ? have : IOCH_MAX_RECSIZE;
    cksum_state cs;
    cksum_init(&cs);
    long payload = IOCH_MIN_RECSIZE - CKSUM_CHECK_LEN;
    cksum_add(&cs, ch->rec, (size_t)payload);
    for (; payload + CKSUM_CHECK_LEN <= last; payload++) {
        if (cksum_equal(&cs, ch->rec + payload)) {
            ch->other_rec_at_least = ch->at_end && payload + CKSUM_CHECK_LEN == have;
            return payload + CKSUM_CHECK_LEN;
        }
        cksum_add(&cs, ch->rec + payload, 1);
    }
    return 0;
}

// Loads the next record into ch->rec. Returns its payload length, 0 at the
// end of the stream, -1 on failure.
long get_record(ioch* ch) {
    start_reading(ch);
    for (;;) {
        long n;
        if (ch->compressed) {
            unsigned char* out;
            n = decompress(ch, &out);
        } else {
            long want = ch->short_fill && SHORT_FILL < ch->rec_size ? SHORT_FILL : ch->rec_size;
            ch->short_fill = 0;
            n = tp_read(ch, ch->rec, want, !plain(ch));
        }
        if (n <= 0) return n;
        ch->rec_count++;
        if (ch->ck_len) {
            if (n < ch->ck_len) return fail(ch, IOCH_EREAD);
            n -= ch->ck_len;
            cksum_add(&ch->ck, ch->rec, (size_t)n);
            if (!cksum_equal(&ch->ck, ch->rec + n)) {
                if (ch->rec_count == 1 && !ch->compressed)
                    ch->other_rec_size = probe_rec_size(ch, n + ch->ck_len);
                return fail(ch, IOCH_ECKSUM);
            }
        }
        ch->rec_pos = 0;
        ch->rec_len = n;
        if (n > 0) return n;
    }
}

// Moves the read offset of a plain stream from a regular file n bytes on,
// when they lie within the file. False when they do not (reading then
// finds the end) or the transport has no offset of its own.
bool seek_ahead(ioch* ch, long n) {
    if (ch->fpos < 0 || !plain(ch)) return false;
    struct stat st;
    // Past the size last seen: the file may have grown since.
    if (ch->fpos + n > ch->file_size && fstat(ch->fd, &st) == 0)
        ch->file_size = (long long)st.st_size;
    if (ch->fpos + n > ch->file_size) return false;
    ch->fpos += n;
    // What follows is mostly a node header: a short read fetches it.
    ch->short_fill = 1;
    return true;
}

// Moves up to n bytes of the record stream to `buf` (dropped when null).
long get_bytes(ioch* ch, unsigned char* buf, long n) {
    if (ch->error) return -1;
    start_reading(ch);
    long got = 0;
    while (got < n) {
        long avail = ch->rec_len - ch->rec_pos;
        if (avail > 0) {
            long take = avail < n - got ? avail : n - got;
            if (buf) memcpy(buf + got, ch->rec + ch->rec_pos, (size_t)take);
            ch->rec_pos += take;
            got += take;
            continue;
        }
        if (!buf && n - got >= SHORT_FILL && seek_ahead(ch, n - got)) {
            got = n;
            break;
        }
        if (buf && plain(ch) && n - got >= ch->rec_size) {
            // Whole records straight into the caller's buffer.
            long r = tp_read(ch, buf + got, (n - got) / ch->rec_size * ch->rec_size, true);
            if (r < 0) return -1;
            got += r;
            if (ch->at_end) break;
            continue;
        }
        long r = get_record(ch);
        if (r < 0) return -1;
        if (r == 0) break;
    }
    return got;
}

ioch* new_chan(char type) {
    ioch* ch = static_cast<ioch*>(calloc(1, sizeof(ioch)));
    if (!ch) return nullptr;
    ch->rec = static_cast<unsigned char*>(malloc(COMPRESS_MAX_OUT));
    if (!ch->rec) {
        free(ch);
        return nullptr;
    }
    ch->type = type;
    ch->fd = -1;
    ch->fpos = -2;
    ch->rec_size = env_rec_size();
    ch->payload = ch->rec_size;
    cksum_init(&ch->ck);
    return ch;
}

// Copies the name of an "F", "B" or "W" descriptor into name[IOCH_NAME_MAX + 1].
int copy_name(const char* p, long len, char* name) {
    if (len > IOCH_NAME_MAX) return ENAMETOOLONG;
    if (len == 0 || memchr(p, '\0', (size_t)len)) return EINVAL;
    memcpy(name, p, (size_t)len);
    name[len] = '\0';
    return 0;
}

// "W" mode excl ooo path: returns a descriptor, or -1 with *error set.
int open_write_desc(const char* d, long len, int* error) {
    if (len < 7) {
        *error = EINVAL;
        return -1;
    }
    int perms = 0;
    for (int i = 3; i < 6; i++) {
        if (d[i] < '0' || d[i] > '7') {
            *error = EINVAL;
            return -1;
        }
        perms = perms * 8 + (d[i] - '0');
    }
    char name[IOCH_NAME_MAX + 1];
    if ((*error = copy_name(d + 6, len - 6, name)) != 0) return -1;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (d[1] == 'A' ? O_APPEND : O_TRUNC);
    if (d[2] == 'E') flags |= O_EXCL;
    int fd = open(name, flags, perms);
    if (fd < 0) *error = errno;
    return fd;
}

// "F path": returns a descriptor, or -1 with *error set.
int open_read_desc(const char* d, long len, int* error) {
    char name[IOCH_NAME_MAX + 1];
    if ((*error = copy_name(d + 2, len - 2, name)) != 0) return -1;
    if (strcmp(name, "-") == 0) return 0;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) *error = errno;
    return fd;
}

}  // namespace

ioch* ioch_new() {
    return new_chan('D');
}

ioch* ioch_fd_init(int fd) {
    ioch* ch = new_chan('F');
    if (ch) ch->fd = fd;
    return ch;
}

ioch* ioch_data_init(const char* data, long length) {
    ioch* ch = new_chan('D');
    if (!ch || length <= 0) return ch;
    if (!data_reserve(ch, length)) {
        ioch_dispose(ch);
        return nullptr;
    }
    memcpy(ch->data, data, (size_t)length);
    ch->data_len = length;
    return ch;
}

ioch* ioch_mdata_init_err(const char* d, long len, int* error) {
    *error = 0;
    if (!d || len < 2) {
        *error = EINVAL;
        return nullptr;
    }
    ioch* ch = nullptr;
    int fd = -1;
    switch (d[0]) {
        case 'D':
            ch = ioch_data_init(d + 2, len - 2);
            if (!ch) *error = IOCH_ENOMEM;
            break;
        case 'F':
            fd = open_read_desc(d, len, error);
            break;
        case 'W':
            fd = open_write_desc(d, len, error);
            break;
        case 'B': {
            char name[IOCH_NAME_MAX + 1];
            *error = copy_name(d + 2, len - 2, name);
            if (!*error) *error = ENOTSUP;
            break;
        }
        default:
            *error = EINVAL;
    }
    if (fd >= 0) {
        ch = ioch_fd_init(fd);
        if (!ch) {
            if (fd != 0) close(fd);
            *error = IOCH_ENOMEM;
        }
    }
    if (ch) ch->framed = d[1] == 'c';
    return ch;
}

ioch* ioch_mdata_init(const char* descriptor, long length) {
    int error;
    return ioch_mdata_init_err(descriptor, length, &error);
}

int ioch_options(ioch* ch, int framed, int compressed, int checked) {
    if (ch->started) return -1;
    if (compressed && !ch->cunit) {
        ch->cunit = static_cast<unsigned char*>(malloc(CUNIT_CAP));
        if (!ch->cunit) return (int)fail(ch, IOCH_ENOMEM);
    }
    if (framed) ch->framed = 1;
    if (compressed) ch->compressed = 1;
    if (checked) ch->ck_len = CKSUM_CHECK_LEN;
    if (ch->compressed && ch->rec_size > COMPRESS_MAX_RECORD) ch->rec_size = COMPRESS_MAX_RECORD;
    ch->payload = ch->rec_size - ch->ck_len;
    cksum_init(&ch->ck);
    return 0;
}

void ioch_dispose(ioch* ch) {
    if (!ch) return;
    if (ch->type == 'F' && ch->fd >= 0) close(ch->fd);
    free(ch->data);
    free(ch->cunit);
    free(ch->rec);
    free(ch);
}

int ioch_close(ioch* ch) {
    int err = ch->error;
    if (ch->type == 'F' && ch->fd >= 0 && close(ch->fd) != 0 && err == 0) err = errno;
    ch->fd = -1;
    ioch_dispose(ch);
    if (err == 0) return 0;
    errno = err;
    return -1;
}

long ioch_write(ioch* ch, const void* data, long length) {
    if (ch->error) return -1;
    if (length < 0) return fail(ch, EINVAL);
    if (length == 0) return end_stream(ch);
    if (ch->framed) {
        unsigned char len_be[IOCH_FRAME_LEN] = {
            (unsigned char)(length >> 24), (unsigned char)(length >> 16),
            (unsigned char)(length >> 8), (unsigned char)length};
        if (put_bytes(ch, len_be, IOCH_FRAME_LEN) < 0) return -1;
    }
    if (put_bytes(ch, static_cast<const unsigned char*>(data), length) < 0) return -1;
    return length;
}

long ioch_raw_write(ioch* ch, const void* data, long length) {
    if (ch->error) return -1;
    return tp_write(ch, data, length);
}

long ioch_send_from(ioch* ch, int fd, long long off, long n) {
    if (ch->error) return -1;
    if (ch->type != 'F' || !plain(ch) || ch->framed) return 0;
    ch->started = 1;
    // A plain stream is bytes only: what was gathered may go out short.
    if (ch->rec_pos > 0) {
        if (tp_write(ch, ch->rec, ch->rec_pos) < 0) return -1;
        ch->rec_pos = 0;
    }
    long moved = 0;
    while (moved < n) {
        off_t at = (off_t)(off + moved);
        size_t want = n - moved < SEND_MAX ? (size_t)(n - moved) : (size_t)SEND_MAX;
        ssize_t r = sendfile(ch->fd, fd, &at, want);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        moved += r;
    }
    return moved;
}

long ioch_read_exact(ioch* ch, void* buffer, long n) {
    return get_bytes(ch, static_cast<unsigned char*>(buffer), n);
}

long ioch_skip(ioch* ch, long n) {
    return get_bytes(ch, nullptr, n);
}

long ioch_send(ioch* ch, int fd, long n) {
    if (ch->error || !plain(ch)) return 0;
    start_reading(ch);
    if (ch->fpos < 0) return 0;
    long moved = 0;
    while (moved < n && ch->rec_pos < ch->rec_len) {
        long avail = ch->rec_len - ch->rec_pos;
        long take = avail < n - moved ? avail : n - moved;
        ssize_t w = write(fd, ch->rec + ch->rec_pos, (size_t)take);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return moved;
        ch->rec_pos += w;
        moved += w;
    }
    while (moved < n) {
        off_t at = (off_t)ch->fpos;
        // At most what one call moves on any system.
        size_t want = n - moved < SEND_MAX ? (size_t)(n - moved) : SEND_MAX;
        ssize_t r = sendfile(fd, ch->fd, &at, want);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ch->fpos = (long long)at;
        moved += r;
    }
    return moved;
}

long ioch_recv(ioch* ch, unsigned char** buffer, long n) {
    *buffer = nullptr;
    if (ch->error) return -1;
    long len;
    if (ch->framed) {
        unsigned char len_be[IOCH_FRAME_LEN];
        long got = get_bytes(ch, len_be, IOCH_FRAME_LEN);
        if (got <= 0) return got;
        if (got < IOCH_FRAME_LEN) return fail(ch, IOCH_EREAD);
        unsigned long v = (unsigned long)len_be[0] << 24 | (unsigned long)len_be[1] << 16 |
                          (unsigned long)len_be[2] << 8 | len_be[3];
        len = (long)v;
    } else {
        if (ch->rec_pos >= ch->rec_len) {
            long r = get_record(ch);
            if (r <= 0) return r;
        }
        long avail = ch->rec_len - ch->rec_pos;
        len = n > 0 && n < avail ? n : avail;
    }
    unsigned char* buf = static_cast<unsigned char*>(malloc(len > 0 ? (size_t)len : 1));
    if (!buf) return fail(ch, IOCH_ENOMEM);
    long got = get_bytes(ch, buf, len);
    if (got != len) {
        free(buf);
        return got < 0 ? -1 : fail(ch, IOCH_EREAD);
    }
    *buffer = buf;
    return len;
}

int ioch_nextc_filbuf(ioch* ch) {
    if (ch->error) return -1;
    if (get_record(ch) <= 0) return -1;
    return ch->rec[ch->rec_pos++];
}

long ioch_raw_read(ioch* ch, void* buffer, long n) {
    if (ch->error) return -1;
    return tp_read(ch, buffer, n, true);
}

long ioch_cpt_read(ioch* ch, long n, const unsigned char** at) {
    *at = nullptr;
    if (ch->error) return -1;
    if (!ch->cunit || n > CUNIT_CAP) return fail(ch, EINVAL);
    long have = ch->cunit_room - ch->cunit_pos;
    if (have < n) {
        // Whole transfer units are read at once, not chunk by chunk.
        memmove(ch->cunit, ch->cunit + ch->cunit_pos, (size_t)have);
        ch->cunit_pos = 0;
        ch->cunit_room = have;
        while (ch->cunit_room < n && !ch->at_end) {
            long r = tp_read(ch, ch->cunit + ch->cunit_room, CUNIT_CAP - ch->cunit_room, false);
            if (r < 0) return -1;
            ch->cunit_room += r;
        }
        have = ch->cunit_room;
    }
    long take = have < n ? have : n;
    *at = ch->cunit + ch->cunit_pos;
    ch->cunit_pos += take;
    return take;
}

int ioch_get_error(const ioch* ch, int* error, long* record) {
    if (error) *error = ch->error;
    if (record) *record = ch->rec_count;
    return ch->error;
}

const char* ioch_input_error_text(int error) {
    switch (error) {
        case 0:  // the stream simply ended
            return "the block ends too early";
        case IOCH_ECKSUM:
            return "check bytes do not match: the block was changed or damaged on its way";
        case IOCH_EREAD:
            return "a record is cut short or not in the block's form";
        case IOCH_ENOMEM:
            return "out of memory";
        default:
            return strerror(error);
    }
}

int ioch_get_data(const ioch* ch, const unsigned char** data, long* length) {
    if (ch->type != 'D') return -1;
    *data = ch->data;
    *length = ch->data_len;
    return 0;
}

void ioch_get_cksum(ioch* ch, char* text) {
    const unsigned char* p = cksum_ptr(&ch->ck);
    for (int i = 0; i < CKSUM_CHECK_LEN; i++) snprintf(text + 2 * i, 3, "%02x", p[i]);
}
