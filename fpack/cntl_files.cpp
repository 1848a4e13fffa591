// Control nodes written at the start of every package.
#include "cntl_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fppack.h"
#include "keyw.h"
#include "log_msg.h"
#include "zug.h"

// Program and input names of the six script kinds of one platform prefix.
#define FP_CNTL_KINDS(P)                                                                         \
    P "_before", P "_before_in", P "_after", P "_after_in", P "_commit", P "_commit_in",         \
        P "_removal", P "_removal_in", P "_after_removal", P "_after_removal_in", P "_on_error", \
        P "_on_error_in"

const char* const fp_cntl_names[FP_NCNTL] = {
    "cntl",
    FP_CNTL_KINDS("unix"),
    FP_CNTL_KINDS("nw"),
    FP_CNTL_KINDS("dos"),
    FP_CNTL_KINDS("win"),
    FP_CNTL_KINDS("nt"),
    FP_CNTL_KINDS("os2"),
    "nw_login",
    FP_CNTL_KINDS("win95"),
    FP_CNTL_KINDS("os400"),
};

int fp_cntl_index(const char* name) {
    for (int i = 0; i < FP_NCNTL; i++)
        if (strcmp(fp_cntl_names[i], name) == 0) return i;
    return -1;
}

int fp_cntl_node_name(const fp_ctxt* ct, const char* control, char* buf, size_t size) {
    const char* pkg = ct->name != nullptr && ct->name[0] != '\0' ? ct->name : "-";
    int n = snprintf(buf, size, "%s/%s/%s", FP_CNTL_DIR, pkg, control);
    return n >= 0 && (size_t)n < size ? 0 : -1;
}

void pack_cntl(fp_ctxt* ct) {
    char* text = nullptr;
    if (prt_keywlist(ct->conf, &text) != 0) {
        log_msg(ct, FP_LOG_WARN, "prt_keywlist failed");
        return;
    }
    size_t len = strlen(text);
    // The work buffer holds any keyword set of ordinary size; a larger one
    // gets its own.
    size_t room = 3 * len + 1;
    char* utf8 = room <= FP_BUFSIZE ? ct->buffer : (char*)malloc(room);
    if (utf8 == nullptr) {
        free(text);
        log_msg(ct, FP_LOG_FATAL, "prt_keywlist: out of memory");
    }
    size_t n = zug_to_utf8(nullptr, text, len, utf8, room);
    free(text);
    char name[FP_NAME_MAX + 1];
    if (fp_cntl_node_name(ct, fp_cntl_names[0], name, sizeof name) != 0 ||
        putheader(ct, name, nullptr, 0, (long)n + 1) != 0) {
        if (utf8 != ct->buffer) free(utf8);
        log_msg(ct, FP_LOG_WARN, "%s/%s: name too long", FP_CNTL_DIR,
                ct->name != nullptr ? ct->name : "-");
        return;
    }
    utf8[n] = '\0';
    fp_out_write(ct, utf8, (long)n + 1);
    if (utf8 != ct->buffer) free(utf8);
}
