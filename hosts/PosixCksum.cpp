#include "hosts/PosixCksum.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>

namespace {

struct Crc {
    uint32_t crc = 0;
    unsigned long long size = 0;

    static const uint32_t* table() {
        static const std::array<uint32_t, 256> t = [] {
            std::array<uint32_t, 256> made{};
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t c = i << 24;
                for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
                made[i] = c;
            }
            return made;
        }();
        return t.data();
    }
    void addByte(unsigned char b) { crc = (crc << 8) ^ table()[(crc >> 24) ^ b]; }
    void add(const char* data, long length) {
        for (long i = 0; i < length; ++i) addByte((unsigned char)data[i]);
        size += (unsigned long long)length;
    }
    // The length goes in after the bytes, least significant byte first,
    // with no zero bytes beyond its highest.
    Str result() {
        for (unsigned long long n = size; n != 0; n >>= 8) addByte((unsigned char)(n & 0xff));
        return Str(std::to_string(~crc & 0xffffffffu) + " " + std::to_string(size));
    }
};

}  // namespace

Str posixCksum(const char* data, long length) {
    Crc c;
    c.add(data, length);
    return c.result();
}

Str posixCksumOfFile(const Str& path) {
    int fd = open(path.chars(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Str();
    Crc c;
    char buffer[16384];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return Str();
        }
        c.add(buffer, long(n));
    }
    close(fd);
    return c.result();
}
