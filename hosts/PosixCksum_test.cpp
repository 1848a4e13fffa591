#include "hosts/PosixCksum.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

// The system's cksum is the reference, for lengths around the byte
// boundaries of the length that is folded in.
TEST(PosixCksum, AgreesWithTheCksumUtility) {
    testutil::TempDir dir;
    for (size_t n : {0ul, 1ul, 3ul, 255ul, 256ul, 65535ul, 65536ul, 1000003ul}) {
        SCOPED_TRACE(n);
        std::string data = testutil::randomBytes(n, unsigned(n));
        std::string want = testutil::cksumOf(data);
        EXPECT_EQ(posixCksum(data.data(), long(data.size())).str(), want);
        EXPECT_EQ(posixCksumOfFile(dir.write("f", data).c_str()).str(), want);
    }
    EXPECT_EQ(posixCksum("abc", 3), "1219131554 3");
    EXPECT_EQ(posixCksumOfFile(dir.file("missing").c_str()), "");
}

}  // namespace
