#include "model/Message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "model/Catalog.h"
#include "tests/test_util.h"

namespace {

Array<Str> texts(std::initializer_list<const char*> items) {
    Array<Str> a;
    for (const char* t : items) a.put(t);
    return a;
}

// Default texts only: no catalogue can be found.
class MessageTest : public ::testing::Test {
  protected:
    testutil::ScopedEnv nls_{"NLSPATH", "/nonexistent/%N"};
};

TEST_F(MessageTest, AlreadyInstalledPrintsTheDefaultText) {
    Message m("InstallOpsCatalog", InstallOpsCatalog.text(4), 4, texts({"hostA", "Binaries"}));
    EXPECT_EQ(m.bound_msg(), "    hostA already has the Binaries installed.");
    std::ostringstream out;
    out << m;
    EXPECT_EQ(out.str(), "    hostA already has the Binaries installed.");
    char* raw = m.bound();
    EXPECT_STREQ(raw, "    hostA already has the Binaries installed.");
    std::free(raw);
}

TEST_F(MessageTest, EmptyMessageBindsToNothing) {
    Message m;
    EXPECT_EQ(m.qrx_msg(), nullptr);
    EXPECT_EQ(m.bound(), nullptr);
    EXPECT_EQ(m.bound_msg(), "");
    std::ostringstream out;
    out << m;
    EXPECT_EQ(out.str(), "");
    Message copy(m);
    EXPECT_EQ(copy.qrx_msg(), nullptr);
}

TEST_F(MessageTest, MissingArgumentsRenderEmpty) {
    Message m("InstallOpsCatalog", InstallOpsCatalog.text(5), 5, texts({"x", "BIN"}));
    EXPECT_EQ(m.bound_msg(), "    need to copy the machine specific BIN to\n         :");
}

TEST_F(MessageTest, AddMsgToEmptyHoldsTheAddedList) {
    Message added("C", "first %1$s", 1, texts({"a"}));
    Message m;
    m.add_msg(added);
    EXPECT_EQ(m.bound_msg(), "first a");
    EXPECT_NE(m.qrx_msg(), added.qrx_msg());

    Message adopted;
    adopted.add_msg(qrx_msg_copy(added.qrx_msg()), 1);
    EXPECT_EQ(adopted.bound_msg(), "first a");
}

TEST_F(MessageTest, AddMsgToNonEmptyPrintsBothTexts) {
    Message m("C", "one %1$s.", 1, texts({"a"}));
    m.add_msg(Message("C", " two %1$s.", 2, texts({"b"})));
    EXPECT_EQ(m.bound_msg(), "one a. two b.");
    m.add_msg(m);
    EXPECT_EQ(m.bound_msg(), "one a. two b.one a. two b.");
    m.add_msg(nullptr, 1);
    EXPECT_EQ(m.qrx_msg()->length, 4u);
}

TEST_F(MessageTest, AddMsgWithoutAdoptCopies) {
    QRX_MsgArg a = qrx_arg_text("z");
    QRX_Types_XOpenMessage* raw = qrx_msg_new("C", "raw %1$s", 3, &a, 1);
    Message m("C", "held ", 1, Array<Str>());
    m.add_msg(raw, 0);
    qrx_msg_destroy(raw);
    EXPECT_EQ(m.bound_msg(), "held raw z");
}

TEST_F(MessageTest, ConstructionFromAListAdoptsOrCopies) {
    QRX_MsgArg a = qrx_arg_text("v");
    QRX_Types_XOpenMessage* raw = qrx_msg_new("C", "x=%1$s", 1, &a, 1);
    Message copied(raw, 0);
    EXPECT_NE(copied.qrx_msg(), raw);
    Message adopted(raw, 1);
    EXPECT_EQ(adopted.qrx_msg(), raw);
    EXPECT_EQ(copied.bound_msg(), "x=v");
}

TEST_F(MessageTest, DestroyingACopyLeavesTheOriginalPrintable) {
    Message m("InstallOpsCatalog", InstallOpsCatalog.text(8), 8, texts({"hostA"}));
    {
        Message copy(m);
        EXPECT_EQ(copy.bound_msg(), "Inspecting node hostA...\n");
    }
    EXPECT_EQ(m.bound_msg(), "Inspecting node hostA...\n");
    Message assigned;
    assigned = m;
    assigned = assigned;
    m = Message();
    EXPECT_EQ(assigned.bound_msg(), "Inspecting node hostA...\n");
    EXPECT_EQ(m.bound(), nullptr);
}

}  // namespace
