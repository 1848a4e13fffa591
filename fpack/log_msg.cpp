// Leveled messages, the message buffer and the fatal path.
#include "log_msg.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keyw.h"
#include "zug.h"

namespace {

// One formatted message; longer texts are cut.
const size_t kMsgArea = 2048;
// Script error output is kept whole up to this size.
const size_t kLongArea = 65536;
// Longest text of a parse error.
const size_t kParseArea = 1024;

// printf-formats into area (cut to fit); levels 3 and 4 get the text of
// `err` appended. Returns the length.
size_t format_into(char* area, size_t size, int level, int err, const char* fmt, va_list ap) {
    int n = vsnprintf(area, size, fmt, ap);
    size_t len = n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
    area[len] = '\0';
    if (level == FP_LOG_ERR || level == FP_LOG_NOTE) {
        n = snprintf(area + len, size - len, "%s", strerror(err));
        len += n < 0 ? 0 : (size_t)n < size - len ? (size_t)n : size - len - 1;
    }
    return len;
}

bool stop_on_error(const fp_ctxt* ct) {
    return ct->conf == nullptr || ct->conf->stop_on_error;
}

bool is_unpack_side(int ptype) {
    return ptype == FP_OP_INSTALL || ptype == FP_OP_UNINSTALL;
}

// Removes the file that was being written when the operation failed.
void cleanup_fatal(fp_ctxt* ct) {
    if (ct->partial_path == nullptr) return;
    unlink(ct->partial_path);
    free(ct->partial_path);
    ct->partial_path = nullptr;
}

void append_cstr(fp_msgbuf* mb, const char* text) {
    fp_msgbuf_append(mb, text, strlen(text));
}

[[noreturn]] void fatal_exit(fp_ctxt* ct, const char* why) {
    ct->status = FP_ST_FATAL;
    if (ct->in_on_error) {
        append_cstr(&ct->msg, "FATAL ERROR while trying to run on_error script.");
    } else {
        ct->in_on_error = 1;
        append_cstr(&ct->msg, why);
        if (ct->on_error != nullptr) {
            ct->on_error(ct);
        } else if (is_unpack_side(ct->ptype)) {
            append_cstr(&ct->msg,
                        "Unable to check for on_error script, configuration not yet valid.");
        }
    }
    cleanup_fatal(ct);
    fp_jump(ct, FP_JMP_FATAL);
}

void apply_level(fp_ctxt* ct, int level) {
    switch (level) {
        case FP_LOG_FATAL:
            fatal_exit(ct, "FATAL.");
        case FP_LOG_WARN:
        case FP_LOG_ERR:
            ct->status = FP_ST_FAILED;
            if (stop_on_error(ct)) fatal_exit(ct, "FATAL because stop_on_error is enabled.");
            break;
        default:
            break;
    }
}

}  // namespace

void fp_msgbuf_append(fp_msgbuf* mb, const char* text, size_t len) {
    // Room for the text, its newline and the NUL; grow in large steps so
    // that short messages rarely reallocate.
    size_t room = mb->cap - mb->used;
    if (mb->buf == nullptr || room < 1024 || room < len + 2) {
        size_t grow = len + 2 > 1024 ? len + 2049 : 2048;
        char* nb = (char*)realloc(mb->buf, mb->cap + grow);
        if (nb == nullptr) {
            fputs("fpack: out of memory for messages\n", stderr);
            abort();
        }
        mb->buf = nb;
        mb->cap += grow;
    }
    memcpy(mb->buf + mb->used, text, len);
    mb->used += len;
    mb->buf[mb->used++] = '\n';
    mb->buf[mb->used] = '\0';
}

void fp_msgbuf_free(fp_msgbuf* mb) {
    free(mb->buf);
    mb->buf = nullptr;
    mb->used = mb->cap = 0;
}

void log_vmsg(fp_ctxt* ct, int level, const char* fmt, va_list ap) {
    int err = errno;
    if (level == FP_LOG_LONG) {
        char* area = (char*)malloc(kLongArea + 1);
        if (area == nullptr) abort();
        size_t len = format_into(area, kLongArea + 1, level, err, fmt, ap);
        fp_msgbuf_append(&ct->msg, area, len);
        free(area);
        return;
    }
    char area[kMsgArea];
    size_t len = format_into(area, sizeof area, level, err, fmt, ap);
    fp_msgbuf_append(&ct->msg, area, len);
    apply_level(ct, level);
}

void log_msg(fp_ctxt* ct, int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vmsg(ct, level, fmt, ap);
    va_end(ap);
}

void add_msg(fp_msgbuf* mb, int level, const char* fmt, ...) {
    int err = errno;
    char area[kMsgArea];
    va_list ap;
    va_start(ap, fmt);
    size_t len = format_into(area, sizeof area, level, err, fmt, ap);
    va_end(ap);
    char utf8[3 * kMsgArea + 1];
    size_t n = zug_to_utf8(nullptr, area, len, utf8, sizeof utf8);
    fp_msgbuf_append(mb, utf8, n);
}

void parse_err(fp_ctxt* ct, const char* fmt, ...) {
    char text[kParseArea + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    char area[kMsgArea];
    int n = snprintf(area, sizeof area, "Error: Line %d:\t%s", ct->line, text);
    fp_msgbuf_append(&ct->msg, area, n < (int)sizeof area ? (size_t)n : sizeof area - 1);
    fatal_exit(ct, "FATAL.");
}

void fp_jump(fp_ctxt* ct, int value) {
    if (!ct->jmp_armed) {
        // A fatal error outside any operation: nothing can recover from it.
        fputs("fpack: fatal error outside an operation\n", stderr);
        if (ct->msg.buf != nullptr) fputs(ct->msg.buf, stderr);
        abort();
    }
    longjmp(ct->jmp, value);
}

int fp_guarded(fp_ctxt* ct, void (*body)(fp_ctxt* ct, void* arg), void* arg) {
    jmp_buf saved;
    memcpy(saved, ct->jmp, sizeof saved);
    int saved_armed = ct->jmp_armed;
    ct->jmp_armed = 1;
    int rv;
    switch (setjmp(ct->jmp)) {
        case 0:
            body(ct, arg);
            rv = 0;
            break;
        case FP_JMP_STATUS:
            rv = FP_JMP_STATUS;
            break;
        default:
            rv = FP_JMP_FATAL;
            break;
    }
    memcpy(ct->jmp, saved, sizeof saved);
    ct->jmp_armed = saved_armed;
    return rv;
}
