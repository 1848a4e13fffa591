// The record decompressor: a chunk body as it comes off a block, the
// compressed record layer of a channel (with and without check bytes), and
// the round trip of the input through the compressor, which must give the
// input back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compress.h"
#include "io_chan.h"
#include "no_side_effects.h"

namespace {

[[noreturn]] void fail(const char* what, size_t size) {
    fprintf(stderr, "decompress_fuzz: %s (input of %zu bytes)\n", what, size);
    abort();
}

// The body alone, into a buffer of exactly the room it is given, so that
// a write past it is caught.
void decodeBody(const uint8_t* data, size_t size) {
    if (size == 0) return;
    std::vector<unsigned char> out(COMPRESS_MAX_OUT);
    long n =
        decompress_body(data + 1, long(size - 1), data[0] & 0x80, out.data(), long(out.size()));
    if (n < -1 || n > long(out.size())) fail("record length out of range", size);
}

// The stream as a channel reads it, record by record.
void readChannel(const uint8_t* data, size_t size, int checked) {
    ioch* ch = ioch_data_init(reinterpret_cast<const char*>(data), long(size));
    if (ch == nullptr || ioch_options(ch, 0, 1, checked) != 0) abort();
    std::vector<unsigned char> buf(4096);
    // Each read either takes bytes or ends the stream.
    while (ioch_read_exact(ch, buf.data(), long(buf.size())) == long(buf.size())) {
    }
    ioch_dispose(ch);
}

void roundTrip(const uint8_t* data, size_t size) {
    long len = long(size < COMPRESS_MAX_RECORD ? size : COMPRESS_MAX_RECORD);
    unsigned char* chunk;
    long clen = compress(data, len, &chunk);
    if (clen < 0) abort();
    if (clen < COMPRESS_HDR_LEN || clen > len + COMPRESS_HDR_LEN) fail("chunk length", size);
    long body = long(chunk[0] & 0x7F) << 8 | chunk[1];
    if (body != clen - COMPRESS_HDR_LEN) fail("chunk header length", size);
    std::vector<unsigned char> out(size_t(len) + 1);
    long n = decompress_body(chunk + COMPRESS_HDR_LEN, body, chunk[0] & 0x80, out.data(),
                             long(out.size()));
    if (n != len || memcmp(out.data(), data, size_t(len)) != 0) fail("round trip differs", size);
    free(chunk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Small records: more of them, and chunk boundaries, in a short input.
    static const bool ready = (setenv("TRELL_BUF_SIZE", "512", 1), true);
    (void)ready;
    NoSideEffects guard;
    decodeBody(data, size);
    readChannel(data, size, 0);
    readChannel(data, size, 1);
    roundTrip(data, size);
    return 0;
}
