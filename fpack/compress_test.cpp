#include "compress.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes chunk_of(const Bytes& in) {
    Bytes out(COMPRESS_BOUND(in.size()));
    long n = compress_chunk(in.data(), (long)in.size(), out.data());
    out.resize((size_t)n);
    return out;
}

long body_len(const Bytes& chunk) {
    return (chunk[0] & 0x7F) << 8 | chunk[1];
}
bool stored(const Bytes& chunk) {
    return chunk[0] & 0x80;
}

Bytes decode(const Bytes& chunk, long cap = COMPRESS_MAX_OUT) {
    Bytes out((size_t)cap);
    long n =
        decompress_body(chunk.data() + 2, (long)chunk.size() - 2, stored(chunk), out.data(), cap);
    if (n < 0) return {0xDE, 0xAD};
    out.resize((size_t)n);
    return out;
}

Bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = (unsigned char)rng();
    return b;
}

Bytes text_bytes(size_t n) {
    static const char* words[] = {"package ", "install ", "the ", "file ", "host ",
                                  "record ",  "block ",   "of ",  "\n",    "keyword= "};
    Bytes b;
    std::mt19937 rng(7);
    while (b.size() < n) {
        const char* w = words[rng() % 10];
        b.insert(b.end(), w, w + strlen(w));
    }
    b.resize(n);
    return b;
}

// "a" x 40: one literal, a 16-byte copy at offset 1, a 16-byte copy at
// offset 16 (the table holds position 1 then), seven trailing literals
// (fewer than 16 bytes left). Control word 0x0006, little-endian.
TEST(Compress, HandCheckedChunk) {
    const Bytes expect = {0x00, 0x0E, 0x06, 0x00, 'a', 0x0F, 0x01, 0x0F,
                          0x10, 'a',  'a',  'a',  'a', 'a',  'a',  'a'};
    EXPECT_EQ(chunk_of(Bytes(40, 'a')), expect);
}

// "abc" and "vjg" share hash slot 2749, so the second "abc" finds the slot
// taken by "vjg" and stays a literal. Then "z" x 40 as above; 20 items make
// a second group of three literals with an all-zero control word.
TEST(Compress, HandCheckedChunkWithCollisionAndSecondGroup) {
    std::string text = "abcvjgabc" + std::string(40, 'z');
    const Bytes expect = {0x00, 0x19, 0x00, 0x0C, 'a',  'b',  'c',  'v',  'j',
                          'g',  'a',  'b',  'c',  'z',  0x0F, 0x01, 0x0F, 0x10,
                          'z',  'z',  'z',  'z',  0x00, 0x00, 'z',  'z',  'z'};
    EXPECT_EQ(chunk_of(Bytes(text.begin(), text.end())), expect);
}

// Exactly 16 items: the group is complete and no empty group follows.
TEST(Compress, FullLastGroupHasNoTrailingControlWord) {
    Bytes chunk = chunk_of(Bytes(46, 'a'));
    ASSERT_FALSE(stored(chunk));
    // control word, literal, two copies, 13 literals
    EXPECT_EQ(body_len(chunk), 2 + 1 + 2 + 2 + 13);
    EXPECT_EQ(chunk[2] | chunk[3] << 8, 0x0006);
    EXPECT_EQ(decode(chunk), Bytes(46, 'a'));
}

TEST(Compress, IncompressibleRecordIsStoredUnchanged) {
    Bytes in = random_bytes(16384, 1);
    Bytes chunk = chunk_of(in);
    ASSERT_EQ(chunk.size(), in.size() + 2);
    EXPECT_EQ(chunk[0], 0x80 | (16384 >> 8));
    EXPECT_EQ(chunk[1], 0x00);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), chunk.begin() + 2));
}

// Fewer than 16 bytes are all literals, so they never shrink: stored.
TEST(Compress, ShortInputsAreStored) {
    for (size_t n : {0, 1, 3, 15}) {
        Bytes in(n, 'z');
        Bytes chunk = chunk_of(in);
        EXPECT_TRUE(stored(chunk)) << n;
        EXPECT_EQ(body_len(chunk), (long)n);
        EXPECT_EQ(decode(chunk), in);
    }
}

TEST(Compress, LongRepeatsShrinkAndRoundTrip) {
    Bytes in;
    for (int i = 0; in.size() < COMPRESS_MAX_RECORD; i++) in.push_back("0123456789ab"[i % 12]);
    in.resize(COMPRESS_MAX_RECORD);
    Bytes chunk = chunk_of(in);
    EXPECT_FALSE(stored(chunk));
    // Mostly 16-byte copies of 2 bytes each plus control words.
    EXPECT_LT(chunk.size(), in.size() / 7);
    EXPECT_EQ(decode(chunk), in);
}

TEST(Compress, RoundTripsAcrossSizesAndKinds) {
    for (size_t n : {16, 17, 100, 4095, 4096, 4097, 16384, 32767}) {
        for (int kind = 0; kind < 3; kind++) {
            Bytes in = kind == 0   ? text_bytes(n)
                       : kind == 1 ? random_bytes(n, (unsigned)n)
                                   : Bytes(n, 0);
            Bytes chunk = chunk_of(in);
            EXPECT_LE(chunk.size(), in.size() + 2);
            EXPECT_EQ(decode(chunk), in) << "size " << n << " kind " << kind;
        }
    }
}

TEST(Compress, AllocatingFormRejectsOversizedRecords) {
    unsigned char* out = nullptr;
    Bytes in(COMPRESS_MAX_RECORD + 1, 'q');
    EXPECT_EQ(compress(in.data(), (long)in.size(), &out), -1);
    EXPECT_EQ(out, nullptr);
    long n = compress(in.data(), COMPRESS_MAX_RECORD, &out);
    ASSERT_GT(n, 0);
    Bytes chunk(out, out + n);
    free(out);
    EXPECT_EQ(decode(chunk), Bytes(COMPRESS_MAX_RECORD, 'q'));
}

// The compressor as the format describes it, one item at a time: the
// one in compress.cpp must make the very same chunks, so that blocks stay
// what every writer made before.
Bytes reference_chunk(const Bytes& in) {
    const long len = (long)in.size();
    Bytes out(COMPRESS_BOUND(in.size()) + 2);
    long table[4096];
    for (long& t : table) t = -1;
    long o = 2, p = 0, ctl_at = 0, items = 0;
    unsigned ctl = 0;
    auto stored = [&] {
        Bytes s = {(unsigned char)(len >> 8 | 0x80), (unsigned char)(len & 0xFF)};
        s.insert(s.end(), in.begin(), in.end());
        return s;
    };
    while (p < len) {
        if (items % 16 == 0) {
            if (items > 0) {
                out[ctl_at] = (unsigned char)ctl;
                out[ctl_at + 1] = (unsigned char)(ctl >> 8);
            }
            ctl_at = o;
            o += 2;
            ctl = 0;
        }
        long m = 0, q = -1;
        if (len - p >= 16) {
            unsigned h =
                (((((unsigned)in[p] << 4) ^ in[p + 1]) << 4) ^ in[p + 2]) * 40543u >> 4 & 4095;
            q = table[h];
            table[h] = p;
            if (q >= 0 && p - q <= 4095)
                while (m < 16 && in[q + m] == in[p + m]) m++;
        }
        if (m >= 3) {
            out[o++] = (unsigned char)(((p - q) >> 8) << 4 | (m - 1));
            out[o++] = (unsigned char)((p - q) & 0xFF);
            ctl |= 1u << (items % 16);
            p += m;
        } else {
            out[o++] = in[p++];
        }
        items++;
        if (o >= len) return stored();
    }
    if (items > 0) {
        out[ctl_at] = (unsigned char)ctl;
        out[ctl_at + 1] = (unsigned char)(ctl >> 8);
    }
    if (o >= len) return stored();
    out[0] = (unsigned char)((o - 2) >> 8);
    out[1] = (unsigned char)((o - 2) & 0xFF);
    out.resize((size_t)o);
    return out;
}

// Data with matches near and far, short and long, amid literals: the
// decisions the compressor makes all occur.
Bytes mixed_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        unsigned kind = rng() % 4;
        if (kind == 0 || b.size() < 20) {
            for (unsigned i = rng() % 12; i > 0; i--) b.push_back((unsigned char)rng());
        } else {
            size_t back = 1 + rng() % std::min<size_t>(b.size(), kind == 1 ? 8 : 5000);
            size_t from = b.size() - back;
            for (unsigned i = 2 + rng() % 20; i > 0; i--) b.push_back(b[from++]);
        }
    }
    b.resize(n);
    return b;
}

TEST(Compress, SameChunksAsTheItemByItemDefinition) {
    for (size_t n : {16, 17, 255, 4096, 4111, 16384, 16376, 32767}) {
        for (unsigned seed = 0; seed < 4; seed++) {
            const Bytes kinds[] = {text_bytes(n), random_bytes(n, seed),
                                   Bytes(n, (unsigned char)seed), mixed_bytes(n, seed)};
            for (const Bytes& in : kinds) ASSERT_EQ(chunk_of(in), reference_chunk(in)) << n;
        }
    }
}

// Bodies of copies at every distance and length the format allows, and
// literals between them, decode as the format defines them: the fast path
// for whole groups and the careful one for the last bytes agree with it,
// whatever room the output leaves.
TEST(Decompress, EveryCopyDecodesAsDefined) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 300; round++) {
        Bytes body, expect;
        size_t target = 50 + rng() % 20000;
        while (expect.size() < target) {
            unsigned ctl = 0;
            size_t ctl_at = body.size();
            body.insert(body.end(), {0, 0});
            for (int k = 0; k < 16; k++) {
                if (expect.size() < 3 || rng() % 3 == 0) {
                    unsigned char c = (unsigned char)rng();
                    body.push_back(c);
                    expect.push_back(c);
                    continue;
                }
                size_t far = std::min<size_t>(expect.size(), 4095);
                // Short distances (which repeat the output) as often as long ones.
                size_t off = rng() % 2 ? 1 + rng() % std::min<size_t>(far, 16) : 1 + rng() % far;
                size_t len = 3 + rng() % 14;
                body.push_back((unsigned char)((off >> 8) << 4 | (len - 1)));
                body.push_back((unsigned char)(off & 0xFF));
                for (size_t j = 0; j < len; j++) expect.push_back(expect[expect.size() - off]);
                ctl |= 1u << k;
            }
            body[ctl_at] = (unsigned char)ctl;
            body[ctl_at + 1] = (unsigned char)(ctl >> 8);
        }
        for (long slack : {0L, 1L, 300L}) {
            long cap = (long)expect.size() + slack;
            Bytes out((size_t)cap + 16, 0xEE);
            ASSERT_EQ(decompress_body(body.data(), (long)body.size(), 0, out.data(), cap),
                      (long)expect.size())
                << "round " << round;
            EXPECT_TRUE(std::equal(expect.begin(), expect.end(), out.begin())) << round;
            for (size_t i = (size_t)cap; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE) << round;
        }
        // One byte of room less: refused, nothing written past the room.
        long cap = (long)expect.size() - 1;
        Bytes out((size_t)cap + 16, 0xEE);
        EXPECT_EQ(decompress_body(body.data(), (long)body.size(), 0, out.data(), cap), -1);
        for (size_t i = (size_t)cap; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE) << round;
    }
}

struct BadBody {
    const char* what;
    Bytes body;
    long cap;
};

TEST(Decompress, CorruptBodiesAreErrors) {
    const BadBody cases[] = {
        {"control word cut short", {0x00}, 64},
        {"copy item cut short", {0x01, 0x00, 0x12}, 64},
        {"copy before the start", {0x02, 0x00, 'a', 0x02, 0x02}, 64},
        {"copy at offset 0", {0x02, 0x00, 'a', 0x02, 0x00}, 64},
        {"copy shorter than 3", {0x02, 0x00, 'a', 0x01, 0x01}, 64},
        {"literals past the output", {0x00, 0x00, 'a', 'b', 'c'}, 2},
        {"copy past the output", {0x02, 0x00, 'a', 0x0F, 0x01}, 10},
    };
    for (const auto& c : cases) {
        Bytes out((size_t)c.cap + 16, 0xEE);
        EXPECT_EQ(decompress_body(c.body.data(), (long)c.body.size(), 0, out.data(), c.cap), -1)
            << c.what;
        // Nothing beyond the capacity was touched.
        for (size_t i = (size_t)c.cap; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE) << c.what;
    }
    Bytes big(100, 'x');
    unsigned char out[50];
    EXPECT_EQ(decompress_body(big.data(), 100, 1, out, sizeof out), -1);
}

// The largest offset and an overlapping copy decode as written.
TEST(Decompress, OffsetLimitsAndOverlap) {
    Bytes body = {0x00, 0x00};
    for (int i = 0; i < 16; i++) body.push_back('a' + i);
    // Group 2: copy offset 16 length 16, then copy offset 1 length 3.
    Bytes tail = {0x03, 0x00, 0x0F, 0x10, 0x02, 0x01};
    body.insert(body.end(), tail.begin(), tail.end());
    Bytes out(64);
    long n = decompress_body(body.data(), (long)body.size(), 0, out.data(), 64);
    ASSERT_EQ(n, 35);
    std::string s(out.begin(), out.begin() + n);
    EXPECT_EQ(s, "abcdefghijklmnopabcdefghijklmnopppp");

    Bytes lit;
    for (int g = 0; g < 256; g++) {  // 4,096 literals in 256 groups
        lit.push_back(0);
        lit.push_back(0);
        for (int i = 0; i < 16; i++) lit.push_back((unsigned char)(g + i));
    }
    Bytes ok = lit;
    ok.insert(ok.end(), {0x01, 0x00, 0xF2, 0xFF});  // offset 4095, length 3
    Bytes dec(5000);
    EXPECT_EQ(decompress_body(ok.data(), (long)ok.size(), 0, dec.data(), 5000), 4099);
    EXPECT_EQ(dec[4096], dec[1]);
    EXPECT_EQ(dec[4098], dec[3]);
}

// Hostile input: random bodies and damaged real chunks never read or write
// out of bounds (run under the sanitizers); they decode or fail.
TEST(Decompress, GarbageNeverCrashes) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; round++) {
        size_t len = rng() % 700;
        Bytes body = random_bytes(len, (unsigned)round);
        long cap = (long)(rng() % 2000);
        Bytes out((size_t)cap + 1);
        long n = decompress_body(body.data(), (long)len, (int)(rng() % 2), out.data(), cap);
        ASSERT_LE(n, cap);
    }
    Bytes text = text_bytes(8000);
    Bytes good = chunk_of(text);
    for (int round = 0; round < 5000; round++) {
        Bytes bad = good;
        for (int k = 0; k < 3; k++)
            bad[2 + rng() % (bad.size() - 2)] ^= (unsigned char)(1 + rng() % 255);
        Bytes out(8000);
        long n = decompress_body(bad.data() + 2, (long)bad.size() - 2, 0, out.data(), 8000);
        ASSERT_LE(n, 8000);
    }
}

}  // namespace
