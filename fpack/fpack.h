// The file-package engine's context and operations.
//
// One `fp_ctxt` per operation owns the channels, the work buffer, the keyword
// set, the parsed description and the message buffer. Operations never print:
// they log into the context (log_msg.h) and leave through the context's jump
// point on a fatal error; `fp_operation` catches that jump.
//
// Types named here but defined elsewhere:
//   struct ioch     -- I/O channel (io_chan.h)
//   struct fp_keyws -- keyword set, one field per keyword named after its key
//                      (keyw.h); `set_dflt_keyws` fills it, `dispose_keyws`
//                      frees its strings.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>

struct ioch;
struct fp_keyws;

// Version of the keyword set and block format this engine writes.
#define FP_VERSION "v2.07"
// Size of the context's work buffer (also the copy chunk when packing).
#define FP_BUFSIZE 65536
// Longest name carried in a node, without its NUL.
#define FP_NAME_MAX 1023
// Longest path the engine builds, without its NUL.
#define FP_PATH_MAX 1024

// Operation codes (`ptype`).
enum {
    FP_OP_PACK_INT = 9,      // internal pack
    FP_OP_PACK = 10,         // default: write a block
    FP_OP_LIST = 11,         // -p
    FP_OP_FLIST = 12,        // -l
    FP_OP_FLIST_OPTS = 13,   // -ll
    FP_OP_SIZE = 14,         // -s
    FP_OP_PC_SIZE = 15,      // library size call
    FP_OP_PACK_HDRS = 16,    // -h: headers-only block
    FP_OP_PARSE = 17,        // -I: parse only
    FP_OP_INSTALL = 20,      // -u
    FP_OP_UNINSTALL = 21,    // -u -r
    FP_OP_UNPACK_LIST = 22,  // -u -p
    FP_OP_LIST_BITS = 23,    // -u -b
    FP_OP_UNPACK_SIZE = 24,  // -u -s
    FP_OP_REPACK = 25,       // -R
    FP_OP_REPACK_HDRS = 26,  // -R -h
    FP_OP_READ_CONF = 27,    // internal: the block's keyword set only
    FP_OP_NOTICE = 28,       // internal: the block's notice settings
};

// Modifier bits (`-m` letters in brackets).
enum : long {
    FP_MOD_D = 0x1,               // [d] run scripts; walk the file list
    FP_MOD_C = 0x2,               // [c] commit script after install
    FP_MOD_A = 0x4,               // [a] with o: install every file
    FP_MOD_INHERIT_U = 0x8,       // nested package inherits the -U cut-off
    FP_MOD_O = 0x10,              // [o] skip files identical on disk
    FP_MOD_Z = 0x20,              // [z] carried only
    FP_MOD_U = 0x40,              // [u] carried only
    FP_MOD_H = 0x1000000,         // [h] headers only
    FP_MOD_K = 0x2000000,         // [k] listings begin with the keyword set
    FP_MOD_N = 0x4000000,         // [n] preview: change nothing
    FP_MOD_NOCHECK = 0x8000000,   // [N] no pre-install checks
    FP_MOD_CNTL = 0x10000000,     // [C] control nodes go to the callback
    FP_MOD_P = 0x20000000,        // [P] keep relative paths relative
    FP_MOD_RAW_CNTL = 0x40000000  // control nodes copied through unchanged
};
#define FP_MOD_DEFAULT (FP_MOD_D | FP_MOD_C | FP_MOD_A)

// Destination types (`dtype`).
enum { FP_DT_BLOCK = 1, FP_DT_LIST = 4, FP_DT_SIZE = 6 };

// Node callback events.
enum { FP_EV_START = 1, FP_EV_NODE = 2, FP_EV_END = 3, FP_EV_CNTL = 4 };

// Exit statuses of the program.
enum {
    FP_EXIT_OK = 0,         // success, no messages
    FP_EXIT_FAIL = 1,       // failure without messages; usage and set-up errors
    FP_EXIT_MSGS = 2,       // success with messages
    FP_EXIT_FAIL_MSGS = 3,  // failure with messages
};

// Operation status values (`status`).
enum { FP_ST_OK = 0, FP_ST_FATAL = 1, FP_ST_FAILED = 2 };

// A singly linked list of owned strings (nested packages, exclusions, ...).
struct fp_strlist {
    char* str;
    fp_strlist* next;
};

// One file record of a description: a name and its per-file options.
// Numeric options are -1 when unset; strings are owned copies.
struct fp_frec {
    char* path;     // s: source dir of a relative name, then the full source path
    char* dest;     // d: destination path or directory
    int dir_mode;   // M
    int file_mode;  // m
    int dir_uid;    // U
    int file_uid;   // u
    int dir_gid;    // G
    int file_gid;   // g
    long mtime;     // t: seconds since the epoch
    int opt_flags;  // o: FP_FOPT_DESCEND | FP_FOPT_NODESCEND
    fp_frec* next;
};
enum { FP_FOPT_DESCEND = 1, FP_FOPT_NODESCEND = 2 };

// A parsed description, as handed out by fp_read_fp_desc.
struct fp_desc {
    fp_keyws* conf;
    fp_frec* files;
    fp_strlist* nested;
    fp_strlist* excludes;
};

// Accumulated messages: NUL-terminated text of `used` bytes in `cap`.
struct fp_msgbuf {
    char* buf;
    size_t used;
    size_t cap;
};

struct fp_ctxt;

// Node callback. `name` is the source path (packing) or node name
// (unpacking); `st` and `rec` are null for the start and end events.
// Returns 0, or non-zero when the node could not be handled.
typedef int (*fp_node_fn)(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);

// Walk state private to pack.cpp (hard-link and directory tables).
struct fp_walk;

struct fp_ctxt {
    char* name;        // package name
    char version[16];  // "v2.07" form, from the signature line or block
    long size;         // declared package size
    char* stage;       // optional stage strings
    char* stage2;
    ioch* ip;            // input channel
    int line;            // current description line (parse errors)
    ioch* op;            // output channel
    uint32_t* hdr_bits;  // node bit mask, LSB first
    int hdr_maxbit;      // hdr_words * 32 - 1
    int hdr_words;
    char* buffer;                   // FP_BUFSIZE bytes
    fp_keyws* conf;                 // keyword set, defaults applied at creation
    char* conf_override;            // "key=value\n" lines from -C/-D
    fp_frec* files;                 // parsed description: file records,
    fp_strlist* nested;             //   nested packages,
    fp_strlist* excludes;           //   exclusions
    int nest_level;                 // 0 for the outermost package
    long last_mtime;                // -U cut-off; 0 means none
    char relpath[FP_PATH_MAX + 2];  // src_relpath plus "/", or empty
    int ptype;                      // operation code
    long modifiers;                 // FP_MOD_* mask
    int repack_mod;
    fp_node_fn fn;  // node callback of the operation
    long rval;      // numeric result (size)
    int dtype;      // FP_DT_*
    int status;     // FP_ST_*
    fp_msgbuf msg;  // accumulated messages
    jmp_buf jmp;    // fatal-error target, valid while jmp_armed
    int jmp_armed;
    fp_strlist* scripts_list;  // temporary scripts of this run
    fp_strlist* list_files;    // list files opened in this run

    // Engine state beyond the public fields.
    int depth;                      // directory depth of the walk
    long node_count;                // node headers read or written
    int in_on_error;                // the on-error script is running
    void (*on_error)(fp_ctxt* ct);  // runs the on-error script; null until scripts exist
    char* partial_path;             // file being written, removed on a fatal error
    fp_walk* walk;                  // owned by pack.cpp
    long long out_count;            // bytes of the node stream written so far
    char hdr_pushback[6];           // node magic already read by decode_header
    int hdr_pushback_len;
    char cntl_dir[FP_PATH_MAX + 1];  // control directory of the block being read
    unsigned long node_check;        // checksum field of the node being unpacked
    struct fp_unpack* unpack;        // unpacking state, owned by unpack.cpp
    struct fp_scripts* scripts;      // script slots and environment (run_script.h)
    struct fp_cntl_node* cntl_node;  // the "cntl" node last read (cntl_files.h)
    // The stream filter (io_filter.h). Plain values, so that a failure that
    // jumps out leaves nothing allocated; filter_pid is 0 when none runs.
    int filter_pid;     // the filter command
    int filter_feeder;  // child feeding an in-memory block to an input filter
    int filter_err_fd;  // the filter's standard error (an unlinked file)
    int filter_out_fd;  // output filter: its standard output, kept while the
                        // output channel writes into the filter
    char filter_side;   // 'o' output filter, 'i' input filter
    char filter_type;   // output filter: the output channel's own transport
};

// Creates a context (zero-filled, defaults in conf, work buffer allocated).
// Returns null when memory fails.
fp_ctxt* fp_new_ctxt();
// Frees the context and everything it owns, attached channels included.
void fp_dispose_ctxt(fp_ctxt* ct);

void fp_set_name(fp_ctxt* ct, const char* name);
void fp_set_size(fp_ctxt* ct, long size);
// Each stage string is copied only when non-empty.
void fp_set_stage(fp_ctxt* ct, const char* stage, const char* stage2);
void fp_set_input(fp_ctxt* ct, ioch* ip);
void fp_close_input(fp_ctxt* ct);  // disposes of the input channel
void fp_set_output(fp_ctxt* ct, ioch* op);
void fp_close_output(fp_ctxt* ct);  // disposes of the output channel
void fp_set_dtype(fp_ctxt* ct, int dtype);
void fp_set_nest_level(fp_ctxt* ct, int level);
void fp_set_last_mtime(fp_ctxt* ct, long t);
void fp_set_repack_mod(fp_ctxt* ct, int mod);
// Copies the override text ("key=value\n" lines).
void fp_set_conf_override(fp_ctxt* ct, const char* text);
void fp_set_ptype(fp_ctxt* ct, int ptype, long modifiers);
int fp_get_ptype(const fp_ctxt* ct, long* modifiers);
// Copies `words` words of mask; returns 0, or -1 when memory fails.
int fp_set_hdr_bits(fp_ctxt* ct, const uint32_t* bits, int words);
void fp_get_hdr_bits(const fp_ctxt* ct, const uint32_t** bits, int* words);
fp_keyws* fp_get_conf(fp_ctxt* ct);
long fp_get_rval(const fp_ctxt* ct);
jmp_buf* fp_get_jmpbuf(fp_ctxt* ct);
// Hands the message text and its length to the caller, who frees it with
// free(); the context is left without a buffer. Null text when none.
void fp_get_msgbuf(fp_ctxt* ct, char** text, size_t* len);
// Moves the parsed description out of the context (which gets a default
// keyword set and empty lists), or into it (the context takes ownership and
// frees what it held).
void fp_get_fp_desc(fp_ctxt* ct, fp_desc* desc);
void fp_set_fp_desc(fp_ctxt* ct, const fp_desc* desc);

// Runs operation `code` with `modifiers`. Returns 0 on success, the non-zero
// status after a failure, 1 when a fatal error jumped back (a jump carrying
// FP_JMP_STATUS returns the status instead). Unknown codes log
// "unknown code (%d)" and return 1.
int fp_operation(fp_ctxt* ct, int code, long modifiers);

// Runs body(ct, arg) with the context's jump point armed. Returns 0 when the
// body returned, otherwise the value passed to fp_jump. Calls may nest; the
// previous jump point is restored afterwards.
int fp_guarded(fp_ctxt* ct, void (*body)(fp_ctxt* ct, void* arg), void* arg);
enum { FP_JMP_FATAL = 1, FP_JMP_STATUS = 2 };
// Leaves the operation through the armed jump point. Aborts (with the
// message buffer on standard error) when no jump point is armed: a fatal
// error outside an operation is a programming error.
[[noreturn]] void fp_jump(fp_ctxt* ct, int value);

// Whether the operation changes the disk where a block goes: an install or
// an uninstall without the n modifier. Only such an operation puts the
// scripts a block carries in place and runs them, and writes the list
// file; every other reading of a block (listing, size, mask, repack)
// changes nothing there and runs nothing the block names, whatever the
// modifiers and the block's keywords say.
bool fp_changes_disk(const fp_ctxt* ct);

// Library entry points for the packing side (codes in brackets).
int fp_pack(fp_ctxt* ct, long modifiers);        // [10]
int fp_list(fp_ctxt* ct, long modifiers);        // [11]
int fp_flist(fp_ctxt* ct, long modifiers);       // [12]
int fp_flist_opts(fp_ctxt* ct, long modifiers);  // [13]
int fp_size(fp_ctxt* ct, long modifiers);        // [14]
int fp_pc_size(fp_ctxt* ct, long modifiers);     // [15]
int fp_pack_hdrs(fp_ctxt* ct, long modifiers);   // [16]
// Parses the description (code 17, without walking the files) and moves
// it into *desc. Returns as fp_operation.
int fp_read_fp_desc(fp_ctxt* ct, fp_desc* desc);
// Moves *desc into the context and prints it as a description. Returns 0,
// or 1 when printing failed (messages in the context).
int fp_write_fp_desc(fp_ctxt* ct, const fp_desc* desc);
// Ends the output stream (a zero-length write); a failure ends the
// operation ("out_stream write error (cnt=%d)", level 2).
void fp_send_eof(fp_ctxt* ct);
void fp_dispose_filelist(fp_frec* list);
void fp_dispose_strlist(fp_strlist* list);
