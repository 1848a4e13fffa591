#include "model/Str.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/test_util.h"

namespace {

TEST(Str, SearchesForwardAndBackward) {
    Str path("/usr/lib/qrx/bin");
    EXPECT_EQ(path.before('/', -1), "/usr/lib/qrx");
    EXPECT_EQ(path.after('/', -1), "bin");
    EXPECT_EQ(path.from('/', -1), "/bin");
    EXPECT_EQ(path.through('/', -1), "/usr/lib/qrx/");
    EXPECT_EQ(path.before("lib"), "/usr/");
    EXPECT_EQ(path.after("lib"), "/qrx/bin");
    EXPECT_EQ(path.through("lib"), "/usr/lib");
    EXPECT_EQ(path.from("lib"), "lib/qrx/bin");
    EXPECT_EQ(path.before('/', 1), "/usr");
    EXPECT_EQ(path.index('/', 2), 4);
    EXPECT_EQ(path.index("bin", -1), 13);
    EXPECT_EQ(Str("abcabc").index("abc", -1), 3);
    EXPECT_EQ(Str("abcabc").index("abc", -2), 0);
    EXPECT_EQ(Str("abcabc").index('c', -2), 2);
}

TEST(Str, NoMatchGivesEmpty) {
    Str s("abc");
    EXPECT_EQ(s.before('z'), "");
    EXPECT_EQ(s.after("zz"), "");
    EXPECT_EQ(s.through('z', -1), "");
    EXPECT_EQ(s.from("q"), "");
    EXPECT_EQ(s.index("abcd"), -1);
    EXPECT_EQ(s.index('a', 10), -1);
    EXPECT_EQ(s.index('a', -10), -1);
    EXPECT_FALSE(s.contains("x"));
    EXPECT_TRUE(s.contains('b'));
}

TEST(Str, PositionForms) {
    Str s("hello");
    EXPECT_EQ(s.before(2), "he");
    EXPECT_EQ(s.after(2), "lo");
    EXPECT_EQ(s.through(2), "hel");
    EXPECT_EQ(s.from(2), "llo");
    EXPECT_EQ(s.at(1, 3), "ell");
    EXPECT_EQ(s(3, 10), "lo");
    EXPECT_EQ(s.at(10, 2), "");
}

TEST(Str, SubStrAssignmentReplacesPart) {
    Str s("a=b");
    s.after('=') = "value";
    EXPECT_EQ(s, "a=value");
    s.before('=') = Str("name");
    EXPECT_EQ(s, "name=value");
    s.at(0, 4) = "";
    EXPECT_EQ(s, "=value");
    s.del('=');
    EXPECT_EQ(s, "value");
    s.del('z');
    EXPECT_EQ(s, "value");
}

TEST(Str, Regex) {
    Regex token("@[A-Za-z_][-+A-Za-z0-9_]*@");
    Str s("x @BIN+ROOT@ and @_a-b@ @1no@");
    EXPECT_EQ(s.at(token), "@BIN+ROOT@");
    EXPECT_EQ(s.at(token, 5), "@_a-b@");
    EXPECT_EQ(s.at(token, -1), "@_a-b@");
    EXPECT_EQ(s.index(token, 20), -1);
    EXPECT_TRUE(Str("abc").matches(Regex("[a-c]+")));
    EXPECT_FALSE(Str("abcd").matches(Regex("[a-c]+")));
    Str t("a \t b   c");
    EXPECT_EQ(t.gsub(Regex("[ \t]+"), " "), 2);
    EXPECT_EQ(t, "a b c");
    Regex anchored("^x");
    EXPECT_EQ(Str("axb").index(anchored, 1), -1);
}

TEST(Str, GsubAndFreq) {
    struct Case {
        const char* in;
        const char* pat;
        const char* rep;
        int count;
        const char* out;
    } cases[] = {
        {"@A@@A@", "@A@", "x", 2, "xx"},    {"aaa", "aa", "b", 1, "ba"},
        {"abc", "z", "y", 0, "abc"},        {"abc", "", "y", 0, "abc"},
        {"a.b.c", ".", "..", 2, "a..b..c"},
    };
    for (const Case& c : cases) {
        Str s(c.in);
        EXPECT_EQ(s.gsub(c.pat, c.rep), c.count) << c.in;
        EXPECT_EQ(s, c.out) << c.in;
    }
    EXPECT_EQ(Str("a:b:c").freq(':'), 2);
}

TEST(Str, BadIndexReportsError) {
    Str s("ab");
    testing::internal::CaptureStderr();
    EXPECT_EQ(static_cast<const Str&>(s)[5], '\0');
    EXPECT_NE(testing::internal::GetCapturedStderr().find("invalid index"), std::string::npos);
    EXPECT_EQ(s[1], 'b');
}

TEST(Str, Readline) {
    std::istringstream in("one\ntwo\n\nlast");
    Str line;
    EXPECT_EQ(readline(in, line), 4);
    EXPECT_EQ(line, "one");
    EXPECT_EQ(readline(in, line, '\n', 0), 4);
    EXPECT_EQ(line, "two\n");
    EXPECT_EQ(readline(in, line), 1);
    EXPECT_EQ(line, "");
    EXPECT_EQ(readline(in, line), 4);
    EXPECT_EQ(line, "last");
    EXPECT_EQ(readline(in, line), 0);
}

TEST(Str, ConcatenationAndCompare) {
    Str a("ab");
    Str b = a + "c" + Str("d") + 'e';
    b.prepend("_");
    EXPECT_EQ(b, "_abcde");
    EXPECT_LT(compare(Str("a"), Str("b")), 0);
    EXPECT_EQ(compare(Str("a"), "a"), 0);
    EXPECT_TRUE(Str("x") != "y");
    EXPECT_EQ(Str(static_cast<const char*>(nullptr)), "");
}

// The shell hands a quoted text back byte for byte as one argument.
TEST(Str, ShellWordIsOneUnexpandedWord) {
    for (const char* text : {"", "/opt/my dir", "it's", "''", "$HOME `id` $(id) ; | & > *",
                             "a\\b\\'c", "tab\tand\nnewline", "  lead and trail  "}) {
        testutil::RunResult r =
            testutil::run({"sh", "-c", "printf '[%s]' " + shellWord(text).str()});
        EXPECT_EQ(r.status, 0) << text;
        EXPECT_EQ(r.out, std::string("[") + text + "]");
    }
}

}  // namespace
