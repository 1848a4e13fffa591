// The file-package description language: tokenizer, section readers, the
// whole-description driver `parse_fp`, and the printed form (`output_fp`).
//
// A description is, in order: an optional signature line ("#*KFP-v2.07 ..."),
// keyword lines, a file list, nested packages and exclusions; a line holding
// only "%" ends each of the last four sections but the last. Without a
// signature the text is a bare file list read with the default keywords.
//
// Readers take their characters from the context's input channel (ct->ip)
// and count lines in ct->line. Errors end the operation through parse_err or
// a level-2 message (log_msg.h); whatever a reader had allocated is freed
// first, and records already appended belong to the context.
#pragma once

#include "fpack.h"

// Words per logical line for every reader.
#define FP_MAX_WORDS 25
// Longest word the tokenizer keeps; a longer one is an error.
#define FP_WORD_MAX 65536
// Characters of the offending line quoted in tokenizer errors.
#define FP_ERR_LINE_MAX 1024
// Characters of the signature line that are kept.
#define FP_SIG_MAX 79
// Output of one shell command (file list or pattern) that is read at most,
// in characters and in names.
#define FP_CMD_OUTPUT_MAX (64L * 1024 * 1024)
#define FP_CMD_NAMES_MAX 1000000L
// Deepest nesting of back-quoted commands.
#define FP_CMD_NEST_MAX 16

// One word of a logical line.
struct fp_word {
    char* text;   // the word without its quotes (owned)
    int eq;       // offset of the first unquoted '=', -1 when none
    int pattern;  // an unquoted '*', '?' or '[' occurred
    int command;  // the word began with a back-quote: text is the command
    int quoted;   // a quote or backslash occurred (a quoted "%" is a name)
};

// Reads the next logical line into words[0..max-1]; returns the number of
// words, 0 at the end of input. Skips empty lines and lines starting with
// "#". Errors: more than `max` words, an unterminated quote, a word longer
// than FP_WORD_MAX, a channel error.
int par(fp_ctxt* ct, fp_word* words, int max);
// Frees the texts of n words.
void par_free(fp_word* words, int n);
// Reads the next raw line (without its line end) into buf, keeping at most
// size - 1 characters and discarding the rest. Returns the length, or -1 at
// the end of input.
int par_str(fp_ctxt* ct, char* buf, int size);

// 1: a signature with major version 2 was read (ct->version set), 0: none,
// -1: another major version.
int read_signature(fp_ctxt* ct);
// Keyword lines up to "%" or the end. With reset the defaults are restored
// first (signature from ct->version when one was read); with convert each
// value is converted from UTF-8 to the local code set. Returns 0.
int read_keywords_utf8(fp_ctxt* ct, int reset, int convert);
// The library variant: no conversion; a value of a key containing
// "default_mtime" that is not a date is taken as a plain number of seconds
// (all digits), else -1.
int read_keywords(fp_ctxt* ct, int reset);
// Applies ct->conf_override (if any) as a further keyword section without
// reset or conversion; a prog_env value there takes the rest of its line.
void fp_apply_override(fp_ctxt* ct);
// File-list lines up to "%" or the end, appended to ct->files. depth counts
// the back-quoted commands around this list; with expand, patterns and
// commands run through /bin/sh; with convert, names are converted from
// UTF-8.
void read_filelist(fp_ctxt* ct, int depth, int expand, int convert);
// Word entries (read_strlist) or whole lines of up to 1,023 characters
// (read_raw_strlist) up to "%" or the end, appended to *list.
void read_strlist(fp_ctxt* ct, fp_strlist** list);
void read_raw_strlist(fp_ctxt* ct, fp_strlist** list);

// Reads the whole description from ct->ip (which is closed afterwards) and
// drives `fn` (stored in ct->fn) over it: start, the files, end.
int parse_fp(fp_ctxt* ct, fp_node_fn fn);

// The quoted form of a text for a description, in a new text ("" for null;
// null when memory fails). Quoted when it holds a blank, tab, '#', quote,
// backslash, '=', a line end, or is exactly "%"; long texts get
// backslash-newline breaks.
char* escape_str(const char* text);
// Prints the context's keyword set, file list, nested packages and
// exclusions as a description to the output channel, then ends the stream.
void output_fp(fp_ctxt* ct);
