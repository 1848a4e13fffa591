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

// Starts postproc on the output channel, after the encoded header was
// written. Fatal: "too many args", "post-process failed (err %d)".
void start_out_filter(fp_ctxt* ct);
// Starts `command` on the input channel, which is replaced by the
// filter's output with the same record options. Fatal: "too many args",
// "pre-process failed (err %d)".
void start_in_filter(fp_ctxt* ct, const char* command);

// End of the filtered output (after the zero-length write that ends the
// stream) or input (after the last package): closes the filter's input,
// waits for it and reports its error output ("filter: stderr:\n%.*s"), its
// exit report ("filter: subcmd ecode(%.4s)") and a killed filter ("filter:
// ecode (0x%x)"), each of which marks the stream as failed (level 1). No
// filter: nothing. Returns 0, or -1 when the stream failed.
int out_stream_eof(fp_ctxt* ct);
int in_stream_eof(fp_ctxt* ct);

// Stops a filter still running (signal 15), reaps it and its feeder and
// closes what it held, without messages. Idempotent (the context's disposal
// calls it too).
void io_filter_dispose(fp_ctxt* ct);
