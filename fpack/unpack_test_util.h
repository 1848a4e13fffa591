// Test helpers for unpacking: a sample tree, its description as a text map,
// packing a description into memory and running a block-side operation.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cntl_files.h"
#include "ctxt_test_util.h"
#include "fpack.h"
#include "fppack.h"
#include "keyw.h"
#include "tests/test_util.h"

namespace uptest {

inline bool is_root() {
    return geteuid() == 0;
}

inline void mkdir_p(const std::string& path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

inline void write_file(const std::string& path, const std::string& body, mode_t mode,
                       time_t mtime) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, body.data(), body.size()), (ssize_t)body.size());
    close(fd);
    chmod(path.c_str(), mode);
    struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    utimes(path.c_str(), tv);
}

inline void set_time(const std::string& path, time_t mtime) {
    struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

// A tree of every node type the block carries: directories (one empty, one
// with unusual mode), files of several modes and sizes (one spanning many
// records, one setuid), relative and absolute symbolic links, hard links;
// with owners other than root when running as root.
inline void make_tree(const std::string& root) {
    mkdir_p(root + "/sub/deeper");
    mkdir_p(root + "/empty");
    mkdir_p(root + "/private");
    write_file(root + "/a.txt", "alpha\n", 0644, 1500000000);
    write_file(root + "/empty.dat", "", 0600, 1500000100);
    std::string big;
    for (int i = 0; i < 70000; i++) big += (char)('a' + (i * 7919) % 26);
    write_file(root + "/sub/big.bin", big, 0640, 1500000200);
    write_file(root + "/sub/deeper/tool", "#!/bin/sh\necho hi\n", 04755, 1500000300);
    write_file(root + "/private/key", "secret", 0400, 1500000400);
    ASSERT_EQ(symlink("../a.txt", (root + "/sub/rel").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", (root + "/abs").c_str()), 0);
    ASSERT_EQ(link((root + "/a.txt").c_str(), (root + "/sub/hard").c_str()), 0);
    if (is_root()) {
        lchown((root + "/a.txt").c_str(), 1234, 5678);
        lchown((root + "/sub/deeper/tool").c_str(), 4321, 8765);
        chmod((root + "/sub/deeper/tool").c_str(), 04755);  // chown cleared it
        lchown((root + "/sub/rel").c_str(), 1234, 5678);
        lchown((root + "/private").c_str(), 1111, 2222);
    }
    set_time(root + "/sub/rel", 1500000500);
    set_time(root + "/abs", 1500000600);
    chmod((root + "/private").c_str(), 0750);
    set_time(root + "/sub/deeper", 1400000000);
    set_time(root + "/sub", 1400000100);
    set_time(root + "/empty", 1400000200);
    set_time(root + "/private", 1400000300);
    set_time(root, 1400000400);
}

// Every entry below root (root itself too, as "."), sorted by name: type,
// mode, owner, group, time, and the link target or contents; a further
// name of a hard-linked file says so instead of repeating the contents.
inline std::map<std::string, std::string> describe(const std::string& root,
                                                   bool with_times = true) {
    std::map<std::string, std::string> out;
    std::map<std::pair<dev_t, ino_t>, std::string> seen;
    std::vector<std::string> todo = {""};
    std::map<std::string, struct stat> all;
    while (!todo.empty()) {
        std::string rel = todo.back();
        todo.pop_back();
        std::string full = root + (rel.empty() ? "" : "/" + rel);
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) continue;
        all[rel.empty() ? "." : rel] = st;
        if (!S_ISDIR(st.st_mode)) continue;
        DIR* d = opendir(full.c_str());
        if (d == nullptr) continue;
        for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") todo.push_back(rel.empty() ? n : rel + "/" + n);
        }
        closedir(d);
    }
    for (auto& kv : all) {
        const struct stat& st = kv.second;
        std::string full = root + (kv.first == "." ? "" : "/" + kv.first);
        char head[128];
        snprintf(head, sizeof head, "%c %o %d/%d %ld ",
                 S_ISDIR(st.st_mode)   ? 'd'
                 : S_ISLNK(st.st_mode) ? 'l'
                 : S_ISREG(st.st_mode) ? 'f'
                                       : '?',
                 (unsigned)(st.st_mode & 07777), (int)st.st_uid, (int)st.st_gid,
                 with_times ? (long)st.st_mtime : 0L);
        std::string v = head;
        if (S_ISLNK(st.st_mode)) {
            char t[4096];
            ssize_t n = readlink(full.c_str(), t, sizeof t);
            v += "-> " + std::string(t, n > 0 ? (size_t)n : 0);
        } else if (S_ISREG(st.st_mode)) {
            auto key = std::make_pair(st.st_dev, st.st_ino);
            if (seen.count(key)) {
                v += "= " + seen[key];
            } else {
                seen[key] = kv.first;
                std::string body = testutil::readFile(full);
                v += std::to_string(body.size()) + " bytes, hash " +
                     std::to_string(std::hash<std::string>()(body));
            }
        }
        out[kv.first] = v;
    }
    return out;
}

// A description packing `tree` (relative to src) to names under dest.
inline std::string description(const std::string& src, const std::string& dest,
                               const std::string& keywords = "",
                               const std::string& files = "tree") {
    return "#*KFP-v2.07\ndescend_dirs=y\nfollow_links=n\nfile_cksums=y\nsrc_relpath=" + src +
           "\ndefault_dest=" + dest + "\n" + keywords + "%\n" + files + "\n%\n%\n";
}

struct Result {
    int rv = -1;
    std::string msgs;
    std::string out;
    long rval = 0;
    std::vector<uint32_t> bits;
};

// Packs a description with `code` into memory.
inline Result pack(const std::string& desc, int code = FP_OP_PACK, const char* name = "pkg") {
    fptest::Ctxt c;
    c.to_memory();
    c.input(desc);
    fp_set_name(c.ct, name);
    Result r;
    r.rv = fp_operation(c.ct, code, FP_MOD_DEFAULT);
    r.msgs = c.msgs();
    r.out = c.output();
    return r;
}

// Where a block-side operation reads its block from.
enum class Source {
    memory,  // a memory channel
    file,    // a regular file: bodies are skipped by offset, moved into files by the kernel
    stream,  // a socket fed by a thread: a stream that cannot seek
};

// Runs block-side operation `code` on `block` with modifiers and override
// lines ("key=value\n"), optionally limited to a node mask.
inline Result unpack(const std::string& block, int code, long mods = FP_MOD_DEFAULT,
                     const std::string& override = "", const std::vector<uint32_t>& mask = {},
                     Source source = Source::memory) {
    fptest::Ctxt c;
    c.to_memory();
    std::thread feeder;
    if (source == Source::memory) {
        c.input(block);
    } else if (source == Source::file) {
        // Whole whatever file size limit the caller set for the operation.
        int fd = memfd_create("block", MFD_CLOEXEC);
        struct rlimit lim, whole;
        getrlimit(RLIMIT_FSIZE, &lim);
        whole = lim;
        whole.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_FSIZE, &whole);
        EXPECT_EQ(pwrite(fd, block.data(), block.size(), 0), (ssize_t)block.size());
        setrlimit(RLIMIT_FSIZE, &lim);
        fp_set_input(c.ct, ioch_fd_init(fd));
    } else {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        feeder = std::thread([&block, out = sv[1]] {
            for (size_t at = 0; at < block.size();) {
                ssize_t n = send(out, block.data() + at, block.size() - at, MSG_NOSIGNAL);
                if (n <= 0) break;
                at += (size_t)n;
            }
            close(out);
        });
        fp_set_input(c.ct, ioch_fd_init(sv[0]));
    }
    if (!override.empty()) fp_set_conf_override(c.ct, override.c_str());
    if (!mask.empty()) fp_set_hdr_bits(c.ct, mask.data(), (int)mask.size());
    Result r;
    r.rv = fp_operation(c.ct, code, mods);
    // A feeder that the operation left waiting fails when its reader goes.
    fp_close_input(c.ct);
    if (feeder.joinable()) feeder.join();
    r.msgs = c.msgs();
    r.rval = fp_get_rval(c.ct);
    r.bits.assign(c.ct->hdr_bits, c.ct->hdr_bits + c.ct->hdr_words);
    r.out = c.output();
    return r;
}

// One node of a block made by hand.
struct Node {
    std::string name;
    mode_t mode;  // type and permission bits
    std::string body;
    ino_t ino = 0;
    nlink_t nlink = 1;
    time_t mtime = 1500000000;
    gid_t gid = getgid();
};

// A block of the given nodes, as no description would pack it: names
// taken as they are, "key=value\n" keywords in its keyword set.
inline std::string craft_block(const std::vector<Node>& nodes, const std::string& keywords = "",
                               const char* pkg = "pkg") {
    fptest::Ctxt c;
    c.to_memory();
    fp_set_name(c.ct, pkg);
    size_t at = 0;
    while (at < keywords.size()) {
        size_t nl = keywords.find('\n', at);
        std::string line = keywords.substr(at, nl - at);
        at = nl == std::string::npos ? keywords.size() : nl + 1;
        size_t eq = line.find('=');
        EXPECT_EQ(set_keyw(c.ct->conf, line.substr(0, eq).c_str(), line.substr(eq + 1).c_str()), 0)
            << line;
    }
    int rv = fptest::guarded(c.ct, [&] {
        encode_header(c.ct);
        pack_cntl(c.ct);
        for (const Node& n : nodes) {
            struct stat st;
            memset(&st, 0, sizeof st);
            st.st_mode = n.mode;
            st.st_nlink = n.nlink;
            st.st_ino = n.ino;
            st.st_mtime = n.mtime;
            st.st_uid = getuid();
            st.st_gid = n.gid;
            putheader(c.ct, n.name.c_str(), &st, 0, (long)n.body.size());
            fp_out_write(c.ct, n.body.data(), (long)n.body.size());
        }
        dotrailer(c.ct);
    });
    EXPECT_EQ(rv, 0) << c.msgs();
    return c.output();
}

// Every name below root (relative, sorted), directories included.
inline std::vector<std::string> all_names(const std::string& root) {
    std::vector<std::string> out;
    for (auto& kv : describe(root, false))
        if (kv.first != ".") out.push_back(kv.first);
    return out;
}

// Runs f in a child process (which may change what the whole process sees:
// mounts, filters) and returns the text it returns, or why it ended
// otherwise. f must not use test assertions.
inline std::string in_child(const std::function<std::string()>& f) {
    int p[2];
    if (pipe(p) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(p[0]);
        std::string report = f();
        size_t off = 0;
        while (off < report.size()) {
            ssize_t w = write(p[1], report.data() + off, report.size() - off);
            if (w <= 0) break;
            off += (size_t)w;
        }
        _exit(0);
    }
    close(p[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        report.append(buf, (size_t)n);
    }
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report += "child ended with status " + std::to_string(status);
    return report;
}

// Makes this process's open calls with O_TMPFILE fail as on a file system
// without unnamed files (EOPNOTSUPP). For a child process only: it cannot be
// undone. False when the filter could not be set.
inline bool refuse_unnamed_files() {
#if defined(__x86_64__)
    const unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const unsigned arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        // The flags, low word first on these little-endian machines.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EOPNOTSUPP & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}  // namespace uptest
