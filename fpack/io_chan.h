// I/O channel: every byte the engine reads or writes passes through one.
//
// A channel hides its transport ('F' file descriptor, 'D' memory) and applies
// the record layer on demand: records of `rec_size` bytes, optionally ending
// in 8 check bytes (the first 8 bytes of the MD5 of all payload so far) and
// optionally compressed one chunk per record (compress.h), the chunks packed
// back to back into transfer units of `rec_size` bytes. Framing (a 4-byte
// big-endian length before every message) sits above the record layer. Raw
// access bypasses the record layer (the encoded block header).
//
// Record size: 16,384 bytes, or $TRELL_BUF_SIZE when it is a decimal number
// in 512..65,536, read when the channel is made. With compression a record
// (payload plus check bytes) must fit the chunk's 15-bit length, so larger
// sizes are clamped to 32,767.
//
// A channel never reports through messages: calls return -1 and the caller
// reads ioch_get_error. Error codes: IOCH_ENOMEM, IOCH_ECKSUM, IOCH_EREAD,
// else the errno of the failing system call.
//
// Transfer handles ('B') and distribution objects ('M') do not exist in the
// stand-alone build: their descriptors and init calls yield no channel.
#pragma once

#include <cstddef>

#include "cksum.h"

enum {
    IOCH_ENOMEM = 32,  // a buffer could not be allocated
    IOCH_ECKSUM = 54,  // check bytes do not match
    IOCH_EREAD = 62,   // read failure: short or corrupt record, bad frame
};

#define IOCH_DFLT_RECSIZE 16384
#define IOCH_MIN_RECSIZE 512
#define IOCH_MAX_RECSIZE 65536
// Longest name in an "F", "B" or "W" descriptor.
#define IOCH_NAME_MAX 255
// Length of the frame prefix of a framed channel.
#define IOCH_FRAME_LEN 4

struct ioch {
    char type;     // 'F' descriptor, 'D' memory
    int framed;    // a 4-byte big-endian length precedes every message
    void* handle;  // transfer handle; always null in this build
    int fd;        // 'F': the descriptor (closed by ioch_dispose)
    // 'D': the memory area; reads consume from data_pos, writes append.
    unsigned char* data;
    long data_pos, data_len, data_cap;
    int error;       // 0, IOCH_E* or an errno value
    int at_end;      // the transport returned 0 bytes
    long rec_size;   // bytes per record on the wire, check bytes included
    long payload;    // payload bytes per record (rec_size - ck_len)
    cksum_state ck;  // running check state, when ck_len != 0
    int ck_len;      // CKSUM_CHECK_LEN when check bytes are on, else 0
    int compressed;  // records travel as compressed chunks
    // Writing: the transfer unit, cunit_pos bytes pending. Reading: the
    // compressed bytes read ahead, cunit[cunit_pos, cunit_room) not yet
    // decoded.
    unsigned char* cunit;
    long cunit_pos, cunit_room;
    unsigned char* rec;  // current record
    long rec_pos;        // next byte to read / bytes filled when writing
    long rec_len;        // payload bytes of the record being read
    long rec_count;      // records written or read so far
    int started;         // bytes passed through the records: options are fixed
    // When the first record read fails its check: the record size (check
    // bytes included) at which the stream's check bytes do match -- the
    // block was written with another TRELL_BUF_SIZE -- else 0. When that
    // record is the whole stream, the writer's size was this or more.
    long other_rec_size;
    int other_rec_at_least;
    // Reading a regular file through records: the offset of the next byte
    // to read, at which records are read with pread (skipping past bodies
    // then needs no system call); -1 for other transports, -2 until the
    // first record is read. The file's size when last asked.
    long long fpos;
    long long file_size;
    int short_fill;  // the next record of a plain stream is read short
};

// An empty 'D' channel with its record buffer; null when memory fails.
ioch* ioch_new();
// Channel on descriptor `fd`; the channel owns it. Null when memory fails.
ioch* ioch_fd_init(int fd);
// Memory channel reading a copy of `length` bytes of `data`.
ioch* ioch_data_init(const char* data, long length);
// Channel from a descriptor string of `length` bytes (not NUL-terminated):
//   "F path"     read the file ("F -" is descriptor 0)
//   "D text"     read the text
//   "B name"     transfer handle: never available here
//   "W" mode excl ooo path
//                create a file for writing: mode 'A' appends, anything else
//                truncates; excl 'E' adds exclusive creation; ooo are the
//                octal permission bits; the path starts at the 7th character
// A second character 'c' (in place of the blank, or as the mode of "W")
// makes the channel framed. Names are limited to IOCH_NAME_MAX bytes.
// Null on any failure; the _err form stores the reason in *error
// (ENAMETOOLONG, EINVAL for a malformed descriptor, ENOTSUP for "B", the
// errno of open, or IOCH_ENOMEM).
ioch* ioch_mdata_init(const char* descriptor, long length);
ioch* ioch_mdata_init_err(const char* descriptor, long length, int* error);
// Switches on each layer whose flag is non-zero (a zero flag leaves the
// layer as it is, e.g. framing from the descriptor); must precede the first
// record. Returns 0, or -1 when records already passed (nothing changes) or
// memory fails (IOCH_ENOMEM).
int ioch_options(ioch* ch, int framed, int compressed, int checked);
// Closes an 'F' channel's descriptor (whatever it is, 0 and 1 included)
// and frees the channel. Unwritten data is dropped: end the stream first.
void ioch_dispose(ioch* ch);
// The same for a channel that was written: returns 0 when every write and
// the close succeeded, else -1 with errno set to the channel's first error
// (see ioch_get_error) or the close's.
int ioch_close(ioch* ch);

// Writing. Returns `length`, or -1 (see ioch_get_error). In a framed
// channel the 4-byte length goes first. Length 0 ends the stream: the partial
// record is completed (check bytes, chunk) and written, and the transfer
// unit is flushed; no frame prefix is written for it.
long ioch_write(ioch* ch, const void* data, long length);
// Straight to the transport, bypassing records. Returns `length` or -1.
long ioch_raw_write(ioch* ch, const void* data, long length);
// Moves up to n bytes of file fd, from offset off, into a plain stream on
// a descriptor inside the kernel, after writing out what was gathered.
// Returns how many moved: fewer at the file's end, on any failure of the
// move (the caller reads and writes the rest itself, and so learns which
// side failed), and for other streams (0); -1 when writing out what was
// gathered failed (see ioch_get_error).
long ioch_send_from(ioch* ch, int fd, long long off, long n);

// Reading through the record layer. Each returns the bytes obtained (fewer
// than asked only at the end of the stream), or -1.
long ioch_read_exact(ioch* ch, void* buffer, long n);
// A malloc'd buffer (*buffer, freed by the caller) with up to n bytes of the
// current record (n == 0: the rest of it); in a framed channel one whole
// message. Returns its length; 0 and a null buffer at the end.
long ioch_recv(ioch* ch, unsigned char** buffer, long n);
// Reads past n bytes; in a plain stream from a regular file by moving the
// read offset past what is not buffered, never beyond the file's end.
long ioch_skip(ioch* ch, long n);
// Moves up to n bytes of a plain stream from a regular file to descriptor
// fd inside the kernel (what was read ahead first, by write). Returns how
// many moved: fewer than n at the end of the input, on any failure, and
// for other streams (0). The caller moves the rest through
// ioch_read_exact and its own writes, which tell a read failure from a
// write failure.
long ioch_send(ioch* ch, int fd, long n);
// Loads the next record and returns its first byte, -1 at the end or on an
// error. Callers read through ioch_getc.
int ioch_nextc_filbuf(ioch* ch);
// Next byte (0..255) or -1. One byte read by ioch_getc may be pushed back
// with ioch_ungetc.
inline int ioch_getc(ioch* ch) {
    return ch->rec_pos < ch->rec_len ? ch->rec[ch->rec_pos++] : ioch_nextc_filbuf(ch);
}
inline void ioch_ungetc(ioch* ch) {
    ch->rec_pos--;
}
// Straight from the transport, bypassing records. Returns n, fewer at the
// end, or -1.
long ioch_raw_read(ioch* ch, void* buffer, long n);
// The next n bytes of the compressed chunk stream beneath the records
// (compression on, n at most a record plus a chunk), consumed: *at points
// at them in the channel's read-ahead until the next call. Returns n,
// fewer at the end, or -1.
long ioch_cpt_read(ioch* ch, long n, const unsigned char** at);

// The channel's error code (also the return value) and the number of
// records read or written so far, a failing record included (the block
// number of an error); either pointer may be null.
int ioch_get_error(const ioch* ch, int* error, long* record);
// An input error code in words, for the reader of a message; 0 (a read
// that came short without an error) is a stream that ended too early.
const char* ioch_input_error_text(int error);
// The memory of a 'D' channel (initial text plus what was written). Returns
// 0, or -1 for other channels.
int ioch_get_data(const ioch* ch, const unsigned char** data, long* length);
// The current check bytes as 16 lower-case hex digits and a NUL (17 bytes).
void ioch_get_cksum(ioch* ch, char* text);
