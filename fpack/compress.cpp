// The native record compressor: a small LZ77 with a 4,096-entry hash table.
#include "compress.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "io_chan.h"

namespace {

#define HASH_SIZE 4096
#define MAX_OFFSET 4095
#define MIN_MATCH 3
#define MAX_MATCH 16
#define GROUP_ITEMS 16
#define POS_BIAS (MAX_OFFSET + 1)

inline unsigned hash3(const unsigned char* p) {
    uint32_t h = ((((uint32_t)p[0] << 4) ^ p[1]) << 4) ^ p[2];
    return (h * 40543u) >> 4 & (HASH_SIZE - 1);
}

inline uint64_t load64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Index of the first differing byte of two words that differ.
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define FIRST_DIFF(x) (__builtin_clzll(x) >> 3)
#else
#define FIRST_DIFF(x) (__builtin_ctzll(x) >> 3)
#endif

// Looks position p up in the table and puts p in its place. Returns how
// many of the 16 bytes at p agree with those at the position found (0 when
// it lies too far back or the slot is empty); its distance goes to *off.
// Whether the position is usable is folded into the first comparison
// rather than tested apart: on binary data that test goes either way as
// often as the copy-or-literal decision itself, and each costs a
// mispredicted branch.
inline long probe(const unsigned char* in, long p, uint16_t* table, long* off) {
    unsigned h = hash3(in + p);
    *off = p + POS_BIAS - table[h];
    table[h] = (uint16_t)(p + POS_BIAS);
    uint64_t usable = *off <= MAX_OFFSET ? ~(uint64_t)0 : 0;
    // An unusable position is compared with p itself, and every byte
    // made to differ.
    const unsigned char* q = in + p - (*off & (long)usable);
    uint64_t x = (load64(q) ^ load64(in + p)) | ~usable;
    if (__builtin_expect(x != 0, 1)) return FIRST_DIFF(x);
    x = load64(q + 8) ^ load64(in + p + 8);
    return x ? 8 + FIRST_DIFF(x) : MAX_MATCH;
}

inline void put_header(unsigned char* out, long body_len, int stored) {
    out[0] = (unsigned char)((body_len >> 8) | (stored ? 0x80 : 0));
    out[1] = (unsigned char)(body_len & 0xFF);
}

inline void put_ctl(unsigned char* at, unsigned ctl) {
    at[0] = (unsigned char)(ctl & 0xFF);
    at[1] = (unsigned char)(ctl >> 8);
}

long store(const unsigned char* in, long len, unsigned char* out) {
    put_header(out, len, 1);
    if (len > 0) memcpy(out + COMPRESS_HDR_LEN, in, (size_t)len);
    return len + COMPRESS_HDR_LEN;
}

}  // namespace

namespace {

// Appends the item for position *p: a copy of m bytes at distance off, or
// the literal byte at p.
inline void put_item(const unsigned char* in, long* p, long m, long off, unsigned char* out,
                     long* o, unsigned* ctl, int k) {
    if (m >= MIN_MATCH) {
        out[*o] = (unsigned char)((off >> 8) << 4 | (m - 1));
        out[*o + 1] = (unsigned char)(off & 0xFF);
        *o += 2;
        *ctl |= 1u << k;
        *p += m;
    } else {
        out[(*o)++] = in[(*p)++];
    }
}

}  // namespace

long compress_chunk(const unsigned char* in, long len, unsigned char* out) {
    // Positions plus POS_BIAS, so that an empty slot (0) lies too far back.
    uint16_t table[HASH_SIZE];
    memset(table, 0, sizeof table);
    // From here on fewer than 16 bytes remain: literals only.
    const long hash_end = len - MAX_MATCH;
    long o = COMPRESS_HDR_LEN;
    long p = 0;
    while (p < len) {
        // One group. The output only grows, so testing its length once per
        // group decides as testing it after every item would.
        unsigned char* ctl_at = out + o;
        o += 2;
        unsigned ctl = 0;
        long off = 0;
        if (p + GROUP_ITEMS * MAX_MATCH <= hash_end) {
            // All sixteen items lie where matches are sought.
            for (int k = 0; k < GROUP_ITEMS; k++) {
                long m = probe(in, p, table, &off);
                put_item(in, &p, m, off, out, &o, &ctl, k);
            }
        } else {
            for (int k = 0; k < GROUP_ITEMS && p < len; k++) {
                long m = p <= hash_end ? probe(in, p, table, &off) : 0;
                put_item(in, &p, m, off, out, &o, &ctl, k);
            }
        }
        put_ctl(ctl_at, ctl);
        if (o >= len) return store(in, len, out);
    }
    if (o >= len) return store(in, len, out);
    put_header(out, o - COMPRESS_HDR_LEN, 0);
    return o;
}

long compress(const unsigned char* data, long length, unsigned char** out) {
    *out = nullptr;
    if (length < 0 || length > COMPRESS_MAX_RECORD) return -1;
    unsigned char* buf = static_cast<unsigned char*>(malloc((size_t)COMPRESS_BOUND(length)));
    if (!buf) return -1;
    *out = buf;
    return compress_chunk(data, length, buf);
}

namespace {

// A group in the middle of a body: 16 items (at most 32 bytes) after its
// control word, with this much input beyond them for the 16-byte literal
// moves, and this much output room for 16 items of up to 16 bytes plus
// the 16 bytes a move may write past an item.
#define FAST_IN (2 + 2 * GROUP_ITEMS + 16)
#define FAST_OUT (GROUP_ITEMS * MAX_MATCH + 16)

inline void copy16(unsigned char* to, const unsigned char* from) {
    memcpy(to, from, 16);
}

// Decodes one whole group at body[*i] into out[*o] with no bounds check
// per item: the caller made sure of FAST_IN input and FAST_OUT output
// bytes. Moves write up to 16 bytes past an item; later items overwrite
// them. Returns false on a corrupt copy item.
inline bool fast_group(const unsigned char* body, long* i, unsigned char* out, long* o) {
    unsigned ctl = body[*i] | (unsigned)body[*i + 1] << 8;
    const unsigned char* ip = body + *i + 2;
    unsigned char* op = out + *o;
    for (int k = 0; k < GROUP_ITEMS;) {
        // A run of literals up to the next copy item, moved at once.
        unsigned rest = ctl >> k;
        int lits = rest ? __builtin_ctz(rest) : GROUP_ITEMS - k;
        if (lits > 0) {
            copy16(op, ip);
            op += lits;
            ip += lits;
            k += lits;
            continue;
        }
        long off = (long)(ip[0] >> 4) << 8 | ip[1];
        long n = (ip[0] & 0x0F) + 1;
        ip += 2;
        k++;
        if (off == 0 || off > op - out || n < MIN_MATCH) return false;
        const unsigned char* from = op - off;
        if (off >= 16) {
            copy16(op, from);
        } else if (off >= 8) {
            memcpy(op, from, 8);
            memcpy(op + 8, from + 8, 8);
        } else {
            // A copy that repeats its own output: the first 8 bytes one
            // way, then `from` moved back by whole periods to 8 or more
            // bytes behind, for an 8-byte move.
            static const int step_in[8] = {0, 1, 2, 1, 0, 4, 4, 4};
            static const int step_back[8] = {0, 0, 0, -1, -4, 1, 2, 3};
            op[0] = from[0];
            op[1] = from[1];
            op[2] = from[2];
            op[3] = from[3];
            from += step_in[off];
            memcpy(op + 4, from, 4);
            from -= step_back[off];
            memcpy(op + 8, from, 8);
        }
        op += n;
    }
    *i = ip - body;
    *o = op - out;
    return true;
}

}  // namespace

long decompress_body(const unsigned char* body, long body_len, int stored, unsigned char* out,
                     long out_cap) {
    if (stored) {
        if (body_len > out_cap) return -1;
        if (body_len > 0) memcpy(out, body, (size_t)body_len);
        return body_len;
    }
    long i = 0;
    long o = 0;
    // More input after a group means the group is whole: decode it fast.
    while (body_len - i >= FAST_IN && out_cap - o >= FAST_OUT)
        if (!fast_group(body, &i, out, &o)) return -1;
    while (i < body_len) {
        if (body_len - i < 2) return -1;
        unsigned ctl = body[i] | (unsigned)body[i + 1] << 8;
        i += 2;
        for (int k = 0; k < GROUP_ITEMS && i < body_len; k++) {
            if (!(ctl & (1u << k))) {
                if (o >= out_cap) return -1;
                out[o++] = body[i++];
                continue;
            }
            if (body_len - i < 2) return -1;
            long off = (long)(body[i] >> 4) << 8 | body[i + 1];
            long n = (body[i] & 0x0F) + 1;
            i += 2;
            if (off == 0 || off > o || n < MIN_MATCH || n > out_cap - o) return -1;
            // Byte by byte: a copy may overlap its own output.
            for (long j = 0; j < n; j++, o++) out[o] = out[o - off];
        }
    }
    return o;
}

long decompress(ioch* ch, unsigned char** out) {
    const unsigned char* hdr;
    long got = ioch_cpt_read(ch, COMPRESS_HDR_LEN, &hdr);
    if (got <= 0) return got;
    int stored = got == COMPRESS_HDR_LEN && (hdr[0] & 0x80);
    long body_len = got == COMPRESS_HDR_LEN ? (long)(hdr[0] & 0x7F) << 8 | hdr[1] : 0;
    const unsigned char* body;
    // The writer never sends an empty chunk; one would read as the end.
    if (body_len == 0 || ioch_cpt_read(ch, body_len, &body) != body_len) {
        if (!ch->error) ch->error = IOCH_EREAD;
        return -1;
    }
    long n = decompress_body(body, body_len, stored, ch->rec, COMPRESS_MAX_OUT);
    if (n <= 0) {
        ch->error = IOCH_EREAD;
        return -1;
    }
    *out = ch->rec;
    return n;
}
