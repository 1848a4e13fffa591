// Control nodes: the keyword set and the scripts that travel at the start of
// every package, under the control directory "VelkarCntlDir/<name>/".
#pragma once

#include "fpack.h"

#define FP_CNTL_DIR "VelkarCntlDir"
// Number of control names.
#define FP_NCNTL 98

// The control names in table order: "cntl", then per platform prefix the
// kinds as program and "_in" input names, "nw_login", then win95 and os400.
extern const char* const fp_cntl_names[FP_NCNTL];

// Index of a control name in fp_cntl_names, or -1.
int fp_cntl_index(const char* name);

// Writes "<dir>/<package name or ->/<control>" into buf (size bytes).
// Returns 0, or -1 when it does not fit.
int fp_cntl_node_name(const fp_ctxt* ct, const char* control, char* buf, size_t size);

// Writes the control nodes of a package: the "cntl" node holding the printed
// keyword set in UTF-8 with its NUL (mode 0100400).
void pack_cntl(fp_ctxt* ct);
