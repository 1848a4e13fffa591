#include "gui/status_channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool readAll(int fd, char* data, size_t size) {
    while (size > 0) {
        ssize_t n = read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// An event on the pipe: kind byte, 32-bit length, text.
const size_t kHeader = 1 + sizeof(uint32_t);

}  // namespace

StatusChannel::StatusChannel() {
    if (pipe2(fds_, O_CLOEXEC) != 0) {
        std::perror("status pipe");
        std::abort();
    }
}

StatusChannel::~StatusChannel() {
    close(fds_[0]);
    close(fds_[1]);
}

void StatusChannel::post(Kind kind, const std::string& text) {
    std::string message(kHeader, char(kind));
    uint32_t size = uint32_t(text.size());
    std::memcpy(&message[1], &size, sizeof size);
    message += text;
    // Only the worker posts, so events never interleave.
    if (!writeAll(fds_[1], message.data(), message.size())) std::perror("status pipe");
}

bool StatusChannel::receive(Event& event) {
    char header[kHeader];
    if (!readAll(fds_[0], header, sizeof header)) return false;
    uint32_t size;
    std::memcpy(&size, header + 1, sizeof size);
    event.kind = Kind(header[0]);
    event.text.assign(size, '\0');
    return readAll(fds_[0], &event.text[0], size);
}
