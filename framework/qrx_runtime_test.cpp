#include "framework/qrx_runtime.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/test_util.h"

namespace {

void* copyInt(const void* v) {
    return v ? new int(*static_cast<const int*>(v)) : nullptr;
}
void releaseInt(void* v) {
    delete static_cast<int*>(v);
}
const TypeCode intType = {"Test::Int", copyInt, releaseInt};

TEST(Runtime, InitRegistersTheProgramsTypes) {
    EXPECT_EQ(qrx_lookup_type("Test::Int"), nullptr);
    const TypeCode* types[] = {&intType};
    QRX_TypeRepository repository = {types, 1};
    qrx_init(&repository);
    EXPECT_EQ(qrx_lookup_type("Test::Int"), &intType);
    EXPECT_EQ(qrx_lookup_type("QRX_Types::StringList"), &QRX_Types_tc_StringList);
    EXPECT_EQ(qrx_lookup_type("string"), &QRX_tc_string);
    EXPECT_EQ(qrx_lookup_type("Test::Other"), nullptr);
    qrx_init(nullptr);  // nothing further to register
    EXPECT_EQ(qrx_lookup_type(nullptr), nullptr);
}

TEST(RuntimeDeathTest, ClientExitEndsWithTheStatusAndFlushesOutput) {
    testutil::TempDir dir;
    std::string path = dir.file("out");
    EXPECT_EXIT(
        {
            std::FILE* f = std::fopen(path.c_str(), "w");
            std::fputs("pending text", f);
            qrx_client_exit(2);
        },
        ::testing::ExitedWithCode(2), "");
    EXPECT_EQ(testutil::readFile(path), "pending text");
}

}  // namespace
