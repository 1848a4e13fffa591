// MD5 after RFC 1321, the record check value built on it, and file digests.
#include "cksum.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

namespace {

inline uint32_t rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

inline uint32_t load_le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store_le32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

// The four auxiliary functions, written so that few operations wait for x,
// the word computed last: each step waits for the one before, so their
// depth in x sets the speed. G's two terms share no bit, so their sum is
// their union; the other terms of G and H come before x is known.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) (((x) & (z)) + ((y) & ~(z)))
#define MD5_H(x, y, z) ((x) ^ ((y) ^ (z)))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, xk, t, s) \
    (a) += (xk) + (t);                    \
    (a) += f((b), (c), (d));              \
    (a) = rotl((a), (s)) + (b)

// Processes `nblocks` 64-byte blocks.
void md5_blocks(uint32_t abcd[4], const unsigned char* p, size_t nblocks) {
    uint32_t a = abcd[0], b = abcd[1], c = abcd[2], d = abcd[3];
    for (; nblocks > 0; nblocks--, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; i++) x[i] = load_le32(p + 4 * i);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

        MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    abcd[0] = a;
    abcd[1] = b;
    abcd[2] = c;
    abcd[3] = d;
}

}  // namespace

void cksum_md5_init(cksum_md5* md) {
    md->abcd[0] = 0x67452301;
    md->abcd[1] = 0xefcdab89;
    md->abcd[2] = 0x98badcfe;
    md->abcd[3] = 0x10325476;
    md->nbytes = 0;
}

void cksum_md5_update(cksum_md5* md, const void* data, size_t len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t have = md->nbytes % 64;
    md->nbytes += len;
    if (have != 0) {
        size_t take = 64 - have < len ? 64 - have : len;
        memcpy(md->block + have, p, take);
        p += take;
        len -= take;
        if (have + take < 64) return;
        md5_blocks(md->abcd, md->block, 1);
    }
    md5_blocks(md->abcd, p, len / 64);
    memcpy(md->block, p + len / 64 * 64, len % 64);
}

void cksum_md5_final(cksum_md5* md, unsigned char digest[CKSUM_DIGEST_LEN]) {
    const uint64_t bits = md->nbytes * 8;
    static const unsigned char pad[64] = {0x80};
    size_t have = md->nbytes % 64;
    cksum_md5_update(md, pad, have < 56 ? 56 - have : 120 - have);
    unsigned char len_le[8];
    store_le32(len_le, (uint32_t)bits);
    store_le32(len_le + 4, (uint32_t)(bits >> 32));
    cksum_md5_update(md, len_le, sizeof len_le);
    for (int i = 0; i < 4; i++) store_le32(digest + 4 * i, md->abcd[i]);
}

void cksum_init(cksum_state* cs) {
    cksum_md5_init(&cs->md);
    memset(cs->check, 0, sizeof cs->check);
}

void cksum_add(cksum_state* cs, const void* data, size_t len) {
    cksum_md5_update(&cs->md, data, len);
}

const unsigned char* cksum_ptr(cksum_state* cs) {
    cksum_md5 copy = cs->md;
    unsigned char digest[CKSUM_DIGEST_LEN];
    cksum_md5_final(&copy, digest);
    memcpy(cs->check, digest, CKSUM_CHECK_LEN);
    return cs->check;
}

int cksum_equal(cksum_state* cs, const unsigned char* check) {
    return memcmp(cksum_ptr(cs), check, CKSUM_CHECK_LEN) == 0;
}

unsigned long cksum_word(const unsigned char digest[CKSUM_DIGEST_LEN]) {
    return ((unsigned long)digest[0] << 24) | ((unsigned long)digest[1] << 16) |
           ((unsigned long)digest[2] << 8) | digest[3];
}

int md5file_fd(int fd, unsigned char digest[CKSUM_DIGEST_LEN]) {
    cksum_md5 md;
    cksum_md5_init(&md);
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        cksum_md5_update(&md, buf, (size_t)n);
    }
    cksum_md5_final(&md, digest);
    return 0;
}
