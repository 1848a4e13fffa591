#include "framework/qrx_runtime.h"

#include <gtest/gtest.h>
#include <libintl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "framework/qrx_nls.h"
#include "tests/test_util.h"

namespace {

void* copyInt(const void* v) {
    return v ? new int(*static_cast<const int*>(v)) : nullptr;
}
void releaseInt(void* v) {
    delete static_cast<int*>(v);
}
const TypeCode intType = {"Test::Int", copyInt, releaseInt};

TEST(Runtime, InitRegistersTheProgramsTypes) {
    EXPECT_EQ(qrx_lookup_type("Test::Int"), nullptr);
    const TypeCode* types[] = {&intType};
    QRX_TypeRepository repository = {types, 1};
    qrx_init(&repository);
    EXPECT_EQ(qrx_lookup_type("Test::Int"), &intType);
    EXPECT_EQ(qrx_lookup_type("QRX_Types::StringList"), &QRX_Types_tc_StringList);
    EXPECT_EQ(qrx_lookup_type("string"), &QRX_tc_string);
    EXPECT_EQ(qrx_lookup_type("Test::Other"), nullptr);
    qrx_init(nullptr);  // nothing further to register
    EXPECT_EQ(qrx_lookup_type(nullptr), nullptr);
}

TEST(RuntimeDeathTest, ClientExitEndsWithTheStatusAndFlushesOutput) {
    testutil::TempDir dir;
    std::string path = dir.file("out");
    EXPECT_EXIT(
        {
            std::FILE* f = std::fopen(path.c_str(), "w");
            std::fputs("pending text", f);
            qrx_client_exit(2);
        },
        ::testing::ExitedWithCode(2), "");
    EXPECT_EQ(testutil::readFile(path), "pending text");
}

// A message catalogue of gettext with the given translations (originals in
// ascending order), as msgfmt writes it: header, two tables, the strings.
std::string moFile(const std::vector<std::pair<std::string, std::string>>& entries) {
    auto word = [](std::string& out, uint32_t v) {
        for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xff);
    };
    const uint32_t n = uint32_t(entries.size());
    const uint32_t originals = 28, translations = originals + 8 * n;
    uint32_t at = translations + 8 * n;
    std::string head, tables, strings;
    for (uint32_t v : {0x950412deu, 0u, n, originals, translations, 0u, at}) word(head, v);
    std::string second;
    for (const auto& e : entries) {
        word(tables, uint32_t(e.first.size()));
        word(tables, at + uint32_t(strings.size()));
        strings += e.first + '\0';
    }
    for (const auto& e : entries) {
        word(second, uint32_t(e.second.size()));
        word(second, at + uint32_t(strings.size()));
        strings += e.second + '\0';
    }
    return head + tables + second + strings;
}

// With the whole locale taken from the environment a translated label keeps
// its non-ASCII characters; with the message part alone they would come
// out in the "C" code set as question marks.
TEST(RuntimeDeathTest, ClientInitTakesTheWholeLocale) {
    testutil::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("C.utf8").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("C.utf8/LC_MESSAGES").c_str(), 0755), 0);
    dir.write("C.utf8/LC_MESSAGES/instll.mo",
              moFile({{"", "Content-Type: text/plain; charset=UTF-8\n"},
                      {"Binaries directory", "Verzeichnis der Bin\xc3\xa4rdateien"}}));
    const std::string out = dir.file("out");
    EXPECT_EXIT(
        {
            unsetenv("LC_ALL");
            unsetenv("LC_MESSAGES");
            unsetenv("LC_CTYPE");
            unsetenv("LANGUAGE");
            setenv("LANG", "C.utf8", 1);
            qrx_client_init();
            bindtextdomain("instll", dir.path().c_str());
            std::FILE* f = std::fopen(out.c_str(), "w");
            std::fputs(qrx_trans_string("instll", "Binaries directory"), f);
            qrx_client_exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(testutil::readFile(out), "Verzeichnis der Bin\xc3\xa4rdateien");
}

}  // namespace
