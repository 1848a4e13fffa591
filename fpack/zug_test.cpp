#include "zug.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

class ZugDefault : public ::testing::Test {
  protected:
    void SetUp() override { zug_uninit(); }
    void TearDown() override { zug_uninit(); }
};

struct DefaultCase {
    const char* codeset;  // ZUG_CODESET, null when unset
    const char* lc_all;
    const char* chosen;
};

TEST_F(ZugDefault, ChosenFromZugCodeset) {
    const DefaultCase cases[] = {
        {"utf-8", "C", "UTF8"},
        {"iso-8859-1", "C.UTF-8", "ISO88591"},
        {"IBM-850", "C", "850"},
        {"no-such-set", "C.UTF-8", "ISO88591"},
        {nullptr, "C.UTF-8", "UTF8"},
        {"OSDEFAULT", "C.UTF-8", "UTF8"},
        {"os", "C.UTF-8", "UTF8"},
        {nullptr, "C", "ISO88591"},  // plain ASCII: nothing better known
    };
    for (const auto& c : cases) {
        testutil::ScopedEnv cs("ZUG_CODESET", c.codeset);
        testutil::ScopedEnv lc("LC_ALL", c.lc_all);
        zug_uninit();
        EXPECT_STREQ(zug_get_cs_name(zug_get_def_cs()), c.chosen)
            << (c.codeset ? c.codeset : "(unset)") << " / " << c.lc_all;
    }
}

TEST_F(ZugDefault, NullMeansTheDefault) {
    testutil::ScopedEnv cs("ZUG_CODESET", "ISO8859-1");
    char out[16];
    EXPECT_EQ(zug_to_utf8(nullptr, "\xe9", 1, out, sizeof out), 2u);
    EXPECT_STREQ(out, "\xc3\xa9");
}

class Zug : public ::testing::Test {
  protected:
    void SetUp() override {
        latin1 = zug_cs_new("ISO-8859-1");
        utf8 = zug_cs_new("UTF-8");
        sjis = zug_cs_new("SJIS");
        ASSERT_NE(latin1, nullptr);
        ASSERT_NE(utf8, nullptr);
        ASSERT_NE(sjis, nullptr);
    }
    void TearDown() override {
        zug_cs_free(latin1);
        zug_cs_free(utf8);
        zug_cs_free(sjis);
    }
    static std::string to(zug_cs* cs, const std::string& in, size_t room = 64) {
        std::string out(room, 'Z');
        size_t n = zug_to_utf8(cs, in.data(), in.size(), &out[0], room);
        return out.substr(0, n);
    }
    static std::string from(zug_cs* cs, const std::string& in, size_t room = 64) {
        std::string out(room, 'Z');
        size_t n = zug_from_utf8(cs, in.data(), in.size(), &out[0], room);
        return out.substr(0, n);
    }
    zug_cs* latin1 = nullptr;
    zug_cs* utf8 = nullptr;
    zug_cs* sjis = nullptr;
};

TEST_F(Zug, UnknownCodeSetIsNull) {
    EXPECT_EQ(zug_cs_new("no-such-set"), nullptr);
    EXPECT_EQ(zug_cs_new("--"), nullptr);
}

TEST_F(Zug, Utf8PassesUnchanged) {
    const std::string text = "caf\xc3\xa9 \xe2\x82\xac \xff raw";
    EXPECT_EQ(to(utf8, text), text);
    EXPECT_EQ(from(utf8, text), text);
}

struct ConvCase {
    const char* local;
    const char* utf8;
};

TEST_F(Zug, Latin1BothWays) {
    const ConvCase cases[] = {
        {"plain ascii", "plain ascii"},
        {"caf\xe9", "caf\xc3\xa9"},
        {"\xa0\xff", "\xc2\xa0\xc3\xbf"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to(latin1, c.local), c.utf8);
        EXPECT_EQ(from(latin1, c.utf8), c.local);
    }
}

TEST_F(Zug, UnconvertibleCharactersBecomeQuestionMarks) {
    // The euro sign has no Latin-1 form; a stray continuation byte is invalid.
    EXPECT_EQ(from(latin1,
                   "a\xe2\x82\xac"
                   "b\x80"
                   "c"),
              "a?b?c");
}

TEST_F(Zug, OutputIsCutAtACharacterBoundary) {
    EXPECT_EQ(to(latin1, "ab\xe9", 3), "ab");
    EXPECT_EQ(to(utf8, "ab\xc3\xa9", 3), "ab");
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(zug_to_utf8(latin1, "ab", 2, out, 3), 2u);
    EXPECT_EQ(out[2], '\0');  // NUL when there is room
}

struct MbCase {
    const char* text;
    size_t max;
    int len;
};

TEST_F(Zug, CharacterLengthsUtf8) {
    const MbCase cases[] = {
        {"a", 1, 1},
        {"\xc3\xa9", 2, 2},
        {"\xe2\x82\xac", 3, 3},
        {"\xf0\x9f\x98\x80", 4, 4},
        {"\xe2\x82\xac", 2, 1},
        {"\xff", 1, 1},
        {"\xc3(", 2, 1},
        {"", 0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(zug_mblen(utf8, c.text, c.max), c.len) << c.text;
}

// In Shift_JIS the trail byte of a character may be a backslash.
TEST_F(Zug, ShiftJisTrailBackslash) {
    const char* text =
        "a\x95\x5c"
        "b";  // a, U+8868, b
    EXPECT_EQ(zug_mblen(sjis, text + 1, 3), 2);
    EXPECT_EQ(zug_mbsbtype(sjis, text, 0), ZUG_MBS_SINGLE);
    EXPECT_EQ(zug_mbsbtype(sjis, text, 1), ZUG_MBS_LEAD);
    EXPECT_EQ(zug_mbsbtype(sjis, text, 2), ZUG_MBS_TRAIL);
    EXPECT_EQ(zug_mbsbtype(sjis, text, 3), ZUG_MBS_SINGLE);
    EXPECT_EQ(zug_mbsbtype(latin1, text, 2), ZUG_MBS_SINGLE);
    EXPECT_EQ(to(sjis, text),
              "a\xe8\xa1\xa8"
              "b");
}

}  // namespace
