// The native record compressor: one record becomes one chunk.
//
// Chunk: a 2-byte big-endian header (bit 15 set = stored uncompressed, bits
// 0-14 the body length) and the body. A compressed body is a sequence of
// groups: a little-endian 16-bit control word, then up to 16 items; bit i
// says whether item i is a literal byte (0) or a 2-byte copy (1): offset
// (high nibble of B0) * 256 + B1 back (1..4095), length low nibble + 1
// (3..16). The hash table of earlier positions is empty for every record.
#pragma once

struct ioch;

// Longest record a chunk can carry: the length field has 15 bits.
#define COMPRESS_MAX_RECORD 32767
// Longest record decompression accepts (the largest record size of any
// writer); anything longer is a corrupt chunk.
#define COMPRESS_MAX_OUT 65536
// Room compress_chunk needs for a record of n bytes.
#define COMPRESS_BOUND(n) ((n) + 34)
#define COMPRESS_HDR_LEN 2
#define COMPRESS_STORED 0x8000

// Compresses `len` bytes (0..COMPRESS_MAX_RECORD) into a chunk at `out`,
// which has COMPRESS_BOUND(len) bytes of room. Returns the chunk length,
// header included. A record that does not shrink is stored.
long compress_chunk(const unsigned char* in, long len, unsigned char* out);

// Allocating form: *out receives a malloc'd chunk (the caller frees it).
// Returns the chunk length, or -1 when memory fails or `length` is outside
// 0..COMPRESS_MAX_RECORD.
long compress(const unsigned char* data, long length, unsigned char** out);

// Decodes one chunk body into `out` (room for `out_cap` bytes). Returns the
// record length, or -1 when the body is corrupt (a copy reaching before the
// start, a truncated item, an impossible length) or would exceed `out_cap`.
// Never reads or writes outside the two buffers.
long decompress_body(const unsigned char* body, long body_len, int stored, unsigned char* out,
                     long out_cap);

// Reads the next chunk of the channel's compressed stream and decodes it into
// the channel's record buffer; *out points at the record. Returns the record
// length, 0 at the end of the input, -1 on failure (the channel's error is
// set: 62 for a short or corrupt chunk, or the transport's code).
long decompress(ioch* ch, unsigned char** out);
