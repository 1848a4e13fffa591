#include "cksum.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/test_util.h"

namespace {

std::string hex(const unsigned char* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string md5_hex(const std::string& text) {
    cksum_md5 md;
    cksum_md5_init(&md);
    cksum_md5_update(&md, text.data(), text.size());
    unsigned char d[CKSUM_DIGEST_LEN];
    cksum_md5_final(&md, d);
    return hex(d, sizeof d);
}

struct Rfc1321Case {
    const char* text;
    const char* digest;
};

TEST(Md5, Rfc1321TestSuite) {
    const Rfc1321Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) EXPECT_EQ(md5_hex(c.text), c.digest) << '"' << c.text << '"';
}

TEST(Md5, MillionAs) {
    EXPECT_EQ(md5_hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

// Lengths around the 56-byte padding limit and the 64-byte block.
TEST(Md5, PaddingBoundaries) {
    EXPECT_EQ(md5_hex(std::string(55, 'x')), "04364420e25c512fd958a70738aa8f72");
    EXPECT_EQ(md5_hex(std::string(56, 'x')), "668a72d5ba17f08e62dabcafad6db14b");
    EXPECT_EQ(md5_hex(std::string(64, 'x')), "c1bb4f81d892b2d57947682aeb252456");
}

TEST(Md5, PiecewiseUpdatesEqualOneShot) {
    std::string text;
    for (int i = 0; i < 300; i++) text += char(i * 7 + 3);
    const std::string whole = md5_hex(text);
    for (size_t step = 1; step <= 130; step++) {
        cksum_md5 md;
        cksum_md5_init(&md);
        for (size_t at = 0; at < text.size(); at += step)
            cksum_md5_update(&md, text.data() + at, std::min(step, text.size() - at));
        unsigned char d[CKSUM_DIGEST_LEN];
        cksum_md5_final(&md, d);
        EXPECT_EQ(hex(d, sizeof d), whole) << "step " << step;
    }
}

TEST(Cksum, CheckBytesArePrefixOfRunningDigest) {
    cksum_state cs;
    cksum_init(&cs);
    cksum_add(&cs, "mess", 4);
    EXPECT_EQ(hex(cksum_ptr(&cs), CKSUM_CHECK_LEN), "f664237e19ad7e81");
    // Taking the check value does not disturb the running state.
    cksum_add(&cs, "age digest", 10);
    EXPECT_EQ(hex(cksum_ptr(&cs), CKSUM_CHECK_LEN), "f96b697d7cb7938d");
}

TEST(Cksum, EqualComparesEightBytes) {
    cksum_state cs;
    cksum_init(&cs);
    cksum_add(&cs, "abc", 3);
    unsigned char check[CKSUM_CHECK_LEN] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0};
    EXPECT_EQ(cksum_equal(&cs, check), 1);
    check[7] ^= 1;
    EXPECT_EQ(cksum_equal(&cs, check), 0);
}

TEST(Md5File, DigestOfFileContents) {
    testutil::TempDir dir;
    std::string text;
    for (int i = 0; i < 200000; i++) text += char('a' + i % 23);
    const std::string path = dir.write("f", text);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    unsigned char d[CKSUM_DIGEST_LEN];
    EXPECT_EQ(md5file_fd(fd, d), 0);
    close(fd);
    EXPECT_EQ(hex(d, sizeof d), md5_hex(text));
}

TEST(Md5File, ReadFailureIsReported) {
    testutil::TempDir dir;
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    unsigned char d[CKSUM_DIGEST_LEN];
    errno = 0;
    EXPECT_EQ(md5file_fd(fd, d), -1);
    EXPECT_EQ(errno, EISDIR);
    close(fd);
}

}  // namespace
