// Code sets: conversion between the local code set and UTF-8, and
// multibyte-aware character lengths.
//
// The default code set is chosen once, on first use: $ZUG_CODESET, else
// "DEFAULT"; "DEFAULT", "OSDEFAULT" and "OS" mean the code set of the
// environment's locale ("ISO88591" when that says nothing better than plain
// ASCII). Names are upper-cased, an "IBM" prefix is dropped and only letters
// and digits are kept. A code set that cannot be loaded falls back to
// "ISO88591". UTF-8 text passes unchanged when the code set is UTF-8.
// Conversion goes through the C library's iconv.
#pragma once

#include <cstddef>

struct zug_cs;

// Byte types of zug_mbsbtype.
enum { ZUG_MBS_SINGLE = 0, ZUG_MBS_LEAD = 1, ZUG_MBS_TRAIL = 2 };

// Loads a code set by name (normalized as above). Null when it is unknown
// or memory fails.
zug_cs* zug_cs_new(const char* name);
void zug_cs_free(zug_cs* cs);
// The normalized name ("UTF8", "ISO88591", ...).
const char* zug_get_cs_name(const zug_cs* cs);
// The default code set (loaded on first use; never null).
zug_cs* zug_get_def_cs();
// Forgets the default code set; the next use chooses it again.
void zug_uninit();

// Convert `in_length` bytes into `out` (room for `out_size` bytes) and return
// the bytes written; a NUL follows them when there is room. A null `cs`
// means the default code set. A character that cannot be converted becomes
// "?"; output that does not fit is cut at a character boundary. Buffers of
// three times the input (to UTF-8) and twice the input (from UTF-8) suffice
// for the code sets in use.
size_t zug_to_utf8(zug_cs* cs, const char* in, size_t in_length, char* out, size_t out_size);
size_t zug_from_utf8(zug_cs* cs, const char* in, size_t in_length, char* out, size_t out_size);

// Length (1..max) of the character at `text`, at most `max` bytes read; 1 for
// a byte that starts no valid character; 0 when max is 0.
int zug_mblen(zug_cs* cs, const char* text, size_t max);
// Whether the byte at `offset` of the NUL-terminated `text` is a single-byte
// character, the lead byte or a trail byte of a multibyte character.
int zug_mbsbtype(zug_cs* cs, const char* text, size_t offset);
