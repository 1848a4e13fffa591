#include "framework/bln_cipher.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string take(char* text) {
    std::string s = text ? text : "<null>";
    std::free(text);
    return s;
}

TEST(BlnCipher, RoundTrip) {
    bln_init();
    for (const char* clear : {"", "x", "secret", "pa$$ w\"o'rd;|=", "\xc3\xa9t\xc3\xa9",
                              "a rather long password of forty-two chars"}) {
        std::string enciphered = take(bln_encrypt(clear));
        EXPECT_EQ(enciphered.rfind(BLN_PREFIX, 0), 0u) << enciphered;
        EXPECT_EQ(enciphered.size(), 13 + 2 * std::strlen(clear));
        EXPECT_EQ(enciphered.find(clear[0] ? clear : "\x01"), std::string::npos);
        EXPECT_EQ(take(bln_decrypt(enciphered.c_str())), clear);
    }
}

TEST(BlnCipher, EveryEncipheredValueIsLongerThanEleven) {
    EXPECT_GT(take(bln_encrypt("")).size(), 11u);
}

TEST(BlnCipher, FreshSaltEachTime) {
    EXPECT_NE(take(bln_encrypt("same")), take(bln_encrypt("same")));
}

TEST(BlnCipher, UpperCaseDigitsAreRead) {
    std::string e = take(bln_encrypt("Secret"));
    for (size_t k = 5; k < e.size(); ++k)
        e[k] = char(std::toupper(static_cast<unsigned char>(e[k])));
    EXPECT_EQ(take(bln_decrypt(e.c_str())), "Secret");
}

TEST(BlnCipher, MalformedValuesComeBackUnchanged) {
    std::string good = take(bln_encrypt("pw"));
    for (std::string text :
         {std::string("a clear password"), std::string("{bln}"), std::string("{bln}0000000"),
          std::string("{bln}0000000g00"), good.substr(0, good.size() - 1), good + "zz",
          std::string("{BLN}") + good.substr(5), good.substr(1)}) {
        EXPECT_EQ(take(bln_decrypt(text.c_str())), text);
    }
    EXPECT_EQ(bln_decrypt(nullptr), nullptr);
    EXPECT_EQ(bln_encrypt(nullptr), nullptr);
}

TEST(BlnCipher, ValueThatDeciphersToANulIsMalformed) {
    // Re-encipher the single byte so that it deciphers to NUL: the cipher
    // byte becomes the keystream byte itself.
    std::string e = take(bln_encrypt("A"));
    unsigned cipher = unsigned(std::stoul(e.substr(13, 2), nullptr, 16));
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", cipher ^ 'A');
    std::string nul = e.substr(0, 13) + digits;
    EXPECT_EQ(take(bln_decrypt(nul.c_str())), nul);
}

}  // namespace
