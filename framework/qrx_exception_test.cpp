#include "framework/qrx_exception.h"

#include <gtest/gtest.h>

#include <thread>

#include "framework/qrx_runtime.h"

namespace {

const char* const ENTRY_NOT_FOUND_CHAIN =
    "Exception:UserException:SysAdminException::ExException:SysAdminException::ExInvalid:"
    "SysAdminException::ExNotFound:SysAdminException::ExEntryNotFound";

QRX_Types_XOpenMessage* indexMessage() {
    QRX_MsgArg args[] = {qrx_arg_text("a"),
                         qrx_arg_text("b"),
                         qrx_arg_text("c"),
                         qrx_arg_text("d"),
                         qrx_arg_text("e"),
                         qrx_arg_text("f"),
                         qrx_arg_text("tiger:/cdrom"),
                         qrx_arg_text("QRX")};
    return qrx_msg_new("InstallCatalog",
                       "Could not find a valid installation index file (%7$s/%8$s.IND).", 149, args,
                       8);
}

TEST(FrameworkException, EntryNotFoundCarriesChainAndText) {
    try {
        throw SysAdminException::ExEntryNotFound(indexMessage());
    } catch (const QRX_Exception& e) {
        EXPECT_STREQ(e.typeChain(), ENTRY_NOT_FOUND_CHAIN);
        EXPECT_STREQ(e.text(),
                     "Could not find a valid installation index file (tiger:/cdrom/QRX.IND).");
        EXPECT_STREQ(e.what(), e.text());
        ASSERT_NE(e.message(), nullptr);
        EXPECT_EQ(e.message()->records[0].number, 149);
        return;
    }
    FAIL() << "not caught";
}

TEST(FrameworkException, CaughtAtEveryLevelOfItsChain) {
    auto raise = [] { throw SysAdminException::ExEntryNotFound(nullptr); };
    EXPECT_THROW(raise(), SysAdminException::ExEntryNotFound);
    EXPECT_THROW(raise(), SysAdminException::ExNotFound);
    EXPECT_THROW(raise(), SysAdminException::ExInvalid);
    EXPECT_THROW(raise(), SysAdminException::ExException);
    EXPECT_THROW(raise(), QRX_UserException);
    EXPECT_THROW(raise(), std::exception);
}

TEST(FrameworkException, IsAMatchesWholeNamesOfTheChain) {
    SysAdminException::ExEntryNotFound e(nullptr);
    for (const char* name :
         {"Exception", "UserException", "SysAdminException::ExException",
          "SysAdminException::ExNotFound", "SysAdminException::ExEntryNotFound"}) {
        EXPECT_TRUE(e.isA(name)) << name;
    }
    for (const char* name :
         {"SysAdminException", "ExEntryNotFound", "SystemException", "", "Exception:"}) {
        EXPECT_FALSE(e.isA(name)) << name;
    }
    EXPECT_FALSE(e.isA(nullptr));
}

TEST(FrameworkException, WithoutMessageTheTextIsTheTypeName) {
    EXPECT_STREQ(SysAdminException::ExEntryNotFound(nullptr).text(),
                 "SysAdminException::ExEntryNotFound");
    EXPECT_STREQ(QRX_SystemException(nullptr).text(), "SystemException");
    EXPECT_STREQ(QRX_Exception(nullptr, nullptr).text(), "Exception");
}

TEST(FrameworkException, CopiesShareTheMessageSafely) {
    SysAdminException::ExEntryNotFound* first =
        new SysAdminException::ExEntryNotFound(indexMessage());
    SysAdminException::ExEntryNotFound copy(*first);
    delete first;
    EXPECT_EQ(copy.message()->records[0].number, 149);
    EXPECT_STREQ(copy.typeChain(), ENTRY_NOT_FOUND_CHAIN);
}

TEST(FrameworkExceptionDeathTest, UncaughtExceptionEndsTheProcessWithItsText) {
    EXPECT_EXIT(
        {
            qrx_client_init();
            // A thread of its own: no frame of the test can catch it.
            std::thread([] { throw SysAdminException::ExEntryNotFound(indexMessage()); }).join();
        },
        ::testing::ExitedWithCode(QRX_EXIT_UNCAUGHT),
        "Uncaught framework exception Exception:UserException:.*ExEntryNotFound: Could not "
        "find a valid installation index file \\(tiger:/cdrom/QRX.IND\\)");
}

}  // namespace
