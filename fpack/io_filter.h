// Stream filters: a command that transforms the block after its encoded
// header -- postproc when packing, the announced "pre" command when
// unpacking -- run as a child process between pipes.
//
// Packing: the output channel's record layer writes into the filter's
// standard input; the filter writes to the real output (a descriptor
// channel's descriptor, or a private file copied into a memory channel at
// the end). Unpacking: the filter reads the rest of the block (the input
// descriptor itself, or a feeder child for a memory channel) and the input
// channel reads the filter's output. State is in the ct->filter_* fields.
#pragma once

#include "fpack.h"

// Most words of a filter command.
#define FP_FILTER_ARGS 10
// The environment variable naming the one other input filter that
// listing, sizing, masks and repacking may run.
#define FP_ALLOW_PRE_ENV "FPACK_ALLOW_PRE"
// Seconds a filter may go on after the end of its input (progs_timeout,
// when set, instead) before it is stopped.
#define FP_FILTER_END_SECONDS 60

// Starts postproc on the output channel, after the encoded header was
// written. Fatal: "too many args", "post-process failed (err %d)".
void start_out_filter(fp_ctxt* ct);
// Starts `command` on the input channel, which is replaced by the
// filter's output with the same record options. The command comes from
// the block: install and uninstall (without the n modifier) log it
// ("pre-process: \"%s\"", level 0) and run it; other operations run only a
// known decompressor (gzip, xz, zstd, ... named bare, with flag words made
// of d, c and q) or exactly the text of $FPACK_ALLOW_PRE, and end with
// "pre-process refused: ..." otherwise. Fatal: "too many args",
// "pre-process failed (err %d)".
void start_in_filter(fp_ctxt* ct, const char* command);

// End of the filtered output (after the zero-length write that ends the
// stream) or input (after the last package): closes the filter's input,
// waits for it and reports its error output ("filter: stderr:\n%.*s"), its
// exit report ("filter: subcmd ecode(%.4s)") and a killed filter ("filter:
// ecode (0x%x)"), each of which marks the stream as failed (level 1). A
// filter still running after the end limit is stopped. The filter's
// process group ends with it. No filter: nothing. Returns 0, or -1 when
// the stream failed.
int out_stream_eof(fp_ctxt* ct);
int in_stream_eof(fp_ctxt* ct);

// Stops a filter still running (signal 15 to its process group, signal 9
// after RUNCMD_STOP_GRACE_MS), reaps it and its feeder and closes what it
// held, without messages. Idempotent (the context's disposal
// calls it too).
void io_filter_dispose(fp_ctxt* ct);
