// Unpacking: reading a block and installing, uninstalling, listing, sizing,
// masking or repacking its nodes.
//
// unpack_common drives the whole stream: the encoded header, then one
// package after another (unpack_one), each its control nodes (read by
// unpack_cntl), the package scripts, the list file and the node loop. Every
// node that passes the pre-install checks goes to ct->fn with FP_EV_NODE;
// the callback must consume the node's body (or call skip_node). The
// current node's checksum is in ct->node_check. FP_EV_CNTL (operation 26
// and FP_MOD_RAW_CNTL) carries the "cntl" node of ct->cntl_node, whose body
// was read already; the repack callbacks copy it with FP_MOD_RAW_CNTL.
//
// Node names are never trusted: a name with a ".." component is not
// installed, removed or masked (level 1, body skipped). Every place on disk
// is reached from its root (the install location: default_dest under the
// platform prefix, else the prefix, "/" or the current directory; this
// run's script directory; list_path), which is taken as named, one
// component at a time without following a symbolic link; a node beneath a
// link is refused (level 1), and a directory node takes the place of a link
// at its name. Files, links and backups are made complete under a
// temporary name in their directory and renamed over the old entry, so a
// name holds the old entry or the complete new one whatever fails.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "fpack.h"

// Reads the block on ct->ip with the callback ct->fn (must be set, as ct->ip).
// A bad encoded header is fatal ("unpack: bad header"). Returns 1 when the
// stream ended right after the trailer (and padding) of its last package, 0
// when a package ended before its trailer; failures leave through the
// context's jump point or set ct->status.
int unpack_common(fp_ctxt* ct);

// Node callbacks of the unpacking operations (fp_node_fn). For FP_EV_NODE
// `name` is the destination path and `st` the node's header; `rec` is null.
int install_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int uninstall_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int unpack_list_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int unpack_size_node(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int unpack_hdr_bitmask(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int unpack_repack(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);
int unpack_repack_hdrs(fp_ctxt* ct, int event, const char* name, struct stat* st, fp_frec* rec);

// Reads past the body of the node `st` (its size, whatever its type; nothing
// in a headers-only block). An input error is fatal ("unpack: input error (err=%d,
// blkno=%ld)", level 2).
void skip_node(fp_ctxt* ct, const struct stat* st);

// Installs a regular file at `path` from the body of the current node: a
// new file is written where no name shows it, given owner, mode (setuid
// bits last, after the owner) and times from `st`, then renamed over the
// old one. On any failure the new file is discarded, the old one stays,
// and -1 is returned after a message (a failing write is fatal: "bad file
// write."); 0 on success. With the n modifier the body is only read past.
// Control nodes (scripts) are installed through this too.
int install_file(fp_ctxt* ct, const char* path, const struct stat* st);

// Makes sure the directory part of `path` exists and is reached without a
// link: missing directories are created per create_dirs (default modes and
// owners). Nothing with the n modifier. Returns 0, or -1 after a message.
//
// With rm_extraneous an install clears, at the end of each package, every
// directory that holds one of its nodes and every directory node, once in
// the run, of the entries that are not directories and that the run did
// not place (backed up per backup_fmt).
int check_path(fp_ctxt* ct, const char* path);

// The install path of node `name` (FP_PATH_MAX + 1 bytes in `out`): the
// name without leading slashes (logged once, level 0) joined under
// unix_platform_prefix, else under the root of default_dest, unless the P
// modifier keeps it relative; repeated slashes and "." components are
// dropped. Repacking keeps the name as it is. Returns 0, or -1 after
// "%s: path too long" (level 1).
int unpack_dest_name(fp_ctxt* ct, const char* name, char* out);

// The list line of a node ("%06o %2d %3d/%3d  %6lu  %20.20s  %.255s\n": mode,
// links, owner, group, size, time, name) into out; returns its length.
size_t fp_list_line(const struct stat* st, const char* name, char* out, size_t size);

// Frees the unpacking state of a context (tables, open list file).
void unpack_dispose(fp_ctxt* ct);
