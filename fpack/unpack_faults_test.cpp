// A reinstall that is killed, or that runs out of room, leaves every file
// either its complete old or its complete new version, and no temporary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "unpack.h"
#include "unpack_test_util.h"

namespace {

using testutil::readFile;
using testutil::TempDir;
using uptest::Result;

// A version of the package: every kind of node, the same names in both
// versions with other contents, modes and times, and one name of its own.
void make_version(const std::string& root, int v) {
    std::string tag = "version " + std::to_string(v) + "\n";
    time_t t = 1500000000 + v * 1000;
    uptest::mkdir_p(root + "/sub");
    uptest::write_file(root + "/a.txt", tag, v == 1 ? 0644 : 0600, t);
    std::string big;
    for (int i = 0; i < 40000 + v * 20000; i++) big += (char)('a' + (i * (7 + v)) % 26);
    uptest::write_file(root + "/sub/big.bin", big, 0640, t + 1);
    for (int i = 0; i < 8; i++)
        uptest::write_file(root + "/sub/small" + std::to_string(i), tag + std::string(i * 500, 'x'),
                           v == 1 ? 0644 : 0755, t + 2);
    uptest::write_file(root + "/only" + std::to_string(v), tag, 0644, t);
    ASSERT_EQ(link((root + "/a.txt").c_str(), (root + "/sub/hard").c_str()), 0);
    ASSERT_EQ(symlink(v == 1 ? "a.txt" : "sub/big.bin", (root + "/link").c_str()), 0);
}

// Both versions packed, each to the same destination.
struct Versions {
    TempDir d;
    std::string v1 = d.file("v1"), v2 = d.file("v2"), dst = d.file("dst");
    std::string block1, block2;
    Versions() {
        for (int v : {1, 2}) {
            std::string src = d.file("v" + std::to_string(v));
            uptest::mkdir_p(src + "/tree");
            make_version(src + "/tree", v);
        }
        // Small records: the engine then works in small steps, and a kill or
        // a full disk meets it in the middle of a file.
        testutil::ScopedEnv rec("TRELL_BUF_SIZE", "512");
        block1 = pack(v1);
        block2 = pack(v2);
    }
    std::string pack(const std::string& src) {
        Result r = uptest::pack(uptest::description(src, dst));
        EXPECT_EQ(r.rv, 0) << r.msgs;
        return r.out;
    }
    // Installs the first version afresh.
    void install_old() {
        testutil::run({"rm", "-rf", dst});
        uptest::mkdir_p(dst);
        testutil::ScopedEnv rec("TRELL_BUF_SIZE", "512");
        Result r = uptest::unpack(block1, FP_OP_INSTALL);
        ASSERT_EQ(r.rv, 0) << r.msgs;
    }
    // What is wrong with the installed tree: an entry that is neither
    // version's (a temporary), a file of neither version (contents, mode,
    // owner or time), a file of the old version that is gone.
    std::string check() const {
        std::map<std::string, std::string> old = uptest::describe(v1 + "/tree"),
                                           now = uptest::describe(v2 + "/tree");
        std::string bad;
        for (auto& kv : uptest::describe(dst + "/tree")) {
            const std::string& n = kv.first;
            bool in_old = old.count(n) > 0, in_new = now.count(n) > 0;
            if (!in_old && !in_new) {
                bad += "unexpected " + n + "; ";
                continue;
            }
            if (kv.second[0] == 'd' || n == "sub/hard" || n == "a.txt") {
                // Directories are made before their contents; the two names
                // of the hard-linked file are checked by their contents.
                std::string body = readFile(dst + "/tree/" + n);
                if (kv.second[0] != 'd' && body != "version 1\n" && body != "version 2\n")
                    bad += "torn " + n + "; ";
                continue;
            }
            if ((!in_old || kv.second != old[n]) && (!in_new || kv.second != now[n]))
                bad += "torn " + n + " (" + kv.second + "); ";
        }
        for (auto& kv : old)
            if (kv.second[0] != 'd' && uptest::describe(dst + "/tree").count(kv.first) == 0)
                bad += "lost " + kv.first + "; ";
        return bad;
    }
    // The names of the new version that do not hold it (the old version's
    // own name stays: nothing removes it).
    std::string not_new() const {
        std::map<std::string, std::string> have = uptest::describe(dst + "/tree");
        std::string bad;
        for (auto& kv : uptest::describe(v2 + "/tree"))
            if (have[kv.first] != kv.second) bad += kv.first + "; ";
        return bad;
    }
};

// Waits until fpack has read everything written to it and sleeps in its
// next read; gives up after a few seconds (the check holds at any moment).
void wait_blocked(pid_t pid, int pipe_fd) {
    for (int i = 0; i < 2000; i++) {
        int pending = 0;
        ioctl(pipe_fd, FIONREAD, &pending);
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t close_paren = stat.rfind(')');
        if (pending == 0 && close_paren != std::string::npos && stat.size() > close_paren + 2 &&
            stat[close_paren + 2] == 'S')
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(UnpackFaults, KilledReinstallLeavesOldOrNewFiles) {
    Versions v;
    const int kPoints = 40;
    for (int k = 1; k < kPoints; k++) {
        v.install_old();
        size_t cut = v.block2.size() * (size_t)k / kPoints;
        int in[2];
        ASSERT_EQ(pipe(in), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(in[0], 0);
            close(in[0]);
            close(in[1]);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            setenv("TRELL_BUF_SIZE", "512", 1);
            execl(FPACK_BIN, FPACK_BIN, "-u", "-", (char*)nullptr);
            _exit(127);
        }
        close(in[0]);
        size_t off = 0;
        while (off < cut) {
            ssize_t w = write(in[1], v.block2.data() + off, cut - off);
            if (w <= 0) break;
            off += (size_t)w;
        }
        wait_blocked(pid, in[1]);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        close(in[1]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "cut " << cut << ": fpack ended before the kill";
        EXPECT_EQ(v.check(), "") << "killed after " << cut << " of " << v.block2.size() << " bytes";
    }
    // And the whole block installs the new version.
    v.install_old();
    testutil::RunResult r = testutil::run({FPACK_BIN, "-u", "-"}, v.block2, {"TRELL_BUF_SIZE=512"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(v.not_new(), "");
}

// The reinstall runs on a small file system of its own (a tmpfs in a mount
// namespace of a child process, so that it goes with the child) that is
// filled to leave a little room, more each time.
TEST(UnpackFaults, FullFileSystemKeepsOldFiles) {
    if (!uptest::is_root()) GTEST_SKIP() << "needs root to mount";
    Versions v;
    std::string report = uptest::in_child([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "no mount namespace";
        uptest::mkdir_p(v.dst);
        if (mount("tmpfs", v.dst.c_str(), "tmpfs", 0, "size=2m") != 0) return "no tmpfs";
        setenv("TRELL_BUF_SIZE", "512", 1);
        std::string bad;
        bool failed_once = false, done_once = false;
        for (long room = 0; room <= 160 * 1024; room += 8 * 1024) {
            // The old version in place, then the disk filled up.
            testutil::RunResult rm = testutil::run({"sh", "-c", "rm -rf '" + v.dst + "'/*"});
            if (rm.status != 0) return "cannot empty the file system";
            Result r1 = uptest::unpack(v.block1, FP_OP_INSTALL);
            if (r1.rv != 0) return "old version: " + r1.msgs;
            std::string filler = v.dst + "/filler";
            int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            std::string chunk(65536, 'f');
            while (write(fd, chunk.data(), chunk.size()) > 0) {
            }
            struct stat st;
            fstat(fd, &st);
            if (ftruncate(fd, st.st_size > room ? st.st_size - room : 0) != 0) return "ftruncate";
            close(fd);
            Result r2 =
                uptest::unpack(v.block2, FP_OP_INSTALL, FP_MOD_DEFAULT, "stop_on_error=n\n");
            unlink(filler.c_str());
            std::string problems = v.check();
            if (!problems.empty())
                bad += "room " + std::to_string(room) + ": " + problems + "\n" + r2.msgs + "\n";
            if (r2.rv != 0) {
                failed_once = true;
                if (r2.msgs.find("No space left on device") == std::string::npos)
                    bad += "room " + std::to_string(room) + ": failure not told: " + r2.msgs;
            } else if (done_once = true, !v.not_new().empty()) {
                bad += "room " + std::to_string(room) + ": success, but " + v.not_new() + "\n";
            }
        }
        umount(v.dst.c_str());
        if (!failed_once || !done_once) bad += "the room never ran out, or never sufficed\n";
        return bad;
    });
    EXPECT_EQ(report, "");
}

// Backups on another file system (a tmpfs of a child's own) cannot be
// further names of the old files: they are copies, links as links.
TEST(UnpackBackup, OnAnotherFileSystemIsACopy) {
    if (!uptest::is_root()) GTEST_SKIP() << "needs root to mount";
    Versions v;
    std::string bak = v.d.file("bak");
    std::string report = uptest::in_child([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "no mount namespace";
        uptest::mkdir_p(bak);
        if (mount("tmpfs", bak.c_str(), "tmpfs", 0, "size=2m") != 0) return "no tmpfs";
        setenv("TRELL_BUF_SIZE", "512", 1);
        uptest::mkdir_p(v.dst);
        Result r = uptest::unpack(v.block1, FP_OP_INSTALL);
        if (r.rv != 0) return "old version: " + r.msgs;
        r = uptest::unpack(v.block2, FP_OP_INSTALL, FP_MOD_DEFAULT,
                           "backup_fmt=" + bak + "/%f.%n\n");
        std::string bad;
        if (r.rv != 0) bad += "reinstall: " + r.msgs;
        bad += v.not_new();
        if (readFile(bak + "/a.txt.1") != "version 1\n") bad += "a.txt; ";
        if (readFile(bak + "/big.bin.1") != readFile(v.v1 + "/tree/sub/big.bin"))
            bad += "big.bin; ";
        char target[64] = "";
        if (readlink((bak + "/link.1").c_str(), target, sizeof target) != 5) bad += "link; ";
        struct stat st;
        if (stat((bak + "/small3.1").c_str(), &st) != 0 || (st.st_mode & 07777) != 0644 ||
            st.st_mtime != 1500001002)
            bad += "attributes; ";
        umount(bak.c_str());
        return bad;
    });
    EXPECT_EQ(report, "");
}

}  // namespace
