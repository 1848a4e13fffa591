// Destination paths walked one component at a time, never through a
// symbolic link.
//
// A path is split at its root: its first `root` bytes name the directory
// the walk starts from, opened as named (the install location that the
// administrator chose; links above it are theirs). Every component after
// the root is opened relative to the one before with O_NOFOLLOW, so a link
// below the install location is met, never followed; callers then act on
// the last component with the *at calls relative to its directory.
#pragma once

#include <cstddef>

// A walk in progress: `fd` (O_PATH) is the directory path[0..done).
struct sp_walk {
    int fd;
    size_t done;
};

// Opens the root path[0..root) (an empty root is the current directory).
// Returns 0, or -1 with errno.
int sp_begin(sp_walk* w, const char* path, size_t root);

// Steps one component further towards path[0..end). Returns 1 when
// w->done has reached end, 0 when it went one component down, -1 with errno
// when that component cannot be entered: ENOENT it does not exist, ELOOP it
// is a symbolic link, ENOTDIR it is something else, EINVAL it is "..". On
// -1 the walk stays in its directory and the component is
// path[*comp .. *comp + *comp_len) (so that it can be created there).
// Empty and "." components are passed over.
int sp_step(sp_walk* w, const char* path, size_t end, size_t* comp, size_t* comp_len);

// Closes the walk's descriptor.
void sp_end(sp_walk* w);

// The directory path[0..end) opened as a walk from root: an O_PATH
// descriptor, or -1 with errno and *failed the length of the prefix that
// could not be entered.
int sp_open_dir(const char* path, size_t root, size_t end, size_t* failed);

// The same, walked on from dirfd, an open directory that the walk to
// path[0..done) reached (dirfd stays the caller's).
int sp_open_dir_from(int dirfd, const char* path, size_t done, size_t end, size_t* failed);

// True when a component of path is "..".
bool sp_has_dotdot(const char* path);

// Offset of the last component of path (after its last "/"), and in *dir_end
// the length of its directory part without trailing slashes ("/" keeps
// one; 0 for a name without a slash).
size_t sp_leaf(const char* path, size_t* dir_end);
