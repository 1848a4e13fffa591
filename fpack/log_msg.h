// Leveled messages collected in the context.
//
// Nothing prints while an operation works: messages go into the context's
// buffer (each ended by a newline) and the level decides the effect:
//   0 info   -- none
//   1 warn   -- status FP_ST_FAILED; with stop_on_error the operation ends
//   2 fatal  -- the operation ends (status FP_ST_FATAL)
//   3 error  -- as 1, with the system error text appended
//   4 note   -- system error text appended, no effect
//   5 long   -- long text (script error output) kept whole, up to 65,536 bytes
// "Ends" means: run the on-error hook once, remove the partial file, and
// leave through the context's jump point (fp_jump with FP_JMP_FATAL). So a
// call at level 2 never returns, nor at 1 or 3 while stop_on_error is set.
// Formats for levels 3 and 4 end with ": " because the error text follows.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "fpack.h"

enum {
    FP_LOG_INFO = 0,
    FP_LOG_WARN = 1,
    FP_LOG_FATAL = 2,
    FP_LOG_ERR = 3,
    FP_LOG_NOTE = 4,
    FP_LOG_LONG = 5,
};

// Formats and stores one message and applies the effect of its level.
void log_msg(fp_ctxt* ct, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void log_vmsg(fp_ctxt* ct, int level, const char* fmt, va_list ap);

// Stores a message converted to UTF-8 without applying any level effect
// (levels 3 and 4 still append the system error text).
void add_msg(fp_msgbuf* mb, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Appends raw text (and a newline) to a message buffer; grows as needed.
void fp_msgbuf_append(fp_msgbuf* mb, const char* text, size_t len);
// Frees the buffer's text and leaves it empty.
void fp_msgbuf_free(fp_msgbuf* mb);

// Logs "Error: Line %d:\t<text>" at level 2 with the current description
// line; the text is cut at 1,024 bytes. Never returns.
[[noreturn]] void parse_err(fp_ctxt* ct, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Fatal assertion: logs `text` (the condition as the system spells it, e.g.
// "ct->fn != ((void *)0)") at level 2 when `cond` is false.
#define FP_ASSERT(ct, cond, text)                               \
    do {                                                        \
        if (!(cond)) log_msg((ct), FP_LOG_FATAL, "%s", (text)); \
    } while (0)
