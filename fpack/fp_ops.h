// The fpack command line: options, the choice of operation, the report of
// results and messages, and the second pass of -b.
#pragma once

// Written to standard output by an install (-u) whose input ended right
// after the trailer of its last package: whoever streamed the block in
// learns that this engine read all of it, which an exit status alone does
// not tell (a stream that never came, or a program that is no engine, can
// end with status 0 too).
#define FP_BLOCK_READ_LINE "fpack: block read to its trailer\n"

#include <cstdio>

// Runs the program; returns the exit status (FP_EXIT_*).
int fp_main(int argc, char** argv);
// The usage text, with the program's name prog, on out.
void fp_usage(FILE* out, const char* prog);

// Reads a -m argument: a decimal number, or letters of the modifier table.
// Returns 0 and the mask, or -1 for an unknown letter or an empty text.
int fp_parse_mods(const char* text, long* mask);
