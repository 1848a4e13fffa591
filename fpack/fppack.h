// The block format: encoded header line, node headers ("070702" written
// without padding, "070707" also read), trailer with padding to 512, and
// the per-file checksum.
//
// Every write of the node stream goes through fp_out_write, which counts the
// bytes (for the trailer padding) and ends the operation on a write failure.
#pragma once

#include <sys/stat.h>

#include "fpack.h"

// Longest encoded header line, newline included.
#define FP_HDR_MAX 256
// Node header length without the name ("070702" and 13 fields of 8).
#define FP_NODE_HDR_LEN 110
#define FP_TRAILER_NAME "TRAILER!!!"
// Mode of the trailer and of control nodes.
#define FP_CNTL_MODE 0100400

// Writes the encoded header raw to the output channel. A write failure, a
// line longer than FP_HDR_MAX, postproc without preproc (or the reverse), or
// a filter that cannot start end the operation.
void encode_header(fp_ctxt* ct);
// Reads the encoded header from the input channel and configures the input
// channel's layers as it announces. A stream that starts with a "070707"
// node is a plain archive (logged at level 0). Returns 0, or -1.
int decode_header(fp_ctxt* ct);

// Writes one node header and its name (`name` in the local code set; it is
// written in UTF-8, a leading "./" removed). A null `st` writes a
// trailer-style header (mode 0100400, one link, other fields 0) with `size`.
// Fields wider than 32 bits are cut to their low 32 bits. Returns 0, or -1
// (nothing written) when the UTF-8 name is longer than FP_NAME_MAX.
int putheader(fp_ctxt* ct, const char* name, const struct stat* st, unsigned long check, long size);
// Reads one node header and name (converted to the local code set, at most
// FP_NAME_MAX bytes) into st, *check and name. Returns 0, or -1 after a
// level-1 message; a first record whose check bytes fit another record
// size is reported as a record size mismatch, with the TRELL_BUF_SIZE that
// reads the block.
int getheader(fp_ctxt* ct, struct stat* st, unsigned long* check, char name[FP_NAME_MAX + 1]);
// Writes the trailer node and pads the node stream to a multiple of 512.
void dotrailer(fp_ctxt* ct);

// Writes bytes of the node stream; a failure ends the operation with
// "out_stream write error (cnt=%d)". Without an output channel (-n) the
// bytes are only counted.
void fp_out_write(fp_ctxt* ct, const void* data, long len);
// Writes n zero bytes of the node stream.
void fp_out_zeros(fp_ctxt* ct, long long n);
// Moves up to n bytes of file fd, from its start, into the node stream
// inside the kernel when the output allows it (see ioch_send_from);
// returns how many, counted as written. A failure to write ends the
// operation as in fp_out_write.
long long fp_out_send(fp_ctxt* ct, int fd, long long n);

// Checksum of a file on disk (a symbolic link: of its target text): the
// first four bytes of its MD5 digest as a big-endian number. `st` tells the
// file type. Returns -1 after a level-3 message when it cannot be read.
long get_file_cksum(fp_ctxt* ct, const char* path, const struct stat* st);
