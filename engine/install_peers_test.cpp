// Installs onto another host: the harness of a host with private disks
// (an sshd in a mount namespace of its own).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/sshd_peer.h"
#include "tests/test_util.h"

namespace {

const std::string kHost = "127.0.0.2";

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string madeDir(const std::string& path, mode_t mode = 0755) {
    mkdir(path.c_str(), mode);
    chmod(path.c_str(), mode);
    return path;
}

std::string ownMountNamespace() {
    char link[128];
    ssize_t n = readlink("/proc/self/ns/mnt", link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

TEST(PrivateHostHarness, WritesUnderAPrivateDirectoryAreSeenOnlyThroughTheServer) {
    testutil::TempDir root;
    const std::string disk = madeDir(root.file("disk"));
    std::string ns;
    {
        testutil::SshdPeer host(kHost, {disk});
        ASSERT_TRUE(host.ready()) << host.error();
        ns = host.mountNamespace();
        EXPECT_NE(ns, ownMountNamespace());
        testutil::RunResult r = host.command("echo written > " + disk + "/file && cat " + disk +
                                             "/file && stat -f -c %T " + disk);
        EXPECT_EQ(r.out, "written\ntmpfs\n") << r.err << host.log();
        EXPECT_FALSE(exists(disk + "/file"));
        // A session that outlives its connection keeps the namespace alive
        // until the server's stop ends it.
        r = host.command("sleep 300 </dev/null >/dev/null 2>&1 &");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(testutil::processesInNamespace(ns).empty());
    }
    EXPECT_TRUE(testutil::processesInNamespace(ns).empty());
    EXPECT_FALSE(exists(disk + "/file"));
}

TEST(PrivateHostHarness, MissingPrivateDirectoryStopsTheStart) {
    testutil::TempDir root;
    testutil::SshdPeer host(kHost, {root.file("absent")});
    EXPECT_FALSE(host.ready());
    EXPECT_EQ(host.error(),
              "sshd ended at start: private directories: mounting a tmpfs: No such file or "
              "directory\n");
}

}  // namespace
