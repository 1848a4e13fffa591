#include "fp_ops.h"

#include <gtest/gtest.h>

#include "ctxt_test_util.h"
#include "fpack.h"

namespace {

TEST(ParseMods, NumbersOrLetters) {
    struct Case {
        const char* text;
        int rv;
        long mask;
    };
    const Case cases[] = {
        {"12", 0, 12},
        {"dca", 0, FP_MOD_D | FP_MOD_C | FP_MOD_A},
        {"ozu", 0, FP_MOD_O | FP_MOD_Z | FP_MOD_U},
        {"hknNCP", 0, FP_MOD_H | FP_MOD_K | FP_MOD_N | FP_MOD_NOCHECK | FP_MOD_CNTL | FP_MOD_P},
        {"dq", -1, -5},
        {"1d", -1, -5},
        {"", -1, -5},
    };
    for (const Case& c : cases) {
        long mask = -5;
        EXPECT_EQ(fp_parse_mods(c.text, &mask), c.rv) << c.text;
        EXPECT_EQ(mask, c.mask) << c.text;
    }
}

TEST(Operation, UnknownCodesFailWithAMessage) {
    for (int code : {0, 8, 18, 19, 29}) {
        fptest::Ctxt x;
        EXPECT_EQ(fp_operation(x.ct, code, FP_MOD_DEFAULT), 1);
        EXPECT_EQ(x.msgs(), "unknown code (" + std::to_string(code) + ")\n");
        long mods = 0;
        EXPECT_EQ(fp_get_ptype(x.ct, &mods), code);
        EXPECT_EQ(mods, FP_MOD_DEFAULT);
    }
}

TEST(Context, HeaderBitsAreCopied) {
    fptest::Ctxt x;
    uint32_t bits[2] = {0x5, 0x80000000u};
    ASSERT_EQ(fp_set_hdr_bits(x.ct, bits, 2), 0);
    bits[0] = 0;
    const uint32_t* got;
    int words;
    fp_get_hdr_bits(x.ct, &got, &words);
    EXPECT_EQ(words, 2);
    EXPECT_EQ(x.ct->hdr_maxbit, 63);
    EXPECT_EQ(got[0], 0x5u);
    EXPECT_EQ(got[1], 0x80000000u);
}

}  // namespace
