// The fpack command line: options, the choice of operation, the report of
// results and messages, and the second pass of -b.
#pragma once

// Runs the program; returns the exit status (FP_EXIT_*).
int fp_main(int argc, char** argv);

// Reads a -m argument: a decimal number, or letters of the modifier table.
// Returns 0 and the mask, or -1 for an unknown letter or an empty text.
int fp_parse_mods(const char* text, long* mask);
