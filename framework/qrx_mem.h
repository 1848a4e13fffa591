// Allocation helpers of the framework layer. Everything the layer hands out
// is malloc'd so callers release it with free() (or the matching destroy
// call); running out of memory ends the process with a message instead of
// returning null into callers that never test for it.
#pragma once

#include <cstddef>

void* qrx_xmalloc(size_t size);
void* qrx_xcalloc(size_t count, size_t size);
void* qrx_xrealloc(void* p, size_t size);
// A malloc'd copy of text; null stays null.
char* qrx_strdup(const char* text);
// A malloc'd copy of the first len bytes of text, NUL-terminated.
char* qrx_strndup(const char* text, size_t len);
