// Package scripts: the slots of programs and input files, the environment
// they run in, and running them as child processes.
//
// Six kinds of script run around an install or a removal. Kind k has two
// slots: 2k holds its programs, 2k + 1 their input files; program i runs
// with input file i when there is one. Entries are kept in index order.
//
// State lives in ct->scripts, created by fp_scripts_setup and freed by
// fp_scripts_dispose (idempotent; the context's disposal calls it too).
#pragma once

#include "fpack.h"
#include "keyw.h"

enum {
    FP_SCR_BEFORE = 0,
    FP_SCR_AFTER = 1,
    FP_SCR_REMOVAL = 2,
    FP_SCR_COMMIT = 3,
    FP_SCR_AFTER_REMOVAL = 4,
    FP_SCR_ON_ERROR = 5,
    FP_SCR_KINDS = 6,
};
#define FP_NSLOTS (2 * FP_SCR_KINDS)
// Most prog_env entries.
#define FP_ENV_MAX 100

// The unix keywords of one kind and its control name ("unix_" + name, its
// input files "unix_" + name + "_in").
struct fp_script_kind {
    const char* name;
    const char* word;  // argument word; null: chosen by the operation
    char* fp_keyws::*prog;
    long fp_keyws::*prog_from_src;
    char* fp_keyws::*input;
    long fp_keyws::*input_from_src;
    long fp_keyws::*uid;
    const char* prog_assert;  // texts of the from-source assertions
    const char* input_assert;
};
extern const fp_script_kind fp_script_kinds[FP_SCR_KINDS];

struct fp_script {
    char* path;
    int index;
    fp_script* next;
};

struct fp_scripts {
    fp_script* slot[FP_NSLOTS];
    char* env[FP_ENV_MAX + 1];  // "NAME=value" entries, null-terminated
    int nenv;
    int ready;      // slots complete: the on-error script may run
    char* tmp_dir;  // private directory of this package's temporary scripts
};

// Replaces ct->scripts with empty slots and the environment built from
// prog_env: NAME=value words; a value "$$x" is the text "$x", "$key" the
// printed value of keyword key ("$fpname": the package name). Fatal:
// "Cannot expand keyword: \"%s\"", "Out of memory", a word without "=".
void fp_scripts_setup(fp_ctxt* ct);
// Enters `path` with `index` into `slot`; an entry of the same index is
// replaced. Fatal when memory fails.
void fp_add_script(fp_ctxt* ct, int slot, const char* path, int index);
// Calls fn for every entry of a comma-separated path list: entry i (empty
// ones counted, and skipped) with index i, a relative entry under
// ct->relpath ("%s: path too long" at level 1 skips one that does not fit).
void fp_each_script(fp_ctxt* ct, const char* list,
                    void (*fn)(fp_ctxt* ct, const char* path, int index, void* arg), void* arg);
// Enters every entry of a comma-separated path list: entry i (empty ones
// counted, and skipped) gets index i; relative entries lie under ct->relpath.
void fp_add_script_list(fp_ctxt* ct, int slot, const char* list);
// The program and input slots of `kind` filled from the unix keywords,
// except those whose files travel in the block (from_src set).
void fp_fill_slots(fp_ctxt* ct);

// Runs the programs of `kind` in index order, each with its input file,
// as the kind's owner keyword (unix_<kind>_as_uid; -1: no switch), with the
// argument word of the kind. The before scripts stop at the first failure
// only with unix_before_skip_non_zero, the others always. Returns 0, or
// -1 when a program failed and stopped the run. Nothing runs (0) without
// slots or for an operation that changes nothing on the disk
// (fp_changes_disk). The caller logs the failure.
int fp_run_scripts(fp_ctxt* ct, int kind);
// The source-side before programs (src_before_prog_path), with the words
// "before" and the destination-type name; stop per src_before_skip_non_zero.
int fp_run_src_before(fp_ctxt* ct);

// The context's on-error hook (ct->on_error, set once the slots are
// ready): runs the on-error programs of an install or uninstall with the
// d modifier and without n, then removes the temporary scripts and frees
// the slots. A fatal error inside is caught here (the fatal path has
// already reported it), so the caller's own fatal path goes on.
void fp_on_error(fp_ctxt* ct);

// Runs one program: standard input from `input` (null: /dev/null), output
// to /dev/null, standard error to a private file of which the last
// stderr_size - 1 bytes are logged ("script stderr: [%.*s]", level 5).
// `args` are the words after the program (null-terminated). As `uid`
// (-1: no switch) with that user's groups, in a process group of its own
// that ends with it: whatever the script leaves running is killed when it
// exits. With progs_timeout above 0 the group is killed (signal 9) at the
// deadline ("script interrupted or timeout expired", level 1). Returns 0
// when it exited 0, else -1. Nothing runs with the n modifier (0).
int run_script(fp_ctxt* ct, const char* program, const char* input, const char* const* args,
               long uid);

// A new private directory for temporary scripts (ct->scripts->tmp_dir),
// made on first use; the path of `name` in it into buf. Returns 0, or -1
// after "can't make tempname" (level 1).
int fp_tmp_script_path(fp_ctxt* ct, const char* name, char* buf, size_t size);
// Removes the temporary scripts listed in ct->scripts_list and their
// directory.
void remove_tmp_scripts(fp_ctxt* ct);
// Frees ct->scripts (slots and environment) and clears the on-error hook.
void fp_scripts_dispose(fp_ctxt* ct);
