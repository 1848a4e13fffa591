#include "framework/qrx_msg_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::string bindEmbedded(const QRX_Types_XOpenMessage* m) {
    char* text = qrx_msg_bind(m, nullptr, QRX_MSG_BIND_DEFAULT_TEXT);
    std::string s = text ? text : "";
    std::free(text);
    return s;
}

std::string format(const char* text, const std::vector<QRX_MsgArg>& args) {
    return qrx_msg_format(text, args.data(), args.size(), bindEmbedded);
}

struct FormatCase {
    const char* format;
    std::vector<const char*> texts;  // text arguments, in order
    const char* expected;
};

class TextArgs : public ::testing::TestWithParam<FormatCase> {};

TEST_P(TextArgs, RendersAsExpected) {
    const FormatCase& c = GetParam();
    std::vector<QRX_MsgArg> args;
    for (const char* t : c.texts) args.push_back(qrx_arg_text(t));
    EXPECT_EQ(format(c.format, args), c.expected) << "format: " << c.format;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, TextArgs,
    ::testing::Values(
        FormatCase{"    %1$s already has the %2$s installed.",
                   {"hostA", "BIN"},
                   "    hostA already has the BIN installed."},
        FormatCase{"%2$s before %1$s", {"one", "two"}, "two before one"},
        FormatCase{"%9$s|%1$s", {"a", "b", "c", "d", "e", "f", "g", "h", "i"}, "i|a"},
        FormatCase{"%1$d:%$2s", {"3", "hostB"}, "3:hostB"},
        FormatCase{"   need to remove file %$1s:%2$s\n",
                   {"h", "/tmp/p"},
                   "   need to remove file h:/tmp/p\n"},
        FormatCase{"`%$1s\\'", {"run.sh"}, "`run.sh\\'"},
        FormatCase{"%s and %s", {"x", "y"}, "x and y"}, FormatCase{"100%% done", {}, "100% done"},
        FormatCase{"[%5s][%-5s]", {"ab", "cd"}, "[   ab][cd   ]"},
        FormatCase{"%0$I{``%1$s''}{, }.", {"p1", "p2", "p3"}, "``p1'', ``p2'', ``p3''."},
        FormatCase{"dirs:\n%0$I{    %1$s}{\n}", {"/a", "/b"}, "dirs:\n    /a\n    /b"},
        FormatCase{"%0$I{<%1$s>}{,}", {}, ""}, FormatCase{"%2$I{<%1$s>}{,}", {"x", "y"}, "<y>"},
        FormatCase{"%0$s", {"a", "b"}, "ab"}));

INSTANTIATE_TEST_SUITE_P(
    MissingArguments, TextArgs,
    ::testing::Values(FormatCase{"(%1$s)", {}, "()"}, FormatCase{"(%3$s)", {"a", "b"}, "()"},
                      FormatCase{"(%7$s/%8$s.IND)", {"m", "t", "f"}, "(/.IND)"},
                      FormatCase{"[%4d]", {}, "[]"}, FormatCase{"[%12$M]", {"a"}, "[]"},
                      FormatCase{"%99999999999999999999$s!", {"a"}, "!"}));

// Anything that is not a conversion stands as it is.
INSTANTIATE_TEST_SUITE_P(
    Malformed, TextArgs,
    ::testing::Values(FormatCase{"50%", {"a"}, "50%"}, FormatCase{"%q%1$s", {"a"}, "%qa"},
                      FormatCase{"%q %s", {"a"}, "%q a"}, FormatCase{"%1$", {"a"}, "%1$"},
                      FormatCase{"%$s", {"a"}, "%$s"}, FormatCase{"%0$I{x", {"a"}, "%0$I{x"},
                      FormatCase{"%0$I{x}", {"a"}, "%0$I{x}"},
                      FormatCase{"%0$I{%1$s}{,", {"a"}, "%0$I{a}{,"}));

TEST(MessageFormat, NumbersHonourWidthAndFlags) {
    std::vector<QRX_MsgArg> args = {qrx_arg_number(7), qrx_arg_number(-42)};
    EXPECT_EQ(format("\t%4d = total media packets.", args), "\t   7 = total media packets.");
    EXPECT_EQ(format("%1$03d|%2$-5d|%2$s", args), "007|-42  |-42");
    EXPECT_EQ(format("%1$s", {qrx_arg_number(0)}), "0");
}

TEST(MessageFormat, WidthIsCapped) {
    std::string out = format("%99999d", {qrx_arg_number(1)});
    EXPECT_EQ(out.size(), size_t(QRX_FORMAT_MAX_WIDTH));
    EXPECT_EQ(out.back(), '1');
}

TEST(MessageFormat, ListArgumentsGiveTheirElements) {
    const char* items[] = {"/opt/a", "/opt/b"};
    std::vector<QRX_MsgArg> args = {qrx_arg_list(items, 2), qrx_arg_text("/opt/c")};
    EXPECT_EQ(format("%0$I{[%1$s]}{ }", args), "[/opt/a] [/opt/b] [/opt/c]");
    EXPECT_EQ(format("%1$I{[%1$s]}{ }", args), "[/opt/a] [/opt/b]");
    EXPECT_EQ(format("%1$s", args), "/opt/a, /opt/b");
}

TEST(MessageFormat, EmbeddedMessagesAreBound) {
    QRX_MsgArg inner = qrx_arg_text("nw1");
    QRX_Types_XOpenMessage* m = qrx_msg_new("C", "entry %1$s missing", 1, &inner, 1);
    std::vector<QRX_MsgArg> args = {qrx_arg_message(m)};
    EXPECT_EQ(format("  %0$M", args), "  entry nw1 missing");
    EXPECT_EQ(format("<%1$M><%1$s>", args), "<entry nw1 missing><entry nw1 missing>");
    EXPECT_EQ(format("%1$M", {qrx_arg_text("plain")}), "plain");
    qrx_msg_destroy(m);
}

TEST(MessageFormat, NestingIsBounded) {
    std::string nested = "%1$s";
    for (int k = 0; k <= QRX_FORMAT_MAX_DEPTH; ++k) nested = "%0$I{" + nested + "}{}";
    std::string out = format(nested.c_str(), {qrx_arg_text("x")});
    // The levels within the limit expand; the one past it stays as text
    // (the reference inside it is still filled in).
    EXPECT_EQ(out, "%0$I{x}{}");
}

TEST(MessageFormat, NullFormatIsEmpty) {
    EXPECT_EQ(format(nullptr, {qrx_arg_text("a")}), "");
}

// Random formats and arguments: the formatter must neither fail nor read or
// write out of bounds (the sanitizer build watches), must give the same text
// through a message record, and leaves texts without '%' untouched.
TEST(MessageFormat, SurvivesRandomInput) {
    std::mt19937 rng(20240611);
    const char* pieces[] = {"%",    "$",     "1",  "0",  "9",   "12", "{", "}",  "I",
                            "M",    "s",     "d",  "i",  "-",   "x",  " ", "\n", "%%",
                            "%1$s", "%0$I{", "}{", "%$", "%4d", "\\", "q"};
    const char* words[] = {"", "a", "%1$s", "{}", "%0$I{%1$s}{,}", "long text"};
    for (int iteration = 0; iteration < 3000; ++iteration) {
        std::string f;
        int n = int(rng() % 24);
        for (int k = 0; k < n; ++k) f += pieces[rng() % std::size(pieces)];
        std::vector<QRX_MsgArg> args;
        std::vector<const char*> list = {words[rng() % 6], words[rng() % 6]};
        QRX_MsgArg innerArg = qrx_arg_text(words[rng() % 6]);
        QRX_Types_XOpenMessage* inner = qrx_msg_new("C", f.c_str(), 1, &innerArg, 1);
        int argc = int(rng() % 4);
        for (int k = 0; k < argc; ++k) {
            switch (rng() % 4) {
                case 0:
                    args.push_back(qrx_arg_text(words[rng() % 6]));
                    break;
                case 1:
                    args.push_back(qrx_arg_number(long(rng()) - 100000));
                    break;
                case 2:
                    args.push_back(qrx_arg_list(list.data(), list.size()));
                    break;
                default:
                    args.push_back(qrx_arg_message(inner));
                    break;
            }
        }
        std::string direct = format(f.c_str(), args);
        QRX_Types_XOpenMessage* m = qrx_msg_new("C", f.c_str(), 1, args.data(), args.size());
        char* bound = qrx_msg_bind(m, nullptr, QRX_MSG_BIND_DEFAULT_TEXT);
        ASSERT_EQ(direct, bound) << "format: " << f;
        ASSERT_EQ(direct.find('\0'), std::string::npos);
        if (f.find('%') == std::string::npos) {
            ASSERT_EQ(direct, f);
        }
        std::free(bound);
        qrx_msg_destroy(m);
        qrx_msg_destroy(inner);
    }
}

}  // namespace
