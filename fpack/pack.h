// Packing: the walk over a description's file list and the node callbacks
// of the packing-side operations.
//
// The walk (process_file_records) examines each record's path, applies the
// exclusions, the -U cut-off and descent, and hands every node to ct->fn
// with FP_EV_NODE. The callbacks compute the destination name and
// attributes (merge_stat) and write, list or measure the node.
#pragma once

#include <sys/stat.h>

#include "fpack.h"

// Deepest directory nesting the walk descends into.
#define FP_MAX_DEPTH 50

// Walks every file record of ct->files; names that cannot be found are
// reported together at the end ("Files:%s: not found", level 1).
void process_file_records(fp_ctxt* ct);

// Destination name (into dest, FP_PATH_MAX + 1 bytes) and attributes (into
// *st) of one node found under `rec`. Returns 0, or -1 when the node is to
// be skipped (its name maps to nothing or is too long; logged).
int merge_stat(fp_ctxt* ct, const char* name, struct stat* st, const fp_frec* rec, char* dest);

// Shell-style match of a whole text: "*" (crossing "/"), "?", bracket sets
// with "^" negation and ranges, backslash escapes. A malformed bracket or a
// null argument does not match. Returns 1 on a match, else 0.
int fp_match(const char* pattern, const char* text);

// Node callbacks of the packing-side operations.
int pack_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int list_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int flist_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int size_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);

// Writes file `src` as node `node` (a script travelling as a control node):
// its header from *st and its body, without hard-link handling. An
// unreadable file is logged (level 3) and left out.
void pack_named_file(fp_ctxt* ct, const char* src, const char* node, const struct stat* st);

// Called with the source path after a file's header is written and before
// its body is read (tests change the file there). Null: none.
void pack_set_body_hook(void (*hook)(const char* path));

// A nested package writes into its outer package's stream: its files with
// more links take their identities on the wire from the same table, so
// that no two files of the stream share one. Returns 0, or -1 when memory
// fails.
int pack_share_link_ids(fp_ctxt* nested, fp_ctxt* outer);
// Frees the walk state (hard-link table) of a context.
void pack_dispose_walk(fp_ctxt* ct);
