// The context, the operation dispatcher and the fpack command line.
#include "fp_ops.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cntl_files.h"
#include "fopt.h"
#include "fpack.h"
#include "fppar.h"
#include "io_chan.h"
#include "io_filter.h"
#include "keyw.h"
#include "log_msg.h"
#include "pack.h"
#include "sig_end.h"
#include "unpack.h"
#include "zug.h"

// ---- the context ------------------------------------------------------------

namespace {

char* dup_or_null(const char* s) {
    return s != nullptr ? strdup(s) : nullptr;
}

void replace_str(char** field, const char* value) {
    free(*field);
    *field = dup_or_null(value);
}

fp_keyws* new_keyws() {
    fp_keyws* kw = (fp_keyws*)calloc(1, sizeof(fp_keyws));
    if (kw != nullptr) set_dflt_keyws(kw);
    return kw;
}

void free_keyws(fp_keyws* kw) {
    if (kw == nullptr) return;
    dispose_keyws(kw);
    free(kw);
}

}  // namespace

fp_ctxt* fp_new_ctxt() {
    fp_ctxt* ct = (fp_ctxt*)calloc(1, sizeof(fp_ctxt));
    if (ct == nullptr) return nullptr;
    ct->buffer = (char*)malloc(FP_BUFSIZE);
    ct->conf = new_keyws();
    if (ct->buffer == nullptr || ct->conf == nullptr) {
        fp_dispose_ctxt(ct);
        return nullptr;
    }
    snprintf(ct->version, sizeof ct->version, "%s", FP_VERSION);
    snprintf(ct->cntl_dir, sizeof ct->cntl_dir, "%s", FP_CNTL_DIR);
    return ct;
}

void fp_dispose_ctxt(fp_ctxt* ct) {
    if (ct == nullptr) return;
    // A filter still running holds the channels' descriptors: stop it first.
    io_filter_dispose(ct);
    unpack_cntl_end(ct);
    fp_close_input(ct);
    fp_close_output(ct);
    pack_dispose_walk(ct);
    unpack_dispose(ct);
    free(ct->name);
    free(ct->stage);
    free(ct->stage2);
    free(ct->hdr_bits);
    free(ct->buffer);
    free_keyws(ct->conf);
    free(ct->conf_override);
    fp_dispose_filelist(ct->files);
    fp_dispose_strlist(ct->nested);
    fp_dispose_strlist(ct->excludes);
    fp_dispose_strlist(ct->scripts_list);
    fp_dispose_strlist(ct->list_files);
    fp_msgbuf_free(&ct->msg);
    free(ct->partial_path);
    free(ct);
}

void fp_set_name(fp_ctxt* ct, const char* name) {
    replace_str(&ct->name, name);
}
void fp_set_size(fp_ctxt* ct, long size) {
    ct->size = size;
}

void fp_set_stage(fp_ctxt* ct, const char* stage, const char* stage2) {
    if (stage != nullptr && stage[0] != '\0') replace_str(&ct->stage, stage);
    if (stage2 != nullptr && stage2[0] != '\0') replace_str(&ct->stage2, stage2);
}

void fp_set_input(fp_ctxt* ct, ioch* ip) {
    ct->ip = ip;
}

void fp_close_input(fp_ctxt* ct) {
    if (ct->ip != nullptr) ioch_dispose(ct->ip);
    ct->ip = nullptr;
}

void fp_set_output(fp_ctxt* ct, ioch* op) {
    ct->op = op;
}

void fp_close_output(fp_ctxt* ct) {
    if (ct->op != nullptr) ioch_dispose(ct->op);
    ct->op = nullptr;
}

void fp_set_dtype(fp_ctxt* ct, int dtype) {
    ct->dtype = dtype;
}
void fp_set_nest_level(fp_ctxt* ct, int level) {
    ct->nest_level = level;
}
void fp_set_last_mtime(fp_ctxt* ct, long t) {
    ct->last_mtime = t;
}
void fp_set_repack_mod(fp_ctxt* ct, int mod) {
    ct->repack_mod = mod;
}
void fp_set_conf_override(fp_ctxt* ct, const char* text) {
    replace_str(&ct->conf_override, text);
}

void fp_set_ptype(fp_ctxt* ct, int ptype, long modifiers) {
    ct->ptype = ptype;
    ct->modifiers = modifiers;
}

int fp_get_ptype(const fp_ctxt* ct, long* modifiers) {
    if (modifiers != nullptr) *modifiers = ct->modifiers;
    return ct->ptype;
}

int fp_set_hdr_bits(fp_ctxt* ct, const uint32_t* bits, int words) {
    uint32_t* copy = nullptr;
    if (words > 0) {
        copy = (uint32_t*)malloc(sizeof(uint32_t) * (size_t)words);
        if (copy == nullptr) return -1;
        memcpy(copy, bits, sizeof(uint32_t) * (size_t)words);
    }
    free(ct->hdr_bits);
    ct->hdr_bits = copy;
    ct->hdr_words = words > 0 ? words : 0;
    ct->hdr_maxbit = ct->hdr_words * 32 - 1;
    return 0;
}

void fp_get_hdr_bits(const fp_ctxt* ct, const uint32_t** bits, int* words) {
    *bits = ct->hdr_bits;
    *words = ct->hdr_words;
}

fp_keyws* fp_get_conf(fp_ctxt* ct) {
    return ct->conf;
}
long fp_get_rval(const fp_ctxt* ct) {
    return ct->rval;
}
jmp_buf* fp_get_jmpbuf(fp_ctxt* ct) {
    return &ct->jmp;
}

void fp_get_msgbuf(fp_ctxt* ct, char** text, size_t* len) {
    *text = ct->msg.buf;
    *len = ct->msg.used;
    ct->msg.buf = nullptr;
    ct->msg.used = ct->msg.cap = 0;
}

void fp_get_fp_desc(fp_ctxt* ct, fp_desc* desc) {
    desc->conf = ct->conf;
    desc->files = ct->files;
    desc->nested = ct->nested;
    desc->excludes = ct->excludes;
    ct->conf = new_keyws();
    ct->files = nullptr;
    ct->nested = ct->excludes = nullptr;
}

void fp_set_fp_desc(fp_ctxt* ct, const fp_desc* desc) {
    free_keyws(ct->conf);
    fp_dispose_filelist(ct->files);
    fp_dispose_strlist(ct->nested);
    fp_dispose_strlist(ct->excludes);
    ct->conf = desc->conf;
    ct->files = desc->files;
    ct->nested = desc->nested;
    ct->excludes = desc->excludes;
}

void fp_dispose_filelist(fp_frec* list) {
    while (list != nullptr) {
        fp_frec* next = list->next;
        dispose_frec(list);
        list = next;
    }
}

void fp_dispose_strlist(fp_strlist* list) {
    while (list != nullptr) {
        fp_strlist* next = list->next;
        free(list->str);
        free(list);
        list = next;
    }
}

void fp_send_eof(fp_ctxt* ct) {
    // The last record goes out here: a failure is as fatal as any other.
    if (ct->op != nullptr && ioch_write(ct->op, "", 0) != 0)
        log_msg(ct, FP_LOG_FATAL, "out_stream write error (cnt=%d)", -1);
}

// ---- operations -------------------------------------------------------------

namespace {

int parse_only_node(fp_ctxt*, int, const char*, struct stat*, fp_frec*) {
    return 0;
}

bool is_repack_code(int code) {
    return code == FP_OP_REPACK || code == FP_OP_REPACK_HDRS;
}

bool is_unpack_code(int code) {
    return code >= FP_OP_INSTALL && code <= FP_OP_NOTICE;
}

// The node callback of a block-side operation; null for others. Reading
// the keyword set or the notice settings only needs no callback.
fp_node_fn unpack_side_fn(int code) {
    switch (code) {
        case FP_OP_INSTALL:
            return install_node;
        case FP_OP_UNINSTALL:
            return uninstall_node;
        case FP_OP_UNPACK_LIST:
            return unpack_list_node;
        case FP_OP_LIST_BITS:
            return unpack_hdr_bitmask;
        case FP_OP_UNPACK_SIZE:
            return unpack_size_node;
        case FP_OP_REPACK:
            return unpack_repack;
        case FP_OP_REPACK_HDRS:
            return unpack_repack_hdrs;
        case FP_OP_READ_CONF:
        case FP_OP_NOTICE:
            return parse_only_node;
        default:
            return nullptr;
    }
}

// The node callback of a description-side operation; null for others.
fp_node_fn pack_side_fn(int code) {
    switch (code) {
        case FP_OP_PACK_INT:
        case FP_OP_PACK:
        case FP_OP_PACK_HDRS:
            return pack_node;
        case FP_OP_LIST:
            return list_node;
        case FP_OP_FLIST:
        case FP_OP_FLIST_OPTS:
            return flist_node;
        case FP_OP_SIZE:
        case FP_OP_PC_SIZE:
            return size_node;
        case FP_OP_PARSE:
            return parse_only_node;
        default:
            return nullptr;
    }
}

void run_operation(fp_ctxt* ct, void* arg) {
    fp_node_fn fn = *(fp_node_fn*)arg;
    if (!is_unpack_code(ct->ptype)) {
        parse_fp(ct, fn);
        return;
    }
    ct->fn = fn;
    if (unpack_common(ct) == 1 && ct->ptype == FP_OP_INSTALL) fputs(FP_BLOCK_READ_LINE, stdout);
    // Listings and repacked blocks end their output stream.
    if (ct->ptype == FP_OP_UNPACK_LIST || is_repack_code(ct->ptype)) fp_send_eof(ct);
    // A repacked block through postproc: collect the filter's exit report.
    if (is_repack_code(ct->ptype)) out_stream_eof(ct);
}

void run_output_fp(fp_ctxt* ct, void*) {
    output_fp(ct);
}

}  // namespace

int fp_operation(fp_ctxt* ct, int code, long modifiers) {
    fp_set_ptype(ct, code, modifiers);
    ct->status = FP_ST_OK;
    ct->in_on_error = 0;
    fp_node_fn fn = is_unpack_code(code) ? unpack_side_fn(code) : pack_side_fn(code);
    if (fn == nullptr) {
        log_msg(ct, FP_LOG_INFO, "unknown code (%d)", code);
        return 1;
    }
    if (code == FP_OP_SIZE || code == FP_OP_PC_SIZE || code == FP_OP_UNPACK_SIZE) ct->rval = 0;
    int jumped = fp_guarded(ct, run_operation, &fn);
    if (jumped == FP_JMP_FATAL) return 1;
    if (code == FP_OP_LIST && ct->status == FP_ST_FAILED) ct->status = FP_ST_OK;
    return ct->status;
}

bool fp_changes_disk(const fp_ctxt* ct) {
    return (ct->ptype == FP_OP_INSTALL || ct->ptype == FP_OP_UNINSTALL) &&
           !(ct->modifiers & FP_MOD_N);
}

int fp_pack(fp_ctxt* ct, long modifiers) {
    return fp_operation(ct, FP_OP_PACK, modifiers);
}
int fp_list(fp_ctxt* ct, long modifiers) {
    return fp_operation(ct, FP_OP_LIST, modifiers);
}
int fp_flist(fp_ctxt* ct, long modifiers) {
    return fp_operation(ct, FP_OP_FLIST, modifiers);
}
int fp_flist_opts(fp_ctxt* ct, long modifiers) {
    return fp_operation(ct, FP_OP_FLIST_OPTS, modifiers);
}
int fp_size(fp_ctxt* ct, long modifiers) {
    return fp_operation(ct, FP_OP_SIZE, modifiers);
}
int fp_pc_size(fp_ctxt* ct, long modifiers) {
    return fp_operation(ct, FP_OP_PC_SIZE, modifiers);
}
int fp_pack_hdrs(fp_ctxt* ct, long modifiers) {
    return fp_operation(ct, FP_OP_PACK_HDRS, modifiers);
}

int fp_read_fp_desc(fp_ctxt* ct, fp_desc* desc) {
    // Parsing only: walking the files would report missing ones and run the
    // source-side script, neither of which a reader of the text wants.
    int rv = fp_operation(ct, FP_OP_PARSE, ct->modifiers & ~FP_MOD_D);
    fp_get_fp_desc(ct, desc);
    return rv;
}

int fp_write_fp_desc(fp_ctxt* ct, const fp_desc* desc) {
    fp_set_fp_desc(ct, desc);
    return fp_guarded(ct, run_output_fp, nullptr) == 0 ? 0 : 1;
}

// ---- the command line -------------------------------------------------------

namespace {

struct modifier_letter {
    char letter;
    long bit;
};

const modifier_letter kModLetters[] = {
    {'d', FP_MOD_D}, {'c', FP_MOD_C},       {'a', FP_MOD_A},    {'o', FP_MOD_O},
    {'z', FP_MOD_Z}, {'u', FP_MOD_U},       {'h', FP_MOD_H},    {'k', FP_MOD_K},
    {'n', FP_MOD_N}, {'N', FP_MOD_NOCHECK}, {'C', FP_MOD_CNTL}, {'P', FP_MOD_P},
};

// The -f file as this run found it: whether the run created it (only then
// may a failure remove it) and which file that is.
struct out_state {
    bool created;
    dev_t dev;
    ino_t ino;
};

struct cli {
    const char* prog;
    int unpack, list, hdrs, uninstall, size, no_output, bits, repack, verbose, flist, info;
    int raise_fsize, read_whole;
    long mods;
    long last_mtime;
    const char* out_file;
    const char* name;
    const char* operand;
    char* override;  // "key=value\n" lines
    out_state out;
    int writes_block;  // the operation writes a block on the output
};

// Appends one override line.
void add_override(cli* o, const char* line) {
    size_t old = o->override != nullptr ? strlen(o->override) : 0;
    size_t add = strlen(line);
    char* text = (char*)realloc(o->override, old + add + 2);
    if (text == nullptr) {
        perror("malloc()");
        exit(FP_EXIT_FAIL);
    }
    memcpy(text + old, line, add);
    text[old + add] = '\n';
    text[old + add + 1] = '\0';
    o->override = text;
}

// The -C override; a directory with blanks or quotes is quoted so that it
// stays one value.
void add_relpath_override(cli* o, const char* dir) {
    char* quoted = escape_str(dir);
    size_t len = strlen("src_relpath=") + strlen(quoted != nullptr ? quoted : dir) + 1;
    char* line = (char*)malloc(len);
    if (line == nullptr) {
        perror("malloc()");
        exit(FP_EXIT_FAIL);
    }
    snprintf(line, len, "src_relpath=%s", quoted != nullptr ? quoted : dir);
    add_override(o, line);
    free(line);
    free(quoted);
}

// Returns 0, or -1 when the command line calls for the usage text.
int parse_args(int argc, char** argv, cli* o) {
    memset(o, 0, sizeof *o);
    o->prog = argv[0];
    o->mods = FP_MOD_DEFAULT;
    opterr = 0;  // an unknown option gets the usage text only
    int c;
    while ((c = getopt(argc, argv, "C:Pphursnum:D:bRvlU:IN:Ff:e")) != -1) {
        switch (c) {
            case 'C':
                add_relpath_override(o, optarg);
                break;
            case 'D':
                add_override(o, optarg);
                break;
            case 'P':
                o->mods |= FP_MOD_CNTL | FP_MOD_K;
                break;
            case 'p':
                o->list = 1;
                o->mods |= FP_MOD_N;
                break;
            case 'h':
                o->hdrs = 1;
                break;
            case 'u':
                o->unpack = 1;
                break;
            case 'r':
                o->uninstall = 1;
                break;
            case 's':
                o->size = 1;
                o->mods |= FP_MOD_N;
                break;
            case 'n':
                o->no_output = 1;
                break;
            case 'm':
                if (fp_parse_mods(optarg, &o->mods) != 0) return -1;
                break;
            case 'b':
                o->bits = 1;
                break;
            case 'R':
                o->repack = 1;
                break;
            case 'v':
                o->verbose = 1;
                break;
            case 'l':
                o->flist++;
                o->mods |= FP_MOD_N;
                break;
            case 'U':
                if (str_to_time(optarg, &o->last_mtime) != 0) return -1;
                break;
            case 'I':
                o->info = 1;
                break;
            case 'N':
                o->name = optarg;
                break;
            case 'F':
                o->raise_fsize = 1;
                break;
            case 'f':
                o->out_file = optarg;
                break;
            case 'e':
                o->read_whole = 1;
                break;
            default:
                return -1;
        }
    }
    if (o->list && o->size) return -1;
    // A block that says "headers only" but carries bodies, or a reader
    // that skips bodies that are there: no reader could follow either.
    if ((o->mods & FP_MOD_H) && !o->hdrs) {
        fprintf(stderr, "%s: the h modifier needs -h\n", o->prog);
        return -1;
    }
    if (optind != argc - 1) return -1;
    o->operand = argv[optind];
    return 0;
}

struct op_choice {
    int code;
    int dtype;
};

op_choice choose_operation(const cli* o) {
    if (o->unpack) {
        if (o->bits) return {FP_OP_LIST_BITS, FP_DT_LIST};
        if (o->list) return {FP_OP_UNPACK_LIST, FP_DT_LIST};
        if (o->uninstall) return {FP_OP_UNINSTALL, FP_DT_BLOCK};
        if (o->size) return {FP_OP_UNPACK_SIZE, FP_DT_SIZE};
        return {FP_OP_INSTALL, FP_DT_BLOCK};
    }
    if (o->repack) return {o->hdrs ? FP_OP_REPACK_HDRS : FP_OP_REPACK, FP_DT_BLOCK};
    if (o->list) return {FP_OP_LIST, FP_DT_LIST};
    if (o->size) return {FP_OP_SIZE, FP_DT_SIZE};
    if (o->hdrs) return {FP_OP_PACK_HDRS, FP_DT_BLOCK};
    if (o->flist) return {o->flist > 1 ? FP_OP_FLIST_OPTS : FP_OP_FLIST, FP_DT_LIST};
    return {FP_OP_PACK, FP_DT_BLOCK};
}

void raise_fsize_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_FSIZE, &rl) == 0 && rl.rlim_cur != rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_FSIZE, &rl);
    }
}

// Reads all of fd into a new buffer; exits through the system error printer.
char* read_all(int fd, size_t* len) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        perror("fstat()");
        exit(FP_EXIT_FAIL);
    }
    size_t cap = st.st_size > 0 ? (size_t)st.st_size + 1 : 65536, used = 0;
    char* buf = (char*)malloc(cap);
    for (;;) {
        if (buf == nullptr) {
            perror("malloc()");
            exit(FP_EXIT_FAIL);
        }
        ssize_t n = read(fd, buf + used, cap - used);
        if (n < 0) {
            perror("read()");
            exit(FP_EXIT_FAIL);
        }
        if (n == 0) break;
        used += (size_t)n;
        if (used == cap) buf = (char*)realloc(buf, cap *= 2);
    }
    *len = used;
    return buf;
}

// The description read whole and converted to UTF-8, as a memory channel.
ioch* utf8_input(const char* operand) {
    int fd = strcmp(operand, "-") == 0 ? 0 : open(operand, O_RDONLY);
    if (fd < 0) return nullptr;
    size_t len;
    char* text = read_all(fd, &len);
    if (fd != 0) close(fd);
    char* utf8 = (char*)malloc(3 * len + 1);
    if (utf8 == nullptr) {
        perror("malloc()");
        exit(FP_EXIT_FAIL);
    }
    size_t n = zug_to_utf8(nullptr, text, len, utf8, 3 * len + 1);
    free(text);
    ioch* ch = ioch_data_init(utf8, (long)n);
    free(utf8);
    return ch;
}

// A channel on the operand; standard input for "-". The channel owns its
// descriptor, so standard input is duplicated.
ioch* open_input(const char* operand) {
    int fd = strcmp(operand, "-") == 0 ? dup(0) : open(operand, O_RDONLY);
    if (fd < 0) return nullptr;
    ioch* ch = ioch_fd_init(fd);
    if (ch == nullptr) close(fd);
    return ch;
}

// Opens the -f file for writing: a new file (mode 0600, remembered as made
// by this run), else the existing one, truncated when it is a regular
// file. A symbolic link at the name is followed only when root or this
// user owns it. Returns the descriptor, or -1 with errno set.
int open_out_file(cli* o) {
    const char* path = o->out_file;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    if (fd >= 0) {
        if (fstat(fd, &st) == 0) {
            o->out = out_state{true, st.st_dev, st.st_ino};
            sigend_remove_on_signal(path, st.st_dev, st.st_ino);
        }
        return fd;
    }
    if (errno != EEXIST || lstat(path, &st) != 0) return -1;
    if (S_ISLNK(st.st_mode) && st.st_uid != 0 && st.st_uid != geteuid()) {
        errno = ELOOP;
        return -1;
    }
    fd = open(path, O_WRONLY | O_CLOEXEC | (S_ISLNK(st.st_mode) ? 0 : O_NOFOLLOW));
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Attaches the output: -f file or standard output. Returns 0, or -1 after
// printing the reason. A block is binary and often large: written to a
// terminal it helps nobody and can leave the terminal in a strange state.
int open_output(fp_ctxt* ct, cli* o) {
    const char* name = o->out_file != nullptr ? o->out_file : "-";
    int fd = o->out_file != nullptr ? open_out_file(o) : dup(1);
    if (fd < 0) {
        fprintf(stderr, "can't open output file %s: %s\n", name, strerror(errno));
        return -1;
    }
    if (o->writes_block && isatty(fd)) {
        close(fd);
        fprintf(stderr,
                "%s: will not write a file-package block to a terminal (%s); name a file "
                "with -f or redirect standard output\n",
                o->prog, o->out_file != nullptr ? o->out_file : "standard output");
        return -1;
    }
    ioch* op = ioch_fd_init(fd);
    if (op == nullptr) {
        close(fd);
        fputs("output channel failure\n", stderr);
        return -1;
    }
    fp_set_output(ct, op);
    return 0;
}

// Closes the output: false (reason printed) when a write or the close
// failed, so that nothing cut short passes for a whole result.
bool close_output(fp_ctxt* ct, const cli* o) {
    if (ct->op == nullptr) return true;
    int rv = ioch_close(ct->op);
    ct->op = nullptr;
    if (rv == 0) return true;
    fprintf(stderr, "can't write %s: %s\n",
            o->out_file != nullptr ? o->out_file : "standard output", strerror(errno));
    return false;
}

// Removes the -f file after a failure, when this run made it and it is
// still that file.
void remove_created_output(const cli* o) {
    struct stat st;
    if (o->out.created && lstat(o->out_file, &st) == 0 && st.st_dev == o->out.dev &&
        st.st_ino == o->out.ino)
        unlink(o->out_file);
}

// Prints the collected messages; returns 2 when there were any.
int report_messages(fp_ctxt* ct, int verbose) {
    char* text;
    size_t len;
    fp_get_msgbuf(ct, &text, &len);
    int rv = 0;
    if (text != nullptr && len > 0) {
        fputs("messages:\n", stderr);
        fwrite(text, 1, len, stderr);
        rv = 2;
    } else if (verbose) {
        fputs("no messages.\n", stderr);
    }
    free(text);
    return rv;
}

void print_bits(const fp_ctxt* ct) {
    fputs("bits: ", stderr);
    for (int i = 0; i < ct->hdr_words; i++) fprintf(stderr, "%08x\n", (unsigned)ct->hdr_bits[i]);
}

// The package name without -N: the operand's last component, which keeps
// a long or nested path out of the encoded header and the names derived
// from the package name.
const char* default_name(const char* operand) {
    static char name[FP_PATH_MAX + 1];
    size_t end = strlen(operand);
    while (end > 1 && operand[end - 1] == '/') end--;
    size_t start = end;
    while (start > 0 && operand[start - 1] != '/') start--;
    if (end == start || end - start > FP_PATH_MAX) return operand;
    snprintf(name, sizeof name, "%.*s", (int)(end - start), operand + start);
    return name;
}

// A context reading the operand and writing the output, or null (reason
// printed). Called right after the input was opened, so errno still holds
// the reason when ip is null.
fp_ctxt* make_context(cli* o, ioch* ip) {
    int input_errno = errno;
    fp_ctxt* ct = fp_new_ctxt();
    if (ct == nullptr) {
        if (ip != nullptr) ioch_dispose(ip);
        fputs("new_ctxt failed\n", stderr);
        return nullptr;
    }
    if (ip == nullptr) {
        fprintf(stderr, "input channel failure: %s: %s\n",
                strcmp(o->operand, "-") == 0 ? "standard input" : o->operand,
                strerror(input_errno));
        fp_dispose_ctxt(ct);
        return nullptr;
    }
    fp_set_input(ct, ip);
    fp_set_name(ct, o->name != nullptr ? o->name : default_name(o->operand));
    if (o->last_mtime != 0) fp_set_last_mtime(ct, o->last_mtime);
    if (!o->no_output && open_output(ct, o) != 0) {
        fp_dispose_ctxt(ct);
        return nullptr;
    }
    if (o->override != nullptr) fp_set_conf_override(ct, o->override);
    return ct;
}

// The second pass of -b: the same operand read again, limited to the nodes
// of the first pass's mask. Its messages do not change the exit status,
// an output that could not be written does: returns false then.
bool second_pass(cli* o, const uint32_t* bits, int words) {
    fp_ctxt* ct = make_context(o, open_input(o->operand));
    if (ct == nullptr) return o->no_output;
    int code = !o->repack ? FP_OP_UNPACK_LIST : o->hdrs ? FP_OP_REPACK_HDRS : FP_OP_REPACK;
    fp_set_dtype(ct, code == FP_OP_UNPACK_LIST ? FP_DT_LIST : FP_DT_BLOCK);
    if (fp_set_hdr_bits(ct, bits, words) == 0) fp_operation(ct, code, FP_MOD_D | FP_MOD_A);
    bool written = close_output(ct, o);
    report_messages(ct, o->verbose);
    fp_dispose_ctxt(ct);
    return written;
}

}  // namespace

int fp_parse_mods(const char* text, long* mask) {
    if (text == nullptr || text[0] == '\0') return -1;
    if (strspn(text, "0123456789") == strlen(text)) {
        *mask = strtol(text, nullptr, 10);
        return 0;
    }
    long m = 0;
    for (const char* p = text; *p != '\0'; p++) {
        long bit = 0;
        for (const modifier_letter& ml : kModLetters)
            if (ml.letter == *p) bit = ml.bit;
        if (bit == 0) return -1;
        m |= bit;
    }
    *mask = m;
    return 0;
}

void fp_usage(FILE* out, const char* prog) {
    fprintf(out, "Usage:  %s [-C dir ] [-Dkey=value] [-pPl] [-N name] fp-desc > fpblk\n", prog);
    fprintf(out, "\t%s -u [-C dir ] [-Dkey=value] [-pPl] [-N name] fpblk\n", prog);
    fprintf(out, "\t%s -ur [-C dir ] [-Dkey=value] [-N name] fpblk\n", prog);
}

int fp_main(int argc, char** argv) {
    cli o;
    if (parse_args(argc, argv, &o) != 0) {
        fp_usage(stderr, argv[0]);
        free(o.override);
        return FP_EXIT_FAIL;
    }
    sigend_install();
    if (o.raise_fsize) raise_fsize_limit();
    op_choice op = choose_operation(&o);
    o.writes_block = !o.info && op.dtype == FP_DT_BLOCK && !o.unpack;
    ioch* ip = o.read_whole ? utf8_input(o.operand) : open_input(o.operand);
    fp_ctxt* ct = make_context(&o, ip);
    if (ct == nullptr) {
        free(o.override);
        return FP_EXIT_FAIL;
    }
    fp_set_dtype(ct, op.dtype);

    fp_desc desc = {};
    int rv = o.info ? fp_read_fp_desc(ct, &desc) : fp_operation(ct, op.code, o.mods);
    int status = rv != 0 ? FP_EXIT_FAIL : FP_EXIT_OK;
    if (o.info) {
        // A description that cannot be printed is a failure too.
        if (fp_write_fp_desc(ct, &desc) != 0) {
            rv = FP_ST_FATAL;
            status |= FP_EXIT_FAIL;
        }
    }
    bool complete = close_output(ct, &o) && rv != FP_ST_FATAL;
    if (!complete) status |= FP_EXIT_FAIL;
    if (o.size) printf("size= %ld\n", fp_get_rval(ct));
    if (o.bits) print_bits(ct);
    status += report_messages(ct, o.verbose);
    // Results printed on standard output count as output too.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "can't write standard output: %s\n", strerror(errno));
        status |= FP_EXIT_FAIL;
    }

    uint32_t* bits = nullptr;
    int words = ct->hdr_words;
    if (words > 0) {
        bits = (uint32_t*)malloc(sizeof(uint32_t) * (size_t)words);
        if (bits != nullptr) memcpy(bits, ct->hdr_bits, sizeof(uint32_t) * (size_t)words);
    }
    fp_dispose_ctxt(ct);
    if (o.bits && (o.repack || o.list)) {
        // The second pass writes the output anew: it alone decides whether
        // the output is whole.
        complete = second_pass(&o, bits, bits != nullptr ? words : 0);
        if (!complete) status |= FP_EXIT_FAIL;
    }
    free(bits);
    free(o.override);
    if (!complete) remove_created_output(&o);
    sigend_remove_on_signal(nullptr, 0, 0);
    // Messages and the mask that could not be printed leave a failure.
    if (fflush(stderr) != 0 || ferror(stderr)) status |= FP_EXIT_FAIL;
    return status;
}
