#include "framework/qrx_mem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void outOfMemory(size_t size) {
    std::fprintf(stderr, "qrx: out of memory (%zu bytes)\n", size);
    std::abort();
}

}  // namespace

void* qrx_xmalloc(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) outOfMemory(size);
    return p;
}

void* qrx_xcalloc(size_t count, size_t size) {
    void* p = std::calloc(count ? count : 1, size ? size : 1);
    if (!p) outOfMemory(count * size);
    return p;
}

void* qrx_xrealloc(void* p, size_t size) {
    void* q = std::realloc(p, size ? size : 1);
    if (!q) outOfMemory(size);
    return q;
}

char* qrx_strdup(const char* text) {
    return text ? qrx_strndup(text, std::strlen(text)) : nullptr;
}

char* qrx_strndup(const char* text, size_t len) {
    char* copy = static_cast<char*>(qrx_xmalloc(len + 1));
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}
