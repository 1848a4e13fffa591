// Files and links put in place in one step: each is made complete where no
// name shows it, then given its name, replacing the old entry at once. A
// name thus holds the old entry or the complete new one, whatever happens
// to the process or the disk in between.
#pragma once

#include <climits>

// A new regular file being written in a directory.
struct af_file {
    int fd;                  // the new file, open for writing
    int dirfd;               // its directory
    bool own_dirfd;          // dirfd is a descriptor of its own (a named temporary)
    char tmp[NAME_MAX + 1];  // its temporary name; empty while it has none
};

// Creates a new file of mode 0600 in dirfd: unnamed where the file system
// allows (then nothing of it outlives the process until it is committed;
// the caller keeps dirfd open until then), else under a fresh hidden name
// made from leaf (removed by af_discard whenever it comes, with a
// descriptor of the directory of its own). Returns 0, or -1 with errno.
int af_create(af_file* f, int dirfd, const char* leaf);

// Gives the complete file the name leaf, replacing what stands there (a
// directory is not replaced: EISDIR), and closes it (a named temporary is
// closed first: a failing close keeps it from being published). Returns 0,
// or -1 with errno; the new file is then discarded.
int af_commit(af_file* f, const char* leaf);

// Discards the new file: closes it and removes its temporary name. Does
// nothing for a file already committed or discarded (fd and dirfd -1), so
// an af_file that was never created must start with both -1.
void af_discard(af_file* f);

// Makes an entry with make(dirfd, name, arg) under a fresh hidden name made
// from leaf (make fails with EEXIST when that name is taken: another is
// tried), then renames it over leaf. Returns 0, or -1 with errno; the
// temporary is then removed.
int af_replace(int dirfd, const char* leaf, int (*make)(int dirfd, const char* name, void* arg),
               void* arg);
