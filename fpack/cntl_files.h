// Control nodes: the keyword set and the scripts that travel at the start of
// every package, under the control directory "VelkarCntlDir/<name>/".
#pragma once

#include <sys/stat.h>

#include "fpack.h"

#define FP_CNTL_DIR "VelkarCntlDir"
// Number of control names.
#define FP_NCNTL 98
// Largest "cntl" body read from a block.
#define FP_CNTL_MAX (1024L * 1024)

// The control names in table order: "cntl", then per platform prefix the
// kinds as program and "_in" input names, "nw_login", then win95 and os400.
extern const char* const fp_cntl_names[FP_NCNTL];

// Index of a control name in fp_cntl_names, or -1.
int fp_cntl_index(const char* name);

// Writes "<dir>/<package name or ->/<control>" into buf (size bytes).
// Returns 0, or -1 when it does not fit.
int fp_cntl_node_name(const fp_ctxt* ct, const char* control, char* buf, size_t size);

// The control index of node `name` ("<control dir>/<pkg>/<control><index>",
// the block's control directory ct->cntl_dir) into *index (-1 without
// digits). Returns the control name's table index, -1 when the name is not
// under the control directory, -2 when it is but names no control file.
int extract_ftype(const fp_ctxt* ct, const char* name, int* index);

// Runs body(ct, arg) with ct->ip replaced by a memory channel on `len` bytes
// of `text` (the description readers read keyword text that way); the
// input and line count are restored, also when the body ends the operation.
void fp_with_text_input(fp_ctxt* ct, const char* text, long len,
                        void (*body)(fp_ctxt* ct, void* arg), void* arg);

// Writes the control nodes of a package: the "cntl" node holding the printed
// keyword set in UTF-8 with its NUL (mode 0100400), then (unless repacking
// headers or copying control nodes raw) the script files whose from-source
// flag is set, named after their control name and index.
void pack_cntl(fp_ctxt* ct);
// Size of the script files pack_cntl would write.
long size_src_cntl(fp_ctxt* ct);

// The "cntl" node as read by unpack_cntl: header and body (st.st_size bytes,
// its NUL included), for callbacks that copy it through.
struct fp_cntl_node {
    char name[FP_NAME_MAX + 1];
    struct stat st;
    unsigned long check;
    char* text;
};

// Reads the control nodes at the start of a package from ct->ip: the "cntl"
// keyword set (then the caller's override, keeping the block's h bit), the
// script environment, then every script node, put in place and entered
// into its slot (run_script.h) when the operation changes the disk
// (fp_changes_disk), read past otherwise; the slots are completed from the keywords
// and ct->on_error is set. With the C modifier each script node is passed to
// ct->fn (FP_EV_CNTL, its name and header) before its body is read.
// On return 0, *st, name and ct->node_check hold the header of the first
// node after the control nodes (the package's first file or its trailer),
// already read. Operation 26 and FP_MOD_RAW_CNTL stop after "cntl": the
// header returned is the next node, a control node or not, and no script is
// set up. Returns 1 when the operation is complete (27: keywords only; 28:
// the notice settings logged), -1 when the package ends (logged); in both
// cases, and when a failure ends the operation, nothing of the package's
// control state is left (unpack_cntl_end is needed after 0 only).
int unpack_cntl(fp_ctxt* ct, struct stat* st, char name[FP_NAME_MAX + 1]);
// End of a package: removes its temporary scripts, frees the slots and the
// "cntl" copy, clears the on-error hook. Idempotent (the context's disposal
// calls it too).
void unpack_cntl_end(fp_ctxt* ct);
