// Code sets through the C library's iconv; UTF-8 is handled here directly.
#include "zug.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#define ZUG_NAME_MAX 63
#define ZUG_FALLBACK "ISO88591"

struct zug_cs {
    char name[ZUG_NAME_MAX + 1];
    int utf8;        // built in: no conversion
    iconv_t to_u;    // local -> UTF-8
    iconv_t from_u;  // UTF-8 -> local
    int ascii;       // ASCII text is the same in both directions
};

namespace {

const iconv_t NO_ICONV = (iconv_t)-1;

// Used when not even the fallback can be loaded, so there always is one.
zug_cs builtin_utf8 = {"UTF8", 1, NO_ICONV, NO_ICONV, 1};
zug_cs* def_cs = nullptr;

// Upper case, without an "IBM" prefix, letters and digits only. False when
// the result is empty or too long.
bool normalize(const char* name, char* out) {
    size_t n = 0;
    for (const char* p = name; *p; p++) {
        if (!isalnum((unsigned char)*p)) continue;
        if (n == ZUG_NAME_MAX) return false;
        out[n++] = (char)toupper((unsigned char)*p);
    }
    out[n] = '\0';
    if (strncmp(out, "IBM", 3) == 0) memmove(out, out + 3, n - 2);
    return out[0] != '\0';
}

// The code set of the environment's locale, normalized; the fallback when
// the locale knows nothing beyond plain ASCII.
void os_codeset(char* out) {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", (locale_t)0);
    const char* cs = loc ? nl_langinfo_l(CODESET, loc) : "";
    if (!normalize(cs, out) || strcmp(out, "ANSIX341968") == 0 || strcmp(out, "ASCII") == 0)
        strcpy(out, ZUG_FALLBACK);
    if (loc) freelocale(loc);
}

bool is_os_alias(const char* norm) {
    return strcmp(norm, "DEFAULT") == 0 || strcmp(norm, "OSDEFAULT") == 0 ||
           strcmp(norm, "OS") == 0;
}

// Length of the UTF-8 sequence at p (at most max bytes); 1 when invalid.
int utf8_len(const unsigned char* p, size_t max) {
    int n = p[0] < 0x80                   ? 1
            : p[0] >= 0xC2 && p[0] < 0xE0 ? 2
            : p[0] >= 0xE0 && p[0] < 0xF0 ? 3
            : p[0] >= 0xF0 && p[0] < 0xF5 ? 4
                                          : 1;
    if ((size_t)n > max) return 1;
    for (int i = 1; i < n; i++)
        if ((p[i] & 0xC0) != 0x80) return 1;
    return n;
}

// Copies UTF-8 unchanged, cut at a character boundary.
size_t copy_utf8(const char* in, size_t len, char* out, size_t room) {
    size_t n = 0;
    while (n < len) {
        size_t l = (size_t)utf8_len((const unsigned char*)in + n, len - n);
        if (n + l > room) break;
        n += l;
    }
    memcpy(out, in, n);
    return n;
}

size_t run_iconv(zug_cs* cs, iconv_t cd, bool from_utf8, const char* in, size_t len, char* out,
                 size_t room) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in);
    char* op = out;
    size_t il = len, ol = room;
    while (il > 0) {
        if (iconv(cd, &ip, &il, &op, &ol) != (size_t)-1) break;
        if (errno == E2BIG || ol == 0) break;
        // Not convertible (or cut short): one "?" for the character.
        size_t skip =
            from_utf8 ? (size_t)utf8_len((unsigned char*)ip, il) : (size_t)zug_mblen(cs, ip, il);
        ip += skip;
        il -= skip;
        *op++ = '?';
        ol--;
    }
    iconv(cd, nullptr, nullptr, &op, &ol);
    return (size_t)(op - out);
}

bool is_ascii(const char* in, size_t len) {
    for (size_t i = 0; i < len; i++)
        if ((unsigned char)in[i] >= 0x80) return false;
    return true;
}

size_t convert(zug_cs* cs, bool from_utf8, const char* in, size_t len, char* out, size_t size) {
    if (!cs) cs = zug_get_def_cs();
    size_t n;
    if (cs->ascii && is_ascii(in, len)) {
        // Names are mostly plain ASCII: no conversion to run.
        n = len < size ? len : size;
        memcpy(out, in, n);
    } else {
        n = cs->utf8
                ? copy_utf8(in, len, out, size)
                : run_iconv(cs, from_utf8 ? cs->from_u : cs->to_u, from_utf8, in, len, out, size);
    }
    if (n < size) out[n] = '\0';
    return n;
}

// Whether every ASCII character converts to itself both ways (not so in
// EBCDIC or UTF-16, say).
bool ascii_unchanged(zug_cs* cs) {
    char ascii[127], there[4 * sizeof ascii], back[sizeof ascii + 1];
    for (int c = 1; c < 128; c++) ascii[c - 1] = (char)c;
    size_t n = run_iconv(cs, cs->to_u, false, ascii, sizeof ascii, there, sizeof there);
    if (n != sizeof ascii || memcmp(ascii, there, n) != 0) return false;
    n = run_iconv(cs, cs->from_u, true, there, n, back, sizeof back);
    return n == sizeof ascii && memcmp(ascii, back, n) == 0;
}

}  // namespace

zug_cs* zug_cs_new(const char* name) {
    char norm[ZUG_NAME_MAX + 1];
    if (!name || !normalize(name, norm)) return nullptr;
    if (is_os_alias(norm)) os_codeset(norm);
    zug_cs* cs = static_cast<zug_cs*>(calloc(1, sizeof(zug_cs)));
    if (!cs) return nullptr;
    strcpy(cs->name, norm);
    cs->to_u = cs->from_u = NO_ICONV;
    if (strcmp(norm, "UTF8") == 0) {
        cs->utf8 = cs->ascii = 1;
        return cs;
    }
    cs->to_u = iconv_open("UTF-8", norm);
    cs->from_u = iconv_open(norm, "UTF-8");
    if (cs->to_u == NO_ICONV || cs->from_u == NO_ICONV) {
        zug_cs_free(cs);
        return nullptr;
    }
    cs->ascii = ascii_unchanged(cs);
    return cs;
}

void zug_cs_free(zug_cs* cs) {
    if (!cs || cs == &builtin_utf8) return;
    if (cs->to_u != NO_ICONV) iconv_close(cs->to_u);
    if (cs->from_u != NO_ICONV) iconv_close(cs->from_u);
    free(cs);
}

const char* zug_get_cs_name(const zug_cs* cs) {
    return cs->name;
}

zug_cs* zug_get_def_cs() {
    if (def_cs) return def_cs;
    const char* name = getenv("ZUG_CODESET");
    def_cs = zug_cs_new(name && *name ? name : "DEFAULT");
    if (!def_cs) def_cs = zug_cs_new(ZUG_FALLBACK);
    if (!def_cs) def_cs = &builtin_utf8;
    return def_cs;
}

void zug_uninit() {
    zug_cs_free(def_cs);
    def_cs = nullptr;
}

size_t zug_to_utf8(zug_cs* cs, const char* in, size_t in_length, char* out, size_t out_size) {
    return convert(cs, false, in, in_length, out, out_size);
}

size_t zug_from_utf8(zug_cs* cs, const char* in, size_t in_length, char* out, size_t out_size) {
    return convert(cs, true, in, in_length, out, out_size);
}

int zug_mblen(zug_cs* cs, const char* text, size_t max) {
    if (max == 0) return 0;
    if (!cs) cs = zug_get_def_cs();
    const unsigned char* p = (const unsigned char*)text;
    if (p[0] < 0x80) return 1;
    if (cs->utf8) return utf8_len(p, max);
    // The shortest prefix that converts whole is the character.
    for (size_t n = 1; n <= max && n <= 4; n++) {
        char out[16];
        char* ip = const_cast<char*>(text);
        char* op = out;
        size_t il = n, ol = sizeof out;
        iconv(cs->to_u, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cs->to_u, &ip, &il, &op, &ol) != (size_t)-1) return (int)n;
        if (errno != EINVAL) return 1;
    }
    return 1;
}

int zug_mbsbtype(zug_cs* cs, const char* text, size_t offset) {
    size_t len = strlen(text);
    for (size_t i = 0; i < len;) {
        size_t l = (size_t)zug_mblen(cs, text + i, len - i);
        if (i + l > offset)
            return i < offset ? ZUG_MBS_TRAIL : l == 1 ? ZUG_MBS_SINGLE : ZUG_MBS_LEAD;
        i += l;
    }
    return ZUG_MBS_SINGLE;
}
