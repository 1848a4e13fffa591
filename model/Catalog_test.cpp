#include "model/Catalog.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

Array<Str> texts(std::initializer_list<const char*> items) {
    Array<Str> a;
    for (const char* t : items) a.put(t);
    return a;
}

TEST(Catalog, NamesAndRanges) {
    EXPECT_STREQ(InstallOpsCatalog.name, "InstallOpsCatalog");
    EXPECT_EQ(InstallOpsCatalog.count, 134);
    EXPECT_STREQ(InstallCatalog.name, "InstallCatalog");
    EXPECT_EQ(InstallCatalog.count, 298);
}

TEST(Catalog, NumbersAreAscendingAndInRange) {
    for (const Catalog* c : {&InstallOpsCatalog, &InstallCatalog}) {
        long previous = 0;
        for (long k = 0; k < c->entryCount; ++k) {
            EXPECT_GT(c->entries[k].number, previous) << c->name;
            EXPECT_LE(c->entries[k].number, c->count) << c->name;
            previous = c->entries[k].number;
        }
    }
}

TEST(Catalog, TextsByNumber) {
    struct Case {
        const Catalog* catalog;
        long number;
        const char* text;
    } cases[] = {
        {&InstallOpsCatalog, 1, "\nUnless you cancel, the following operations will be executed:"},
        {&InstallOpsCatalog, 83, "\t%4d = total media packets."},
        {&InstallOpsCatalog, 89, "Cannot find script `\" %1$s \"'\n"},
        {&InstallOpsCatalog, 117, "   need to execute script `%$1s\\'\n"},
        {&InstallOpsCatalog, 134, "The product/patch '%1$s' was not found. \n"},
        {&InstallOpsCatalog, 39, ""},
        {&InstallOpsCatalog, 80, ""},
        {&InstallOpsCatalog, 0, ""},
        {&InstallOpsCatalog, 135, ""},
        {&InstallCatalog, 93, " Host %1$s:"},
        {&InstallCatalog, 118, "  %0$M"},
        {&InstallCatalog, 183, "Reboot needed to complete Velkar installation."},
        {&InstallCatalog, 274, "  Standard Error: %1$s"},
        {&InstallCatalog, 1, ""},
        {&InstallCatalog, 117, ""},
        {&InstallCatalog, 298, ""},
        {&InstallCatalog, -5, ""},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.catalog->text(c.number), c.text) << c.catalog->name << " " << c.number;
    }
}

class CatalogMessage : public ::testing::Test {
  protected:
    testutil::ScopedEnv nls_{"NLSPATH", "/nonexistent/%N"};
};

TEST_F(CatalogMessage, CarriesCatalogueNumberAndDefaultText) {
    Message m = catalogMessage(InstallCatalog, 93, texts({"tiger"}));
    const QRX_Types_XOpenMessageRecord& r = m.qrx_msg()->records[0];
    EXPECT_STREQ(r.catalog, "InstallCatalog");
    EXPECT_EQ(r.number, 93);
    EXPECT_STREQ(r.defaultText, " Host %1$s:");
    EXPECT_EQ(m.bound_msg(), " Host tiger:");
    EXPECT_EQ(catalogMessage(InstallOpsCatalog, 96).bound_msg(), "Exiting...");
}

TEST_F(CatalogMessage, MissingDirectoriesListGrows) {
    Message m = catalogMessage(InstallCatalog, 105, texts({"/opt/a"}));
    QRX_Types_XOpenMessageRecord* r = qrx_msg_find(m.qrx_msg(), "InstallCatalog", 105);
    ASSERT_NE(r, nullptr);
    QRX_MsgArg more = qrx_arg_text("/opt/b");
    qrx_msg_add_arg(r, &more);
    EXPECT_EQ(m.bound_msg(),
              "  The following directories do not exist:\n"
              "   (select ``create if missing'' option to override)\n"
              "    /opt/a\n"
              "    /opt/b");
}

TEST_F(CatalogMessage, ProductListAndEmbeddedException) {
    EXPECT_EQ(catalogMessage(InstallOpsCatalog, 14, texts({"P1", "P2"})).bound_msg(),
              "The following products or patches need to be installed before you can continue "
              "with this portion of the installation: ``P1'', ``P2''.\n");
    Message inner = catalogMessage(InstallCatalog, 126);
    QRX_MsgArg embedded = qrx_arg_message(inner.qrx_msg());
    Message m = catalogMessage(InstallCatalog, 116, texts({"pc1"}));
    m.add_msg(qrx_msg_new("InstallCatalog", InstallCatalog.text(118), 118, &embedded, 1), 1);
    EXPECT_EQ(m.bound_msg(),
              "  Can not find/talk to managed node pc1"
              "  This node, which owns the source media image, is not reachable.");
}

TEST_F(CatalogMessage, OddArgumentForms) {
    EXPECT_EQ(catalogMessage(InstallOpsCatalog, 116, texts({"2", "hostB"})).bound_msg(),
              "         2:hostB\n");
    EXPECT_EQ(catalogMessage(InstallOpsCatalog, 118, texts({"hostB", "/tmp/probe"})).bound_msg(),
              "   need to remove file hostB:/tmp/probe\n");
    EXPECT_EQ(catalogMessage(InstallOpsCatalog, 117, texts({"setup.sh"})).bound_msg(),
              "   need to execute script `setup.sh\\'\n");
    EXPECT_EQ(catalogMessage(InstallOpsCatalog, 83, texts({"12"})).bound_msg(),
              "\t  12 = total media packets.");
}

}  // namespace
