#include "framework/qrx_msg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/test_util.h"

namespace {

std::string bind(const QRX_Types_XOpenMessage* m, const char* separator = nullptr, int flags = 0) {
    char* text = qrx_msg_bind(m, separator, flags);
    std::string s = text ? text : "<null>";
    std::free(text);
    return s;
}

QRX_Types_XOpenMessage* textMessage(const char* text, const char* arg) {
    QRX_MsgArg a = qrx_arg_text(arg);
    return qrx_msg_new("TestCatalog", text, 1, &a, 1);
}

TEST(MessageList, NewCopiesItsInputs) {
    std::string catalog = "Cat", text = "value %1$s", arg = "one";
    QRX_MsgArg a = qrx_arg_text(arg.c_str());
    QRX_Types_XOpenMessage* m = qrx_msg_new(catalog.c_str(), text.c_str(), 7, &a, 1);
    catalog = "XXX", text = "XXXXXXXX", arg = "XXX";
    ASSERT_EQ(m->length, 1u);
    EXPECT_STREQ(m->records[0].catalog, "Cat");
    EXPECT_EQ(m->records[0].number, 7);
    EXPECT_EQ(bind(m), "value one");
    qrx_msg_destroy(m);
}

TEST(MessageList, NullTextsBecomeEmpty) {
    QRX_MsgArg a = qrx_arg_text(nullptr);
    QRX_Types_XOpenMessage* m = qrx_msg_new(nullptr, nullptr, 1, &a, 1);
    EXPECT_EQ(bind(m), "");
    EXPECT_STREQ(m->records[0].catalog, "");
    qrx_msg_destroy(m);
    EXPECT_EQ(qrx_msg_bind(nullptr, nullptr, 0), nullptr);
}

TEST(MessageList, CopyIsIndependent) {
    QRX_Types_XOpenMessage* m = textMessage("a=%1$s", "1");
    QRX_Types_XOpenMessage* copy = qrx_msg_copy(m);
    qrx_msg_destroy(m);
    EXPECT_EQ(bind(copy), "a=1");
    qrx_msg_destroy(copy);
    EXPECT_EQ(qrx_msg_copy(nullptr), nullptr);
}

TEST(MessageList, AppendBindsRecordsInOrder) {
    QRX_Types_XOpenMessage* m = textMessage(" Host %1$s:", "h1");
    qrx_msg_append(m, textMessage("  first %1$s", "x"));
    qrx_msg_append(m, textMessage("  second %1$s", "y"));
    EXPECT_EQ(bind(m), " Host h1:  first x  second y");
    EXPECT_EQ(bind(m, "\n"), " Host h1:\n  first x\n  second y");
    qrx_msg_append(m, m);  // appending a list to itself is refused, not corrupted
    EXPECT_EQ(m->length, 3u);
    qrx_msg_destroy(m);
}

TEST(MessageList, ArgumentsCanBeAddedToAFoundRecord) {
    const char* text = "missing:%0$I{ %1$s}{,}";
    QRX_Types_XOpenMessage* m = textMessage(" Host %1$s:", "h1");
    QRX_MsgArg first = qrx_arg_text("/opt/a");
    qrx_msg_append(m, qrx_msg_new("InstallCatalog", text, 105, &first, 1));

    EXPECT_EQ(qrx_msg_find(m, "InstallCatalog", 106), nullptr);
    EXPECT_EQ(qrx_msg_find(m, "OtherCatalog", 105), nullptr);
    QRX_Types_XOpenMessageRecord* r = qrx_msg_find(m, "InstallCatalog", 105);
    ASSERT_NE(r, nullptr);
    std::string added = "/opt/b";
    QRX_MsgArg second = qrx_arg_text(added.c_str());
    qrx_msg_add_arg(r, &second);
    added = "XXXXXX";
    EXPECT_EQ(bind(m), " Host h1:missing: /opt/a, /opt/b");
    qrx_msg_destroy(m);
}

TEST(MessageList, EmbeddedMessageIsCopied) {
    QRX_Types_XOpenMessage* inner = textMessage("entry %1$s not found", "nw1");
    QRX_MsgArg a = qrx_arg_message(inner);
    QRX_Types_XOpenMessage* m = qrx_msg_new("InstallCatalog", "  %0$M", 118, &a, 1);
    qrx_msg_destroy(inner);
    EXPECT_EQ(bind(m), "  entry nw1 not found");
    qrx_msg_destroy(m);
}

// A translated catalogue built with gencat and found through NLSPATH.
class TranslatedCatalog : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string source = dir_.write("TestCatalog.msg",
                                        "$set 1\n"
                                        "4 wrong set\n"
                                        "$set 2\n"
                                        "4 Auf %1$s ist %2$s schon installiert.\n"
                                        "6 Fehlt: %3$s.\n");
        testutil::RunResult r = testutil::run({"gencat", dir_.file("TestCatalog.cat"), source});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string bindNumber(long number, const char* defaultText, int flags = 0) {
        QRX_MsgArg args[] = {qrx_arg_text("hostA"), qrx_arg_text("BIN")};
        QRX_Types_XOpenMessage* m = qrx_msg_new("TestCatalog", defaultText, number, args, 2);
        std::string s = bind(m, nullptr, flags);
        qrx_msg_destroy(m);
        return s;
    }

    testutil::TempDir dir_;
};

TEST_F(TranslatedCatalog, TranslationOfSetTwoIsUsed) {
    testutil::ScopedEnv nls("NLSPATH", (dir_.path() + "/%N.cat").c_str());
    EXPECT_EQ(bindNumber(4, "%1$s has %2$s."), "Auf hostA ist BIN schon installiert.");
    // A translation may refer to arguments the message does not carry.
    EXPECT_EQ(bindNumber(6, "default"), "Fehlt: .");
}

TEST_F(TranslatedCatalog, DefaultTextWithoutTranslation) {
    testutil::ScopedEnv nls("NLSPATH", (dir_.path() + "/%N.cat").c_str());
    EXPECT_EQ(bindNumber(5, "%1$s has %2$s."), "hostA has BIN.");
    EXPECT_EQ(bindNumber(4, "%1$s has %2$s.", QRX_MSG_BIND_DEFAULT_TEXT), "hostA has BIN.");
}

TEST_F(TranslatedCatalog, DefaultTextWithoutCatalogue) {
    testutil::ScopedEnv nls("NLSPATH", (dir_.path() + "/none/%N.cat").c_str());
    EXPECT_EQ(bindNumber(4, "%1$s has %2$s."), "hostA has BIN.");
}

}  // namespace
