// Nested file packages.
#include "nestfp.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fppar.h"
#include "io_chan.h"
#include "keyw.h"
#include "log_msg.h"
#include "pack.h"
#include "zug.h"

namespace {

const char kLocal[] = "Lfile=";

// Reads the local description into a memory channel; null after a message.
ioch* locate_fp(fp_ctxt* ct, const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_msg(ct, FP_LOG_ERR, "nested fp: open: %s", path);
        return nullptr;
    }
    // One byte more than is read shows a description that would be cut.
    char* text = (char*)malloc(FP_NEST_DESC_MAX + 1);
    long len = 0;
    while (text != nullptr && len <= FP_NEST_DESC_MAX) {
        ssize_t n = read(fd, text + len, (size_t)(FP_NEST_DESC_MAX + 1 - len));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        len += n;
    }
    close(fd);
    ioch* ch = nullptr;
    if (text == nullptr)
        log_msg(ct, FP_LOG_FATAL, "fp_new_ctxt: out of memory");
    else if (len > FP_NEST_DESC_MAX)
        log_msg(ct, FP_LOG_WARN, "nested fp: %s: longer than %d bytes", path, FP_NEST_DESC_MAX);
    else if ((ch = ioch_data_init(text, len)) == nullptr)
        log_msg(ct, FP_LOG_FATAL, "fp_new_ctxt: out of memory");
    free(text);
    return ch;
}

// Appends "key=value\n" with the value quoted for a description.
void add_line(FILE* out, const char* key, const char* value) {
    char* q = escape_str(value);
    fprintf(out, "%s=%s\n", key, q != nullptr ? q : "");
    free(q);
}

// The outer package's notice and log settings, as an override applied
// after the nested description's own keywords.
char* notice_override(const fp_keyws* kw) {
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    if (out == nullptr) return nullptr;
    fprintf(out, "post_notice=%s\nappend_log=%s\n", kw->post_notice ? "y" : "n",
            kw->append_log ? "y" : "n");
    if (kw->mail_id != nullptr) add_line(out, "mail_id", kw->mail_id);
    if (kw->log_host != nullptr) add_line(out, "log_host", kw->log_host);
    if (kw->log_file != nullptr) add_line(out, "log_file", kw->log_file);
    if (kw->log_file_uid > 0) fprintf(out, "log_file_uid=%ld\n", kw->log_file_uid);
    if (kw->log_file_gid > 0) fprintf(out, "log_file_gid=%ld\n", kw->log_file_gid);
    if (kw->log_file_mode >= 0) fprintf(out, "log_file_mode=%04lo\n", kw->log_file_mode);
    if (fclose(out) != 0) {
        free(text);
        return nullptr;
    }
    return text;
}

// The name of a nested package: the entry from its last "/" on.
const char* nested_name(const char* entry) {
    const char* slash = strrchr(entry, '/');
    return slash != nullptr ? slash : entry;
}

void run_nested(fp_ctxt* nc, void*) {
    if (nc->nest_level >= FP_NEST_MAX) log_msg(nc, FP_LOG_FATAL, "too many levels of fp nesting");
    parse_fp(nc, nc->fn);
}

bool is_size_op(int ptype) {
    return ptype == FP_OP_SIZE || ptype == FP_OP_PC_SIZE;
}

// A nested context inheriting what the outer one shares with it.
fp_ctxt* new_nested(fp_ctxt* ct, const char* entry, ioch* ip) {
    fp_ctxt* nc = fp_new_ctxt();
    if (nc == nullptr || pack_share_link_ids(nc, ct) != 0) {
        fp_dispose_ctxt(nc);
        ioch_dispose(ip);
        log_msg(ct, FP_LOG_FATAL, "fp_new_ctxt: out of memory");
    }
    fp_set_input(nc, ip);
    fp_set_name(nc, nested_name(entry));
    nc->op = ct->op;
    nc->out_count = ct->out_count;
    nc->ptype = ct->ptype;
    nc->modifiers = ct->modifiers;
    nc->dtype = ct->dtype;
    nc->fn = ct->fn;
    nc->nest_level = ct->nest_level + 1;
    if (ct->modifiers & FP_MOD_INHERIT_U) nc->last_mtime = ct->last_mtime;
    if (ct->ptype == FP_OP_PACK && ct->conf->nested_first)
        nc->conf_override = notice_override(ct->conf);
    return nc;
}

// Hands the nested messages and results to the outer context and frees the
// nested one, leaving the shared output open.
void finish_nested(fp_ctxt* ct, fp_ctxt* nc) {
    if (nc->msg.used > 0) fp_msgbuf_append(&ct->msg, nc->msg.buf, nc->msg.used - 1);
    ct->out_count = nc->out_count;
    if (is_size_op(ct->ptype)) ct->rval += nc->rval;
    nc->op = nullptr;
    fp_dispose_ctxt(nc);
}

}  // namespace

int do_nested(fp_ctxt* ct, const char* entry) {
    // Packages held by the framework cannot be reached from this program.
    if (strncmp(entry, kLocal, strlen(kLocal)) != 0) return -1;
    ioch* ip = locate_fp(ct, entry + strlen(kLocal));
    if (ip == nullptr) return -1;
    fp_ctxt* nc = new_nested(ct, entry, ip);
    int jumped = fp_guarded(nc, run_nested, nullptr);
    int rv = jumped != 0 ? 1 : nc->status;
    finish_nested(ct, nc);
    return rv;
}

void process_nested(fp_ctxt* ct) {
    for (fp_strlist* e = ct->nested; e != nullptr; e = e->next) {
        // Entries name files: a longer one cannot be opened anyway.
        char entry[4 * FP_PATH_MAX];
        size_t len = strlen(e->str);
        size_t n = 2 * len + 1 <= sizeof entry
                       ? zug_from_utf8(nullptr, e->str, len, entry, sizeof entry - 1)
                       : 0;
        entry[n] = '\0';
        log_msg(ct, FP_LOG_INFO, "--Nested File Package Start: %s", n > 0 ? entry : e->str);
        int rv = n > 0 ? do_nested(ct, entry) : -1;
        if (rv != 0) {
            log_msg(ct, FP_LOG_INFO, "--Nested File Package Failure: %s", n > 0 ? entry : e->str);
            // A package that could not be included fails the outer one too.
            if (ct->status == FP_ST_OK) ct->status = FP_ST_FAILED;
            if (rv == 1 && !(ct->modifiers & FP_MOD_N)) {
                ct->status = FP_ST_FATAL;
                fp_jump(ct, FP_JMP_FATAL);
            }
        }
        log_msg(ct, FP_LOG_INFO, "--Nested File Package Finish: %s", n > 0 ? entry : e->str);
    }
}
