// Per-file options of file records.
#include "fopt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fppar.h"
#include "keyw.h"
#include "log_msg.h"

fp_frec* new_frec() {
    fp_frec* rec = static_cast<fp_frec*>(calloc(1, sizeof(fp_frec)));
    if (!rec) return nullptr;
    rec->dir_mode = rec->file_mode = -1;
    rec->dir_uid = rec->file_uid = -1;
    rec->dir_gid = rec->file_gid = -1;
    rec->mtime = -1;
    return rec;
}

void dispose_frec(fp_frec* rec) {
    if (!rec) return;
    free(rec->path);
    free(rec->dest);
    free(rec);
}

namespace {

// A mode, owner or group option: its field and the message that rejects
// its value.
struct num_opt {
    char key;
    int fp_frec::*field;
    int (*convert)(const char*, long*);
    const char* error;
};

const num_opt kNumOpts[] = {
    {'m', &fp_frec::file_mode, str_to_mode, "%s: invalid mode"},
    {'M', &fp_frec::dir_mode, str_to_mode, "%s: invalid mode"},
    {'u', &fp_frec::file_uid, str_to_uid, "%s: invalid file uid"},
    {'U', &fp_frec::dir_uid, str_to_uid, "%s: invalid directory uid"},
    {'g', &fp_frec::file_gid, str_to_gid, "%s: invalid file gid"},
    {'G', &fp_frec::dir_gid, str_to_gid, "%s: invalid directory gid"},
};

const char* set_path_opt(char** field, const char* value) {
    char* copy;
    if (str_to_path(value, &copy) != 0) return "%s: invalid path";
    free(*field);
    *field = copy;
    return nullptr;
}

}  // namespace

const char* fopt_apply(fp_frec* rec, const char* key, const char* value, int* arg_is_key) {
    *arg_is_key = 1;
    if (!key || strlen(key) != 1) return "%s: illegal option";
    *arg_is_key = 0;
    char k = key[0];
    if (k == 's') return set_path_opt(&rec->path, value);
    if (k == 'd') return set_path_opt(&rec->dest, value);
    if (k == 'o') {
        if (value && strcmp(value, "descend") == 0) {
            rec->opt_flags |= FP_FOPT_DESCEND;
        } else if (value && strcmp(value, "nodescend") == 0) {
            rec->opt_flags |= FP_FOPT_NODESCEND;
        } else {
            return "%s: invalid option";
        }
        return nullptr;
    }
    if (k == 't') {
        long t;
        if (str_to_time(value, &t) != 0) return "%s: invalid time";
        rec->mtime = t;
        return nullptr;
    }
    for (const num_opt& o : kNumOpts) {
        if (o.key != k) continue;
        long v;
        if (o.convert(value, &v) != 0) return o.error;
        rec->*o.field = static_cast<int>(v);
        return nullptr;
    }
    *arg_is_key = 1;
    return "%s: illegal option";
}

void add_fopt(fp_ctxt* ct, fp_frec* rec, const char* key, const char* value) {
    int arg_is_key;
    const char* err = fopt_apply(rec, key, value, &arg_is_key);
    if (!err) return;
    const char* arg = arg_is_key ? key : value;
    parse_err(ct, err, arg ? arg : "<null>");
}

char* prt_fopt(const fp_frec* rec) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    if (!out) return nullptr;
    char* name = escape_str(rec->path);
    char* dest = rec->dest ? escape_str(rec->dest) : nullptr;
    bool ok = name && (!rec->dest || dest);
    if (ok) fputs(name, out);
    if (ok && dest) fprintf(out, " d=%s", dest);
    free(name);
    free(dest);
    if (rec->file_mode != -1) fprintf(out, " m=%o", static_cast<unsigned>(rec->file_mode));
    if (rec->dir_mode != -1) fprintf(out, " M=%o", static_cast<unsigned>(rec->dir_mode));
    if (rec->dir_uid != -1) fprintf(out, " U=%d", rec->dir_uid);
    if (rec->file_uid != -1) fprintf(out, " u=%d", rec->file_uid);
    if (rec->dir_gid != -1) fprintf(out, " G=%d", rec->dir_gid);
    if (rec->file_gid != -1) fprintf(out, " g=%d", rec->file_gid);
    char when[16];
    if (rec->mtime != -1 && fp_time_to_str(rec->mtime, when, sizeof when) == 0)
        fprintf(out, " t=%s", when);
    if (rec->opt_flags & FP_FOPT_DESCEND) {
        fputs(" o=descend", out);
    } else if (rec->opt_flags & FP_FOPT_NODESCEND) {
        fputs(" o=nodescend", out);
    }
    ok = !ferror(out) && ok;
    ok = fclose(out) == 0 && ok;
    if (!ok) {
        free(buf);
        return nullptr;
    }
    return buf;
}
