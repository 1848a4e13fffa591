// Nested file packages: other descriptions named in a description's
// nested-package list, processed with their own context into the same
// output stream, before or after the outer package's nodes.
//
// An entry "Lfile=<path>" names a local description. Any other entry names
// a package held by the distributed framework, which this program cannot
// reach: it fails.
#pragma once

#include "fpack.h"

// Deepest nesting level at which a nested package is still processed.
#define FP_NEST_MAX 16
// Most bytes of a nested description that are read.
#define FP_NEST_DESC_MAX 65536

// Processes one entry with a nested context that shares the output
// channel, operation, modifiers, callback and (afterwards) the messages.
// Returns 0, -1 when the entry could not be processed (logged), or the
// nested operation's non-zero result (1: it ended fatally).
int do_nested(fp_ctxt* ct, const char* entry);

// Every entry of ct->nested in order, each logged as "--Nested File Package
// Start/Failure/Finish: %s"; a fatal failure ends the operation unless the
// n modifier is set.
void process_nested(fp_ctxt* ct);
