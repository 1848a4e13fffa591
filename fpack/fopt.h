// Per-file options of a description's file records (struct fp_frec in
// fpack.h): creating and freeing records, setting one "key=value" option,
// and printing a record back as a file-list line.
#pragma once

#include "fpack.h"

// A new record with no name, no strings and every numeric option -1; null
// when memory fails.
fp_frec* new_frec();
// Frees one record and its strings (not the records after it).
void dispose_frec(fp_frec* rec);

// Sets one option from its text. Returns null, or the format of the message
// that rejects it (one "%s": the value, or the key for an illegal option);
// *arg_is_key tells which. The record is unchanged on failure.
const char* fopt_apply(fp_frec* rec, const char* key, const char* value, int* arg_is_key);
// As fopt_apply, but a rejected option ends the operation through parse_err
// ("m=0999" -> "0999: invalid mode", "x=1" -> "x: illegal option").
void add_fopt(fp_ctxt* ct, fp_frec* rec, const char* key, const char* value);

// The record as a file-list line without its newline, in a new text: the
// quoted name, then each option that is set. Null when memory fails.
char* prt_fopt(const fp_frec* rec);
