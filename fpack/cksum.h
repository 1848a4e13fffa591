// MD5 message digest (RFC 1321) and the running check value of the record
// layer: the first 8 bytes of the digest of everything added so far.
#pragma once

#include <cstddef>
#include <cstdint>

#define CKSUM_DIGEST_LEN 16
// Check bytes appended to each record.
#define CKSUM_CHECK_LEN 8

struct cksum_md5 {
    uint32_t abcd[4];
    uint64_t nbytes;          // bytes added so far
    unsigned char block[64];  // pending partial block (nbytes % 64 bytes)
};

void cksum_md5_init(cksum_md5* md);
void cksum_md5_update(cksum_md5* md, const void* data, size_t len);
// Writes the digest; `md` is left finalized (re-init before reuse).
void cksum_md5_final(cksum_md5* md, unsigned char digest[CKSUM_DIGEST_LEN]);

// Running check state of one stream.
struct cksum_state {
    cksum_md5 md;
    unsigned char check[CKSUM_CHECK_LEN];  // last value computed by cksum_ptr
};

void cksum_init(cksum_state* cs);
void cksum_add(cksum_state* cs, const void* data, size_t len);
// The check bytes of the stream so far (a finalized copy of the running
// state; the state goes on). The pointer is into `cs`, valid until the next
// call.
const unsigned char* cksum_ptr(cksum_state* cs);
// 1 when `check` (CKSUM_CHECK_LEN bytes) equals the stream's check bytes so
// far, else 0.
int cksum_equal(cksum_state* cs, const unsigned char* check);

// The first four bytes of a digest as a big-endian number: the check field
// of a node header.
unsigned long cksum_word(const unsigned char digest[CKSUM_DIGEST_LEN]);

// MD5 of everything readable from `fd` (from its current offset to the end).
// Returns 0, or -1 with errno set when a read fails.
int md5file_fd(int fd, unsigned char digest[CKSUM_DIGEST_LEN]);
