// The calls are replaced by definitions in the target's own executable,
// which the dynamic linker finds before the C library's; each passes on to
// the C library's (the next definition) unless a scope forbids it.
#include "no_side_effects.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

bool forbidden = false;

[[noreturn]] void refuse(const char* call, const char* what) {
    // Saving the finding opens files: nothing is forbidden any longer.
    forbidden = false;
    fprintf(stderr, "==fuzz target side effect: %s(%s) while reading untrusted input\n", call,
            what != nullptr ? what : "");
    abort();
}

void check(const char* call, const char* what) {
    if (forbidden) refuse(call, what);
}

bool writes(int flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0 ||
           (flags & O_TMPFILE) == O_TMPFILE;
}

// Whether open's optional mode argument is there.
bool hasMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

template <class F>
F next(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (f == nullptr) {
        fprintf(stderr, "no_side_effects: %s not found\n", name);
        abort();
    }
    return reinterpret_cast<F>(f);
}

}  // namespace

// The C library's definition of `name`, looked up once.
#define REAL(name)                                            \
    ([] {                                                     \
        static const auto f = next<decltype(&::name)>(#name); \
        return f;                                             \
    }())

NoSideEffects::NoSideEffects() {
    forbidden = true;
}
NoSideEffects::~NoSideEffects() {
    forbidden = false;
}

extern "C" {

// ---- processes ----------------------------------------------------------

pid_t fork() noexcept {
    check("fork", nullptr);
    return REAL(fork)();
}
// vfork's child may not return from a function: a plain fork serves.
pid_t vfork() noexcept {
    check("vfork", nullptr);
    return REAL(fork)();
}
int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
    check("execve", path);
    return REAL(execve)(path, argv, envp);
}
int execv(const char* path, char* const argv[]) noexcept {
    check("execv", path);
    return REAL(execv)(path, argv);
}
int execvp(const char* file, char* const argv[]) noexcept {
    check("execvp", file);
    return REAL(execvp)(file, argv);
}
int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept {
    check("execvpe", file);
    return REAL(execvpe)(file, argv, envp);
}
int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
    check("posix_spawn", path);
    return REAL(posix_spawn)(pid, path, actions, attr, argv, envp);
}
int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
    check("posix_spawnp", file);
    return REAL(posix_spawnp)(pid, file, actions, attr, argv, envp);
}
int system(const char* command) {
    check("system", command);
    return REAL(system)(command);
}
FILE* popen(const char* command, const char* mode) {
    check("popen", command);
    return REAL(popen)(command, mode);
}
int socket(int domain, int type, int protocol) noexcept {
    check("socket", nullptr);
    return REAL(socket)(domain, type, protocol);
}

// ---- opening for writing ------------------------------------------------

#define OPEN_FLAGS_MODE(flags, mode)    \
    mode_t mode = 0;                    \
    if (hasMode(flags)) {               \
        va_list ap;                     \
        va_start(ap, flags);            \
        mode = (mode_t)va_arg(ap, int); \
        va_end(ap);                     \
    }

int open(const char* path, int flags, ...) {
    OPEN_FLAGS_MODE(flags, mode)
    if (writes(flags)) check("open", path);
    return REAL(open)(path, flags, mode);
}
int open64(const char* path, int flags, ...) {
    OPEN_FLAGS_MODE(flags, mode)
    if (writes(flags)) check("open64", path);
    return REAL(open64)(path, flags, mode);
}
int openat(int dirfd, const char* path, int flags, ...) {
    OPEN_FLAGS_MODE(flags, mode)
    if (writes(flags)) check("openat", path);
    return REAL(openat)(dirfd, path, flags, mode);
}
int openat64(int dirfd, const char* path, int flags, ...) {
    OPEN_FLAGS_MODE(flags, mode)
    if (writes(flags)) check("openat64", path);
    return REAL(openat64)(dirfd, path, flags, mode);
}
int creat(const char* path, mode_t mode) {
    check("creat", path);
    return REAL(creat)(path, mode);
}
int creat64(const char* path, mode_t mode) {
    check("creat64", path);
    return REAL(creat64)(path, mode);
}
int mkstemp(char* tmpl) {
    check("mkstemp", tmpl);
    return REAL(mkstemp)(tmpl);
}
int mkostemp(char* tmpl, int flags) {
    check("mkostemp", tmpl);
    return REAL(mkostemp)(tmpl, flags);
}
int mkstemps(char* tmpl, int suffix) {
    check("mkstemps", tmpl);
    return REAL(mkstemps)(tmpl, suffix);
}
int mkostemps(char* tmpl, int suffix, int flags) {
    check("mkostemps", tmpl);
    return REAL(mkostemps)(tmpl, suffix, flags);
}
char* mkdtemp(char* tmpl) noexcept {
    check("mkdtemp", tmpl);
    return REAL(mkdtemp)(tmpl);
}
FILE* tmpfile() {
    check("tmpfile", nullptr);
    return REAL(tmpfile)();
}

// ---- making, removing and changing entries ------------------------------

int mkdir(const char* path, mode_t mode) noexcept {
    check("mkdir", path);
    return REAL(mkdir)(path, mode);
}
int mkdirat(int dirfd, const char* path, mode_t mode) noexcept {
    check("mkdirat", path);
    return REAL(mkdirat)(dirfd, path, mode);
}
int mknod(const char* path, mode_t mode, dev_t dev) noexcept {
    check("mknod", path);
    return REAL(mknod)(path, mode, dev);
}
int mknodat(int dirfd, const char* path, mode_t mode, dev_t dev) noexcept {
    check("mknodat", path);
    return REAL(mknodat)(dirfd, path, mode, dev);
}
int mkfifo(const char* path, mode_t mode) noexcept {
    check("mkfifo", path);
    return REAL(mkfifo)(path, mode);
}
int mkfifoat(int dirfd, const char* path, mode_t mode) noexcept {
    check("mkfifoat", path);
    return REAL(mkfifoat)(dirfd, path, mode);
}
int unlink(const char* path) noexcept {
    check("unlink", path);
    return REAL(unlink)(path);
}
int unlinkat(int dirfd, const char* path, int flags) noexcept {
    check("unlinkat", path);
    return REAL(unlinkat)(dirfd, path, flags);
}
int remove(const char* path) noexcept {
    check("remove", path);
    return REAL(remove)(path);
}
int rmdir(const char* path) noexcept {
    check("rmdir", path);
    return REAL(rmdir)(path);
}
int rename(const char* from, const char* to) noexcept {
    check("rename", from);
    return REAL(rename)(from, to);
}
int renameat(int fromfd, const char* from, int tofd, const char* to) noexcept {
    check("renameat", from);
    return REAL(renameat)(fromfd, from, tofd, to);
}
int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) noexcept {
    check("renameat2", from);
    return REAL(renameat2)(fromfd, from, tofd, to, flags);
}
int link(const char* from, const char* to) noexcept {
    check("link", to);
    return REAL(link)(from, to);
}
int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) noexcept {
    check("linkat", to);
    return REAL(linkat)(fromfd, from, tofd, to, flags);
}
int symlink(const char* target, const char* path) noexcept {
    check("symlink", path);
    return REAL(symlink)(target, path);
}
int symlinkat(const char* target, int dirfd, const char* path) noexcept {
    check("symlinkat", path);
    return REAL(symlinkat)(target, dirfd, path);
}
int chmod(const char* path, mode_t mode) noexcept {
    check("chmod", path);
    return REAL(chmod)(path, mode);
}
int fchmod(int fd, mode_t mode) noexcept {
    check("fchmod", nullptr);
    return REAL(fchmod)(fd, mode);
}
int fchmodat(int dirfd, const char* path, mode_t mode, int flags) noexcept {
    check("fchmodat", path);
    return REAL(fchmodat)(dirfd, path, mode, flags);
}
int chown(const char* path, uid_t uid, gid_t gid) noexcept {
    check("chown", path);
    return REAL(chown)(path, uid, gid);
}
int fchown(int fd, uid_t uid, gid_t gid) noexcept {
    check("fchown", nullptr);
    return REAL(fchown)(fd, uid, gid);
}
int lchown(const char* path, uid_t uid, gid_t gid) noexcept {
    check("lchown", path);
    return REAL(lchown)(path, uid, gid);
}
int fchownat(int dirfd, const char* path, uid_t uid, gid_t gid, int flags) noexcept {
    check("fchownat", path);
    return REAL(fchownat)(dirfd, path, uid, gid, flags);
}
int truncate(const char* path, off_t length) noexcept {
    check("truncate", path);
    return REAL(truncate)(path, length);
}
int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) noexcept {
    check("utimensat", path);
    return REAL(utimensat)(dirfd, path, times, flags);
}
int futimens(int fd, const struct timespec times[2]) noexcept {
    check("futimens", nullptr);
    return REAL(futimens)(fd, times);
}
int utimes(const char* path, const struct timeval times[2]) noexcept {
    check("utimes", path);
    return REAL(utimes)(path, times);
}
int utime(const char* path, const struct utimbuf* times) noexcept {
    check("utime", path);
    return REAL(utime)(path, times);
}

}  // extern "C"
