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

// How many of the 16 bytes at `a` and `b` agree from the start.
inline long match_len(const unsigned char* a, const unsigned char* b) {
    uint64_t x = load64(a) ^ load64(b);
    if (x) return FIRST_DIFF(x);
    x = load64(a + 8) ^ load64(b + 8);
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
        for (int k = 0; k < GROUP_ITEMS && p < len; k++) {
            long m = 0;
            long off = 0;
            if (p <= hash_end) {
                unsigned h = hash3(in + p);
                off = p + POS_BIAS - table[h];
                table[h] = (uint16_t)(p + POS_BIAS);
                if (off <= MAX_OFFSET) m = match_len(in + p - off, in + p);
            }
            if (m >= MIN_MATCH) {
                out[o++] = (unsigned char)((off >> 8) << 4 | (m - 1));
                out[o++] = (unsigned char)(off & 0xFF);
                ctl |= 1u << k;
                p += m;
            } else {
                out[o++] = in[p++];
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

long decompress_body(const unsigned char* body, long body_len, int stored, unsigned char* out,
                     long out_cap) {
    if (stored) {
        if (body_len > out_cap) return -1;
        if (body_len > 0) memcpy(out, body, (size_t)body_len);
        return body_len;
    }
    long i = 0;
    long o = 0;
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
    unsigned char hdr[COMPRESS_HDR_LEN];
    long got = ioch_cpt_read(ch, hdr, COMPRESS_HDR_LEN);
    if (got <= 0) return got;
    long body_len = (long)(hdr[0] & 0x7F) << 8 | hdr[1];
    // The writer never sends an empty chunk; one would read as the end.
    if (got < COMPRESS_HDR_LEN || body_len == 0 ||
        ioch_cpt_read(ch, ch->cunit, body_len) != body_len) {
        if (!ch->error) ch->error = IOCH_EREAD;
        return -1;
    }
    long n = decompress_body(ch->cunit, body_len, hdr[0] & 0x80, ch->rec, COMPRESS_MAX_OUT);
    if (n <= 0) {
        ch->error = IOCH_EREAD;
        return -1;
    }
    *out = ch->rec;
    return n;
}
