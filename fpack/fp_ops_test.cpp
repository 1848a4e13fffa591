#include "fp_ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctxt_test_util.h"
#include "fpack.h"
#include "fppack.h"
#include "tests/test_util.h"

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

// An install tells the one streaming the block in whether it read all of
// it: only a stream that ends after the trailer of its last package earns
// the line, whatever the exit status says.
TEST(InstallCompletion, LineOnlyWhenTheStreamEndsAfterTheLastTrailer) {
    testutil::TempDir d;
    const std::string body(3000, 'b');
    ASSERT_EQ(testutil::run({"mkdir", "-p", d.file("src/tree"), d.file("dst")}).status, 0);
    d.write("src/tree/file", body);
    const std::string desc =
        d.write("tree.fpd", "#*KFP-v2.07\ndescend_dirs=y\nsrc_relpath=" + d.file("src") +
                                "\ndefault_dest=" + d.file("dst") + "\n%\ntree\n%\n%\n");
    testutil::RunResult packed = testutil::run({FPACK_BIN, "-f", d.file("b.fpb"), desc});
    ASSERT_EQ(packed.status, 0) << packed.err;
    const std::string block = testutil::readFile(d.file("b.fpb"));
    const size_t trailer = block.find(FP_TRAILER_NAME) - FP_NODE_HDR_LEN;
    ASSERT_EQ(block.compare(trailer, 6, "070702"), 0);
    const size_t inBody = block.find(body) + body.size() / 2;
    const size_t firstNode = block.find("070702");

    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string input;
        int status;
        std::string out;
    } cases[] = {
        {"whole block", {"-u"}, block, 0, FP_BLOCK_READ_LINE},
        {"two blocks in one stream", {"-u"}, block + block, 0, FP_BLOCK_READ_LINE},
        {"cut before the trailer", {"-u"}, block.substr(0, trailer), 3, ""},
        {"cut inside a file", {"-u"}, block.substr(0, inBody), 3, ""},
        {"second block cut in its first node",
         {"-u"},
         block + block.substr(0, firstNode + 40),
         3,
         ""},
        {"nothing", {"-u"}, "", 3, ""},
        // A listing reads the whole block too, but has nothing to confirm.
        {"listing", {"-u", "-p"}, block, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {FPACK_BIN};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back("-");
        testutil::RunResult r = testutil::run(argv, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.out.empty())
            EXPECT_EQ(r.out.find(FP_BLOCK_READ_LINE), std::string::npos) << r.out;
        else
            EXPECT_EQ(r.out, c.out);
    }
}

}  // namespace
