#include "framework/qrx_nls.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "framework/qrx_msg.h"
#include "tests/test_util.h"

namespace {

TEST(CatalogText, MissingCatalogueOrMessageGivesNull) {
    testutil::TempDir dir;
    std::string source = dir.write("Nls.msg", "$set 2\n3 drei\n");
    ASSERT_EQ(testutil::run({"gencat", dir.file("Nls.cat"), source}).status, 0);
    testutil::ScopedEnv nls("NLSPATH", (dir.path() + "/%N.cat").c_str());

    char* text = qrx_catalog_text("Nls", QRX_MSG_SET, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "drei");
    std::free(text);
    EXPECT_EQ(qrx_catalog_text("Nls", QRX_MSG_SET, 4), nullptr);
    EXPECT_EQ(qrx_catalog_text("Nls", 1, 3), nullptr);
    EXPECT_EQ(qrx_catalog_text("NoSuchCatalog", QRX_MSG_SET, 3), nullptr);
    EXPECT_EQ(qrx_catalog_text("Nls", QRX_MSG_SET, 0), nullptr);
    EXPECT_EQ(qrx_catalog_text("", QRX_MSG_SET, 3), nullptr);
    EXPECT_EQ(qrx_catalog_text(nullptr, QRX_MSG_SET, 3), nullptr);
}

TEST(TransString, UntranslatedLabelIsItself) {
    const char* label = "Server Binaries";
    EXPECT_EQ(qrx_trans_string("instll", label), label);
    EXPECT_STREQ(qrx_trans_string("instll", ""), "");
    EXPECT_EQ(qrx_trans_string("instll", nullptr), nullptr);
}

}  // namespace
