#include "framework/qrx_net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "framework/qrx_mem.h"

namespace {

// The configured range; QRX_BIND_OK, QRX_BIND_NO_RANGE or QRX_BIND_BAD_RANGE.
int portRange(long* low, long* high) {
    const char* text = std::getenv("QRX_PORT_RANGE");
    if (!text || !*text) return QRX_BIND_NO_RANGE;
    char* end = nullptr;
    errno = 0;
    *low = std::strtol(text, &end, 10);
    if (errno || end == text || *end != '-') return QRX_BIND_BAD_RANGE;
    const char* second = end + 1;
    *high = std::strtol(second, &end, 10);
    if (errno || end == second || *end) return QRX_BIND_BAD_RANGE;
    if (*low < 1 || *low > *high || *high > 65535) return QRX_BIND_BAD_RANGE;
    return QRX_BIND_OK;
}

// The record swstack_gethostbyname hands out: the entry and the storage its
// pointers point into, in one allocation.
struct HostRecord {
    struct hostent entry;
    char storage[1];
};

}  // namespace

int range_bind(int socket, struct sockaddr* address, socklen_t length) {
    if (socket < 0 || !address || length < socklen_t(sizeof(sockaddr_in)) ||
        address->sa_family != AF_INET) {
        return QRX_BIND_BAD_ARGUMENT;
    }
    long low = 0, high = 0;
    int range = portRange(&low, &high);
    if (range != QRX_BIND_OK) return range;
    sockaddr_in candidate;
    std::memcpy(&candidate, address, sizeof candidate);
    for (long port = low; port <= high; ++port) {
        candidate.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(socket, reinterpret_cast<sockaddr*>(&candidate), sizeof candidate) == 0) {
            std::memcpy(address, &candidate, sizeof candidate);
            return QRX_BIND_OK;
        }
        if (errno != EADDRINUSE && errno != EACCES) return QRX_BIND_NO_PORT;
    }
    return QRX_BIND_NO_PORT;
}

int local_host_name(char* buffer, size_t size) {
    if (!buffer || size == 0) return -1;
    if (gethostname(buffer, size) != 0) return -1;
    // gethostname may truncate without terminating.
    if (!std::memchr(buffer, '\0', size)) {
        buffer[0] = '\0';
        return -1;
    }
    return 0;
}

struct hostent* swstack_gethostbyname(const char* name) {
    if (!name || !*name) return nullptr;
    size_t size = 1024;
    constexpr size_t maxSize = 1 << 20;
    for (;;) {
        auto* record = static_cast<HostRecord*>(qrx_xmalloc(sizeof(HostRecord) + size));
        struct hostent* result = nullptr;
        int herr = 0;
        int rc = gethostbyname_r(name, &record->entry, record->storage, size, &result, &herr);
        if (rc == 0 && result) return &record->entry;
        std::free(record);
        if (rc != ERANGE || size >= maxSize) return nullptr;
        size *= 2;
    }
}

void swstack_freehostent(struct hostent* host) {
    // The entry is the first member of its record.
    std::free(reinterpret_cast<HostRecord*>(host));
}
