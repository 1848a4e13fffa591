// The keyword set: table, converters, defaults and printed form.
#include "keyw.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fppar.h"

const fp_keyw_entry keyset[FP_NKEYWS] = {
#define FP_KW_ENTRY(name, type) {#name, offsetof(fp_keyws, name), type},
    FP_KEYSET(FP_KW_ENTRY)
#undef FP_KW_ENTRY
};

namespace {

// Entries printed by each keyword-set version; the table only grows.
const int kCountV2 = 127;    // no signature: the oldest layout
const int kCountV201 = 171;  // up to the os2 scripts
const int kCountV202 = 271;  // up to log_file_mode
const int kCountV203 = 272;  // progs_timeout
const int kCountV204 = 304;  // os400 scripts, os400_translate_to_ebcdic
const int kCountV205 = 305;  // ozk_inst_sw_comp_handle
const int kCountV206 = 306;  // stderr_size

const long kStderrMax = 65536;

bool is_string_type(fp_keyw_type t) {
    return t == FP_KT_STR || t == FP_KT_PATH || t == FP_KT_TRUSTEES;
}

long* num_field(fp_keyws* set, const fp_keyw_entry* e) {
    return reinterpret_cast<long*>(reinterpret_cast<char*>(set) + e->offset);
}
const long* num_field(const fp_keyws* set, const fp_keyw_entry* e) {
    return reinterpret_cast<const long*>(reinterpret_cast<const char*>(set) + e->offset);
}
char** str_field(fp_keyws* set, const fp_keyw_entry* e) {
    return reinterpret_cast<char**>(reinterpret_cast<char*>(set) + e->offset);
}
char* const* str_field(const fp_keyws* set, const fp_keyw_entry* e) {
    return reinterpret_cast<char* const*>(reinterpret_cast<const char*>(set) + e->offset);
}

const fp_keyw_entry* find_keyw(const char* key) {
    if (!key) return nullptr;
    for (const fp_keyw_entry& e : keyset)
        if (strcmp(e.name, key) == 0) return &e;
    return nullptr;
}

bool in_list(const char* text, const char* const* words) {
    for (; *words; words++)
        if (strcmp(text, *words) == 0) return true;
    return false;
}

const char* const kYes[] = {"y", "Y", "yes", "Yes", "YES", "1", "true", "TRUE", nullptr};
const char* const kNo[] = {"n", "N", "no", "No", "NO", "0", "false", "FALSE", nullptr};
const char* const kReboot[] = {"Reboot", "b",      "B",      "boot", "Boot",
                               "BOOT",   "reboot", "REBOOT", nullptr};
const char* const kRestart[] = {"Restart", "r", "R", "restart", "RESTART", nullptr};

// Optional sign, then decimal digits to the end, within [lo, hi].
int parse_decimal(const char* text, long lo, long hi, long* out) {
    if (!text) return -1;
    const char* p = text;
    if (*p == '+' || *p == '-') p++;
    if (*p < '0' || *p > '9') return -1;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno == ERANGE || *end != '\0' || v < lo || v > hi) return -1;
    *out = v;
    return 0;
}

// Two decimal digits at p.
int two_digits(const char* p) {
    return (p[0] - '0') * 10 + (p[1] - '0');
}

}  // namespace

int str_to_int(const char* text, long* out) {
    return parse_decimal(text, INT_MIN, INT_MAX, out);
}

int str_to_str(const char* text, char** out) {
    if (!text) return -1;
    char* copy = strdup(text);
    if (!copy) return -1;
    *out = copy;
    return 0;
}

int str_to_path(const char* text, char** out) {
    // An empty path would turn a relative name into an absolute one.
    if (!text || !*text) return -1;
    return str_to_str(text, out);
}

int str_to_bool(const char* text, long* out) {
    if (!text) return -1;
    if (in_list(text, kYes)) {
        *out = 1;
    } else if (in_list(text, kNo)) {
        *out = 0;
    } else {
        return -1;
    }
    return 0;
}

namespace {

// Looks a user (is_user) or group name up in the system database.
int lookup_id(const char* name, bool is_user, long* out) {
    long hint = sysconf(is_user ? _SC_GETPW_R_SIZE_MAX : _SC_GETGR_R_SIZE_MAX);
    size_t size = hint > 0 ? static_cast<size_t>(hint) : 1024;
    const size_t kMaxBuf = 1 << 20;
    for (;;) {
        char* buf = static_cast<char*>(malloc(size));
        if (!buf) return -1;
        int rc;
        long id = -1;
        bool found = false;
        if (is_user) {
            struct passwd pw, *res = nullptr;
            rc = getpwnam_r(name, &pw, buf, size, &res);
            if (rc == 0 && res) found = true, id = static_cast<long>(pw.pw_uid);
        } else {
            struct group gr, *res = nullptr;
            rc = getgrnam_r(name, &gr, buf, size, &res);
            if (rc == 0 && res) found = true, id = static_cast<long>(gr.gr_gid);
        }
        free(buf);
        if (rc == ERANGE && size < kMaxBuf) {
            size *= 2;
            continue;
        }
        if (!found) return -1;
        *out = id;
        return 0;
    }
}

int str_to_id(const char* text, bool is_user, long* out) {
    if (!text || !*text) return -1;
    if (parse_decimal(text, INT_MIN, INT_MAX, out) == 0) return 0;
    return lookup_id(text, is_user, out);
}

}  // namespace

int str_to_uid(const char* text, long* out) {
    return str_to_id(text, true, out);
}

int str_to_gid(const char* text, long* out) {
    return str_to_id(text, false, out);
}

int str_to_mode(const char* text, long* out) {
    if (!text || !*text) return -1;
    const char* p = text;
    while (*p == '0') p++;
    long v = 0;
    int digits = 0;
    for (; *p; p++, digits++) {
        if (*p < '0' || *p > '7' || digits == 4) return -1;
        v = v * 8 + (*p - '0');
    }
    *out = v;
    return 0;
}

int str_to_time(const char* text, long* out) {
    if (!text || strlen(text) != 10) return -1;
    for (int i = 0; i < 10; i++)
        if (text[i] < '0' || text[i] > '9') return -1;
    int mon = two_digits(text), day = two_digits(text + 2), hour = two_digits(text + 4),
        min = two_digits(text + 6), year = two_digits(text + 8);
    if (mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 23 || min > 59) return -1;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_year = year < 50 ? 100 + year : year;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    // A day past the end of its month comes back normalized: reject it.
    if (t == static_cast<time_t>(-1) || tm.tm_mday != day || tm.tm_mon != mon - 1) return -1;
    *out = static_cast<long>(t);
    return 0;
}

int fp_time_to_str(long t, char* buf, size_t size) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return -1;
    snprintf(buf, size, "%02d%02d%02d%02d%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
             tm.tm_year % 100);
    return 0;
}

int validate_rights(const char* rights) {
    if (!rights) return -1;
    for (const char* p = rights; *p; p++)
        if (!strchr("RWCEAFMS-", *p)) return -1;
    return 0;
}

int str_to_trustees(const char* text, char** out) {
    if (!text) return -1;
    const char* entry = text;
    for (;;) {
        size_t len = strcspn(entry, ",");
        // Three parts: the rights follow the second "/".
        const char* first = static_cast<const char*>(memchr(entry, '/', len));
        const char* second =
            first ? static_cast<const char*>(memchr(first + 1, '/', len - (first + 1 - entry)))
                  : nullptr;
        if (!second || memchr(second + 1, '/', len - (second + 1 - entry))) return -1;
        for (const char* p = second + 1; p < entry + len; p++)
            if (!strchr("RWCEAFMS-", *p)) return -1;
        if (entry[len] == '\0') break;
        entry += len + 1;
    }
    return str_to_str(text, out);
}

int str_to_dos_opt(const char* text, long* out) {
    if (!text || !in_list(text, kReboot)) return -1;
    *out = 1;
    return 0;
}

int str_to_win_opt(const char* text, long* out) {
    if (!text) return -1;
    if (in_list(text, kReboot)) {
        *out = 1;
    } else if (in_list(text, kRestart)) {
        *out = 2;
    } else {
        return -1;
    }
    return 0;
}

namespace {

int str_to_mods(const char* text, long* out) {
    return parse_decimal(text, LONG_MIN, LONG_MAX, out);
}

typedef int (*num_conv)(const char*, long*);
typedef int (*str_conv)(const char*, char**);

num_conv num_converter(fp_keyw_type t) {
    switch (t) {
        case FP_KT_INT:
            return str_to_int;
        case FP_KT_BOOL:
            return str_to_bool;
        case FP_KT_UID:
            return str_to_uid;
        case FP_KT_GID:
            return str_to_gid;
        case FP_KT_MODE:
        case FP_KT_LOGMODE:
            return str_to_mode;
        case FP_KT_TIME:
            return str_to_time;
        case FP_KT_DOS_OPT:
            return str_to_dos_opt;
        case FP_KT_WIN_OPT:
            return str_to_win_opt;
        case FP_KT_MODS:
            return str_to_mods;
        default:
            return nullptr;
    }
}

str_conv str_converter(fp_keyw_type t) {
    switch (t) {
        case FP_KT_STR:
            return str_to_str;
        case FP_KT_PATH:
            return str_to_path;
        case FP_KT_TRUSTEES:
            return str_to_trustees;
        default:
            return nullptr;
    }
}

// Stores a converted number, with the two keys whose assignment is special.
void store_number(fp_keyws* set, const fp_keyw_entry* e, long v) {
    long* f = num_field(set, e);
    if (f == &set->progs_timeout && v < 0) {
        // A negative timeout only fills an unset one.
        if (*f == 0) *f = v;
        return;
    }
    if (f == &set->stderr_size) v = v > kStderrMax ? kStderrMax : v < 0 ? 0 : v;
    *f = v;
}

}  // namespace

int set_keyw(fp_keyws* set, const char* key, const char* value) {
    const fp_keyw_entry* e = find_keyw(key);
    if (!e || !value) return -1;
    if (!*value) return 0;
    if (is_string_type(e->type)) {
        char* copy = nullptr;
        if (str_converter(e->type)(value, &copy) != 0) return -1;
        char** f = str_field(set, e);
        free(*f);
        *f = copy;
        return 0;
    }
    long v;
    if (num_converter(e->type)(value, &v) != 0) return -1;
    store_number(set, e, v);
    return 0;
}

void dispose_keyws(fp_keyws* set) {
    if (!set) return;
    free(set->signature);
    set->signature = nullptr;
    for (const fp_keyw_entry& e : keyset) {
        if (!is_string_type(e.type)) continue;
        char** f = str_field(set, &e);
        free(*f);
        *f = nullptr;
    }
}

int fp_set_keyw_signature(fp_keyws* set, const char* version) {
    const size_t kSigAlloc = 40;
    char* sig = static_cast<char*>(malloc(kSigAlloc));
    if (!sig) return -1;
    snprintf(sig, kSigAlloc, "%s%s", FP_SIG_PREFIX, version ? version : "");
    free(set->signature);
    set->signature = sig;
    return 0;
}

void set_dflt_keyws(fp_keyws* set) {
    dispose_keyws(set);
    memset(set, 0, sizeof *set);
    for (const fp_keyw_entry& e : keyset) {
        switch (e.type) {
            case FP_KT_UID:
            case FP_KT_GID:
            case FP_KT_MODE:
            case FP_KT_TIME:
                *num_field(set, &e) = -1;
                break;
            case FP_KT_LOGMODE:
                *num_field(set, &e) = 0600;
                break;
            default:
                break;
        }
    }
    set->stop_on_error = 1;
    set->create_dirs = 1;
    set->follow_links = 1;
    set->post_notice = 1;
    set->append_log = 1;
    set->win_optional_dist_timeout = 120;
    set->stderr_size = 1024;
    set->log_file_mode = 0600;
    // Without memory the set simply has no signature and prints as the
    // oldest version; the caller sees that in the printed form.
    fp_set_keyw_signature(set, FP_VERSION);
}

int fp_parse_version(const char* text, int* major, int* minor) {
    if (!text) return -1;
    if (text[0] == '2') {
        *major = 2;
        *minor = 0;
        return 0;
    }
    if (text[0] != 'v') return -1;
    const char* p = text + 1;
    long nums[2];
    for (int i = 0; i < 2; i++) {
        if (*p < '0' || *p > '9') return -1;
        long v = 0;
        for (; *p >= '0' && *p <= '9'; p++) {
            v = v * 10 + (*p - '0');
            if (v > 999999) return -1;
        }
        nums[i] = v;
        if (i == 0 && *p++ != '.') return -1;
    }
    *major = static_cast<int>(nums[0]);
    *minor = static_cast<int>(nums[1]);
    return 0;
}

namespace {

// Value text of one entry in a new string (null when memory fails).
char* value_text(const fp_keyws* set, const fp_keyw_entry* e) {
    if (is_string_type(e->type)) return escape_str(*str_field(set, e));
    long v = *num_field(set, e);
    char buf[64] = "";
    switch (e->type) {
        case FP_KT_INT:
        case FP_KT_MODS:
            snprintf(buf, sizeof buf, "%ld", v);
            break;
        case FP_KT_BOOL:
            if (v != -1) snprintf(buf, sizeof buf, "%s", v ? "y" : "n");
            break;
        case FP_KT_UID:
        case FP_KT_GID:
            if (v != -1) snprintf(buf, sizeof buf, "%ld", v);
            break;
        case FP_KT_MODE:
        case FP_KT_LOGMODE:
            if (v != -1) snprintf(buf, sizeof buf, "0%lo", static_cast<unsigned long>(v));
            break;
        case FP_KT_TIME:
            if (v != -1) fp_time_to_str(v, buf, sizeof buf);
            break;
        case FP_KT_DOS_OPT:
            if (v == 1) snprintf(buf, sizeof buf, "Reboot");
            break;
        case FP_KT_WIN_OPT:
            if (v == 1 || v == 2) snprintf(buf, sizeof buf, "%s", v == 1 ? "Reboot" : "Restart");
            break;
        default:
            break;
    }
    return strdup(buf);
}

// The version text printed for the set and how many entries it knew;
// -1 for a major version other than 2.
int printed_version(const fp_keyws* set, const char** version) {
    const char* sig = set->signature;
    size_t plen = strlen(FP_SIG_PREFIX);
    if (!sig || strncmp(sig, FP_SIG_PREFIX, plen) != 0) {
        *version = "2";
        return kCountV2;
    }
    int major, minor;
    if (fp_parse_version(sig + plen, &major, &minor) != 0 || major != 2) return -1;
    *version = sig + plen;
    switch (minor) {
        case 1:
            return kCountV201;
        case 2:
            return kCountV202;
        case 3:
            return kCountV203;
        case 4:
            return kCountV204;
        case 5:
            return kCountV205;
        case 6:
            return kCountV206;
        default:
            *version = FP_VERSION;
            return FP_NKEYWS;
    }
}

}  // namespace

char* keyw_to_str(const fp_keyws* set, const char* key) {
    const fp_keyw_entry* e = find_keyw(key);
    return e ? value_text(set, e) : nullptr;
}

int prt_keywlist(const fp_keyws* set, char** text) {
    *text = nullptr;
    const char* version;
    int count = printed_version(set, &version);
    if (count < 0) return -1;
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    if (!out) return -1;
    bool ok =
        fprintf(out, "%s%s\tVelkar Filepack (version %s)\n", FP_SIG_PREFIX, version, version) >= 0;
    for (int i = 0; ok && i < count; i++) {
        const fp_keyw_entry* e = &keyset[i];
        char* value = value_text(set, e);
        ok = value && fprintf(out, "%s=%s\n", e->name, value) >= 0;
        free(value);
    }
    ok = fclose(out) == 0 && ok;
    if (!ok) {
        free(buf);
        return -1;
    }
    *text = buf;
    return 0;
}
