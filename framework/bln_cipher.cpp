#include "framework/bln_cipher.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>

#include "framework/qrx_mem.h"

namespace {

constexpr size_t SALT_DIGITS = 8;

class Keystream {
  public:
    explicit Keystream(uint32_t salt) : state_(salt ? salt : 0x9e3779b9u) {}
    unsigned char next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<unsigned char>(state_ >> 24);
    }

  private:
    uint32_t state_;
};

std::mutex saltLock;
std::mt19937* saltSource = nullptr;

void seedLocked() {
    static std::mt19937 source;
    source.seed(std::random_device{}());
    saltSource = &source;
}

uint32_t freshSalt() {
    std::lock_guard<std::mutex> hold(saltLock);
    if (!saltSource) seedLocked();
    return static_cast<uint32_t>((*saltSource)());
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text; false on a bad digit.
bool readHex(const char* text, size_t digits, uint32_t* value) {
    *value = 0;
    for (size_t k = 0; k < digits; ++k) {
        int v = hexValue(text[k]);
        if (v < 0) return false;
        *value = (*value << 4) | uint32_t(v);
    }
    return true;
}

// Deciphers text into clear; false when text is not an enciphered value.
bool decipher(const char* text, std::string* clear) {
    size_t prefix = std::strlen(BLN_PREFIX);
    size_t len = std::strlen(text);
    if (len < prefix + SALT_DIGITS || std::strncmp(text, BLN_PREFIX, prefix) != 0) return false;
    if ((len - prefix - SALT_DIGITS) % 2 != 0) return false;
    uint32_t salt = 0;
    if (!readHex(text + prefix, SALT_DIGITS, &salt)) return false;
    Keystream key(salt);
    for (const char* p = text + prefix + SALT_DIGITS; *p; p += 2) {
        uint32_t byte = 0;
        if (!readHex(p, 2, &byte)) return false;
        char c = static_cast<char>(byte ^ key.next());
        if (c == '\0') return false;
        *clear += c;
    }
    return true;
}

}  // namespace

void bln_init() {
    std::lock_guard<std::mutex> hold(saltLock);
    seedLocked();
}

char* bln_encrypt(const char* clear) {
    if (!clear) return nullptr;
    uint32_t salt = freshSalt();
    Keystream key(salt);
    std::string out = BLN_PREFIX;
    char digits[SALT_DIGITS + 1];
    std::snprintf(digits, sizeof digits, "%08x", unsigned(salt));
    out += digits;
    for (const char* p = clear; *p; ++p) {
        std::snprintf(digits, sizeof digits, "%02x",
                      unsigned(static_cast<unsigned char>(*p) ^ key.next()));
        out += digits;
    }
    return qrx_strdup(out.c_str());
}

char* bln_decrypt(const char* text) {
    if (!text) return nullptr;
    std::string clear;
    return decipher(text, &clear) ? qrx_strdup(clear.c_str()) : qrx_strdup(text);
}
