// Control nodes written at the start of every package.
#include "cntl_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fppack.h"
#include "fppar.h"
#include "io_chan.h"
#include "keyw.h"
#include "log_msg.h"
#include "pack.h"
#include "run_script.h"
#include "safe_path.h"
#include "unpack.h"
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

namespace {

// The keyword set as the "cntl" node.
void pack_keywords(fp_ctxt* ct) {
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

// ---- scripts travelling in the block ----------------------------------------

// Control name of slot `slot` ("unix_before", "unix_before_in", ...).
void slot_control(int slot, char* buf, size_t size) {
    snprintf(buf, size, "unix_%s%s", fp_script_kinds[slot / 2].name, slot % 2 ? "_in" : "");
}

// The path lists whose files travel, as slots: calls fn for every entry.
void each_travelling(fp_ctxt* ct, void (*fn)(fp_ctxt*, const char*, int, void*), int* slot) {
    const fp_keyws* kw = ct->conf;
    for (int k = 0; k < FP_SCR_KINDS; k++) {
        const fp_script_kind* sk = &fp_script_kinds[k];
        *slot = 2 * k;
        if (kw->*sk->prog_from_src) fp_each_script(ct, kw->*sk->prog, fn, slot);
        *slot = 2 * k + 1;
        if (kw->*sk->input_from_src) fp_each_script(ct, kw->*sk->input, fn, slot);
    }
}

bool stat_script(fp_ctxt* ct, const char* path, struct stat* st) {
    if (stat(path, st) == 0) return true;
    log_msg(ct, FP_LOG_WARN, "stat on %s: %s: ", path, strerror(errno));
    return false;
}

void pack_script(fp_ctxt* ct, const char* path, int index, void* slot) {
    struct stat st;
    if (!stat_script(ct, path, &st)) return;
    char control[64], leaf[80], node[FP_NAME_MAX + 1];
    slot_control(*(int*)slot, control, sizeof control);
    snprintf(leaf, sizeof leaf, "%s%d", control, index);
    if (fp_cntl_node_name(ct, leaf, node, sizeof node) != 0) {
        log_msg(ct, FP_LOG_WARN, "%s/%s: name too long", FP_CNTL_DIR, leaf);
        return;
    }
    pack_named_file(ct, path, node, &st);
}

void size_script(fp_ctxt* ct, const char* path, int, void*) {
    struct stat st;
    if (stat(path, &st) != 0) {
        log_msg(ct, FP_LOG_WARN, "stat: %s: ", path);
        return;
    }
    ct->rval += (long)st.st_size;
}

}  // namespace

void pack_cntl(fp_ctxt* ct) {
    pack_keywords(ct);
    if (ct->ptype == FP_OP_REPACK_HDRS || (ct->modifiers & FP_MOD_RAW_CNTL)) return;
    int slot;
    each_travelling(ct, pack_script, &slot);
}

long size_src_cntl(fp_ctxt* ct) {
    // Measured into rval by the callbacks, then handed back.
    long before = ct->rval;
    ct->rval = 0;
    int slot;
    each_travelling(ct, size_script, &slot);
    long size = ct->rval;
    ct->rval = before;
    return size;
}

// ---- reading control nodes --------------------------------------------------

int extract_ftype(const fp_ctxt* ct, const char* name, int* index) {
    *index = -1;
    size_t dlen = strlen(ct->cntl_dir);
    if (strncmp(name, ct->cntl_dir, dlen) != 0 || name[dlen] != '/') return -1;
    const char* leaf = strrchr(name, '/') + 1;
    size_t len = strlen(leaf), base = len;
    while (base > 0 && leaf[base - 1] >= '0' && leaf[base - 1] <= '9') base--;
    // Indexes count entries of one keyword's list; more digits are no index.
    const size_t kMaxDigits = 4;
    char control[64];
    if (len - base > kMaxDigits || base == 0 || base >= sizeof control) return -2;
    memcpy(control, leaf, base);
    control[base] = '\0';
    int idx = fp_cntl_index(control);
    if (idx < 0) return -2;
    if (base < len) *index = atoi(leaf + base);
    return idx;
}

void fp_with_text_input(fp_ctxt* ct, const char* text, long len,
                        void (*body)(fp_ctxt* ct, void* arg), void* arg) {
    ioch* saved = ct->ip;
    int saved_line = ct->line;
    ct->ip = ioch_data_init(text, len);
    ct->line = 1;
    int rv = ct->ip != nullptr ? fp_guarded(ct, body, arg) : -1;
    ioch_dispose(ct->ip);
    ct->ip = saved;
    ct->line = saved_line;
    if (rv < 0) log_msg(ct, FP_LOG_FATAL, "Out of memory");
    if (rv != 0) fp_jump(ct, rv);
}

namespace {

void input_error(fp_ctxt* ct) {
    int err = 0;
    long blk = 0;
    ioch_get_error(ct->ip, &err, &blk);
    log_msg(ct, FP_LOG_FATAL, "unpack: input error (err=%d, blkno=%ld): %s", err, blk,
            ioch_input_error_text(err));
}

void free_cntl_node(fp_ctxt* ct) {
    if (ct->cntl_node == nullptr) return;
    free(ct->cntl_node->text);
    free(ct->cntl_node);
    ct->cntl_node = nullptr;
}

// The body of the "cntl" node, kept in ct->cntl_node with its header.
void read_cntl_body(fp_ctxt* ct, const struct stat* st, const char* name) {
    if (st->st_size < 0 || st->st_size > FP_CNTL_MAX)
        log_msg(ct, FP_LOG_FATAL, "%s: control file too large", name);
    fp_cntl_node* cn = (fp_cntl_node*)calloc(1, sizeof *cn);
    char* text = cn != nullptr ? (char*)malloc((size_t)st->st_size + 1) : nullptr;
    if (text == nullptr) {
        free(cn);
        log_msg(ct, FP_LOG_FATAL, "Out of memory");
    }
    cn->text = text;
    cn->st = *st;
    cn->check = ct->node_check;
    snprintf(cn->name, sizeof cn->name, "%s", name);
    ct->cntl_node = cn;
    if (ioch_read_exact(ct->ip, text, st->st_size) != st->st_size) input_error(ct);
    // The body carries its own NUL; one more ends a body that lacks it.
    text[st->st_size] = '\0';
}

void read_cntl_keywords(fp_ctxt* ct, void*) {
    read_keywords_utf8(ct, 1, 1);
}

// The keyword set of the block, then the caller's override.
void apply_cntl_keywords(fp_ctxt* ct) {
    const fp_cntl_node* cn = ct->cntl_node;
    fp_with_text_input(ct, cn->text, (long)strlen(cn->text), read_cntl_keywords, nullptr);
    long block_mods = ct->conf->modifiers;
    bool hn = (block_mods & FP_MOD_H) && !(block_mods & FP_MOD_N);
    bool c_alone = (block_mods & (FP_MOD_D | FP_MOD_C)) == FP_MOD_C;
    if (ct->ptype != FP_OP_UNINSTALL && ct->modifiers == 0 && hn && !c_alone)
        ct->modifiers = FP_MOD_H;
    fp_apply_override(ct);
    ct->conf->modifiers |= block_mods & FP_MOD_H;
}

void log_notice(fp_ctxt* ct) {
    const fp_keyws* kw = ct->conf;
    log_msg(ct, FP_LOG_INFO, "post_notice: %d\nmail_id: %s\nlog_host: %s\nlog_file:\t%s\n",
            (int)kw->post_notice, kw->mail_id ? kw->mail_id : "", kw->log_host ? kw->log_host : "",
            kw->log_file ? kw->log_file : "");
}

// The first node must be the keyword set.
void read_first(fp_ctxt* ct, struct stat* st, char* name) {
    int index;
    int idx = extract_ftype(ct, name, &index);
    if (idx == -2) log_msg(ct, FP_LOG_WARN, "%s: illegal filename", name);
    if (idx != 0 || index != -1) log_msg(ct, FP_LOG_FATAL, "no control files found.");
    read_cntl_body(ct, st, name);
}

// Where a script goes: under the destination with install_progs (its
// package part replaced by the package's name), else a private temporary
// file. Returns 0, or -1 (logged).
int script_dest(fp_ctxt* ct, const char* leaf, char* out) {
    if (!ct->conf->install_progs) return fp_tmp_script_path(ct, leaf, out, FP_PATH_MAX + 1);
    char node[FP_PATH_MAX + 1];
    const char* pkg = ct->name != nullptr && ct->name[0] != '\0' ? ct->name : "-";
    int n = snprintf(node, sizeof node, "%s/%s/%s", FP_CNTL_DIR, pkg, leaf);
    if (n < 0 || (size_t)n >= sizeof node) {
        log_msg(ct, FP_LOG_WARN, "%s: path too long", leaf);
        return -1;
    }
    // The package name comes from the block: it must not lead elsewhere.
    if (sp_has_dotdot(node)) {
        log_msg(ct, FP_LOG_WARN, "%s: illegal filename", node);
        return -1;
    }
    if (unpack_dest_name(ct, node, out) != 0) return -1;
    return check_path(ct, out);
}

// The slot of control name `idx`; -1 for the names this build carries but
// never runs (other platforms, "cntl").
int slot_of(int idx) {
    char control[64];
    for (int slot = 0; slot < FP_NSLOTS; slot++) {
        slot_control(slot, control, sizeof control);
        if (strcmp(control, fp_cntl_names[idx]) == 0) return slot;
    }
    return -1;
}

// One script node: checked against its from-source flag, written with mode
// 0500 owned by its slot's owner, entered into the slot.
void read_script(fp_ctxt* ct, int idx, int index, const char* name, const struct stat* st) {
    int slot = slot_of(idx);
    if (slot >= 0 && index < 0) log_msg(ct, FP_LOG_WARN, "%s: illegal filename", name);
    if (slot < 0 || index < 0) {
        skip_node(ct, st);
        return;
    }
    const fp_script_kind* sk = &fp_script_kinds[slot / 2];
    if (slot % 2 == 0)
        FP_ASSERT(ct, ct->conf->*sk->prog_from_src != 0, sk->prog_assert);
    else
        FP_ASSERT(ct, ct->conf->*sk->input_from_src != 0, sk->input_assert);
    // Only an operation that runs scripts needs them in place.
    if (!fp_changes_disk(ct) || (ct->modifiers & FP_MOD_H)) {
        skip_node(ct, st);
        return;
    }
    char control[64], leaf[80], dest[FP_PATH_MAX + 1];
    slot_control(slot, control, sizeof control);
    snprintf(leaf, sizeof leaf, "%s%d", control, index);
    if (script_dest(ct, leaf, dest) != 0) {
        skip_node(ct, st);
        return;
    }
    struct stat s = *st;
    long owner = ct->conf->*sk->uid;
    s.st_mode = S_IFREG | 0500;
    s.st_uid = owner >= 0 ? (uid_t)owner : geteuid();
    s.st_gid = getegid();
    s.st_nlink = 1;
    if (install_file(ct, dest, &s) == 0) fp_add_script(ct, slot, dest, index);
}

struct cntl_read {
    struct stat* st;
    char* name;
    int rv;
};

int read_control_area(fp_ctxt* ct, struct stat* st, char* name) {
    if (getheader(ct, st, &ct->node_check, name) != 0) return -1;
    read_first(ct, st, name);
    apply_cntl_keywords(ct);
    if (ct->ptype == FP_OP_REPACK_HDRS || (ct->modifiers & FP_MOD_RAW_CNTL))
        return getheader(ct, st, &ct->node_check, name) == 0 ? 0 : -1;
    fp_scripts_setup(ct);
    if (ct->ptype == FP_OP_READ_CONF) return 1;
    if (ct->ptype == FP_OP_NOTICE) {
        log_notice(ct);
        return 1;
    }
    for (;;) {
        if (getheader(ct, st, &ct->node_check, name) != 0) return -1;
        int index;
        int idx = extract_ftype(ct, name, &index);
        if (idx == -1) break;
        if (ct->modifiers & FP_MOD_CNTL) ct->fn(ct, FP_EV_CNTL, name, st, nullptr);
        if (idx == -2) {
            log_msg(ct, FP_LOG_WARN, "%s: illegal filename", name);
            skip_node(ct, st);
            continue;
        }
        read_script(ct, idx, index, name, st);
    }
    fp_fill_slots(ct);
    ct->on_error = fp_on_error;
    return 0;
}

void read_control_area_body(fp_ctxt* ct, void* arg) {
    cntl_read* r = (cntl_read*)arg;
    r->rv = read_control_area(ct, r->st, r->name);
}

}  // namespace

int unpack_cntl(fp_ctxt* ct, struct stat* st, char name[FP_NAME_MAX + 1]) {
    unpack_cntl_end(ct);
    cntl_read r = {st, name, -1};
    // Until the on-error hook takes over, a failure here releases what the
    // package had set up.
    int jumped = fp_guarded(ct, read_control_area_body, &r);
    if (jumped != 0 || r.rv != 0) unpack_cntl_end(ct);
    if (jumped != 0) fp_jump(ct, jumped);
    return r.rv;
}

void unpack_cntl_end(fp_ctxt* ct) {
    remove_tmp_scripts(ct);
    fp_scripts_dispose(ct);
    free_cntl_node(ct);
}
