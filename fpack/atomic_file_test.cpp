#include "atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "unpack_test_util.h"

namespace {

using testutil::readFile;
using testutil::TempDir;
using uptest::all_names;

struct Dir {
    TempDir d;
    int fd = open(d.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ~Dir() { close(fd); }
    std::string at(const std::string& name) const { return d.file(name); }
};

// Writes `body` as a new file and commits it as `leaf`; returns af_commit's
// result, or -2 when the file could not be made.
int put(int dirfd, const char* leaf, const std::string& body, af_file* f) {
    if (af_create(f, dirfd, leaf) != 0) return -2;
    if (write(f->fd, body.data(), body.size()) != (ssize_t)body.size()) return -2;
    return af_commit(f, leaf);
}

// The cases that every way of making the new file must pass: a new name, a
// file replaced while a reader holds the old one, a link replaced (not
// followed), a directory refused, a discarded file leaving nothing. Returns
// what went wrong.
std::string replace_cases(const Dir& d, bool named) {
    std::string bad;
    af_file f;
    if (put(d.fd, "new", "one", &f) != 0 || readFile(d.at("new")) != "one") bad += "new name; ";

    int reader = open(d.at("new").c_str(), O_RDONLY);
    if (put(d.fd, "new", "two", &f) != 0 || readFile(d.at("new")) != "two") bad += "replace; ";
    char old[8] = "";
    if (read(reader, old, sizeof old) != 3 || std::string(old, 3) != "one") bad += "old inode; ";
    close(reader);

    std::string victim = d.at("victim");
    uptest::write_file(victim, "precious", 0644, 1500000000);
    symlink(victim.c_str(), d.at("link").c_str());
    struct stat st;
    if (put(d.fd, "link", "three", &f) != 0 || lstat(d.at("link").c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode) || readFile(victim) != "precious")
        bad += "link; ";

    mkdir(d.at("dir").c_str(), 0755);
    if (put(d.fd, "dir", "four", &f) != -1 || errno != EISDIR) bad += "directory; ";

    if (af_create(&f, d.fd, "dropped") != 0) bad += "create; ";
    if (named != (f.tmp[0] != '\0')) bad += "kind of file; ";
    if (write(f.fd, "x", 1) != 1) bad += "write; ";
    af_discard(&f);

    std::vector<std::string> names = all_names(d.d.path());
    if (names != std::vector<std::string>{"dir", "link", "new", "victim"}) {
        bad += "left:";
        for (auto& n : names) bad += " " + n;
    }
    return bad;
}

TEST(AtomicFile, UnnamedFileReplacesInOneStep) {
    Dir d;
    EXPECT_EQ(replace_cases(d, false), "");
}

// File systems without unnamed files get a hidden temporary instead.
TEST(AtomicFile, NamedTemporaryWhereUnnamedFilesAreRefused) {
    Dir d;
    std::string report = uptest::in_child([&]() -> std::string {
        if (!uptest::refuse_unnamed_files()) return "no filter";
        return replace_cases(d, true);
    });
    if (report == "no filter") GTEST_SKIP() << "seccomp filter not available";
    EXPECT_EQ(report, "");
}

// A further name made of the very file at leaf: rename then does nothing,
// and the temporary name must not stay.
TEST(AtomicFile, ReplaceByTheSameFileLeavesNoTemporary) {
    Dir d;
    uptest::write_file(d.at("a"), "same", 0644, 1500000000);
    ASSERT_EQ(link(d.at("a").c_str(), d.at("b").c_str()), 0);
    int calls = 0;
    struct Maker {
        int dirfd;
        int* calls;
    } m{d.fd, &calls};
    auto make = [](int dirfd, const char* name, void* arg) -> int {
        Maker* mk = (Maker*)arg;
        // The first name tried is taken: another one is made up.
        if ((*mk->calls)++ == 0) {
            errno = EEXIST;
            return -1;
        }
        return linkat(mk->dirfd, "a", dirfd, name, 0);
    };
    EXPECT_EQ(af_replace(d.fd, "b", make, &m), 0) << strerror(errno);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(all_names(d.d.path()), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
