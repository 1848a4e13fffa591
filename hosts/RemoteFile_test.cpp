// File operations run as shell commands, here on the local host.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "hosts/InstallHost.h"
#include "hosts/host_test_fixture.h"

namespace {

class RemoteFileTest : public HostTest {
  protected:
    bool exists(const std::string& path) const {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    InstallHost host{localName(), "linux-ix86", "root", "", TRUSTED_HOST};
};

TEST_F(RemoteFileTest, CreateFileWritesAndReadsBack) {
    struct Case {
        const char* dir;
        const char* contents;
        int makeDir;
        int result;
    } cases[] = {
        {"", "two\nlines\n", 0, 1},
        {"new/nested", "made\n", 1, 1},
        {"missing", "no dir\n", 0, 0},
        // The read-back loses carriage returns, so it cannot match.
        {"", "dos\r\nline\r\n", 0, 0},
        {"", "", 0, 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contents);
        std::string d = *c.dir ? dir.file(c.dir) : dir.path();
        std::string name = "f" + std::to_string(n++);
        EXPECT_EQ(host.createFile(d.c_str(), name.c_str(), c.contents, c.makeDir), c.result);
        if (std::string(c.dir) != "missing") {
            EXPECT_EQ(testutil::readFile(d + "/" + name), c.contents);
        }
    }
    EXPECT_TRUE(logged("File create failed -- contents bad"));
    EXPECT_TRUE(
        logged("Generic creating File " + dir.path() + "/f0 on host: " + host.getName().str()));
}

TEST_F(RemoteFileTest, FileExistsJudgesTheErrorText) {
    dir.write("here", "x");
    EXPECT_EQ(host.fileExists(dir.path().c_str(), "here"), 1);
    EXPECT_EQ(host.fileExists((dir.path() + "/").c_str(), "here"), 1);
    EXPECT_TRUE(logged("Generic: " + dir.path() + "/here TRUE"));
    EXPECT_EQ(host.fileExists(dir.path().c_str(), "gone"), 0);
    EXPECT_TRUE(logged("Generic: " + dir.path() + "/gone FALSE"));
    // A failure whose text does not name the path does not count as missing
    // (ls writes a name with a tab in its own quoted form).
    EXPECT_EQ(host.fileExists(dir.path().c_str(), "tab\tname"), 1);
    // The name is one word for the shell, never a command: ls names all of
    // it as missing.
    EXPECT_EQ(host.fileExists(dir.path().c_str(), "x; echo refused >&2"), 0);
    EXPECT_EQ(host.fileExists("", "here"), 0);
    EXPECT_TRUE(logged("bad directory for IH:fileExists!"));
}

TEST_F(RemoteFileTest, RemovalOfFilesListsAndDirectories) {
    dir.write("a", "1");
    dir.write("b", "2");
    dir.write("c", "3");
    Array<Str> both;
    both.put(dir.file("a").c_str());
    both.put(dir.file("b").c_str());
    host.rmFiles(both);
    EXPECT_FALSE(exists(dir.file("a")));
    EXPECT_FALSE(exists(dir.file("b")));
    EXPECT_TRUE(logged("rm -f '" + dir.file("a") + "' '" + dir.file("b") + "';"));

    host.rmFiles(Array<Str>());
    EXPECT_TRUE(logged("No files on list to remove!"));

    host.rmFile(dir.path().c_str(), "c");
    EXPECT_FALSE(exists(dir.file("c")));

    ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0755), 0);
    host.rmDir(dir.file("empty").c_str());
    EXPECT_FALSE(exists(dir.file("empty")));

    // Children before parents; a directory that is not empty stays.
    for (const char* d : {"p", "p/q", "p/q/r", "full", "with blank"})
        ASSERT_EQ(mkdir(dir.file(d).c_str(), 0755), 0);
    dir.write("full/kept", "k");
    Array<Str> dirs;
    for (const char* d : {"p/q/r", "full", "p/q", "with blank", "p"}) dirs.put(dir.file(d).c_str());
    host.rmDirs(dirs);
    for (const char* d : {"p", "with blank"}) EXPECT_FALSE(exists(dir.file(d))) << d;
    EXPECT_EQ(testutil::readFile(dir.file("full/kept")), "k");
}

TEST_F(RemoteFileTest, CreateDirectoryReportsMkdirFailures) {
    EXPECT_EQ(host.createDirectory(dir.file("x/y/z").c_str()), 1);
    EXPECT_TRUE(exists(dir.file("x/y/z")));
    dir.write("plain", "");
    EXPECT_EQ(host.createDirectory(dir.file("plain").c_str()), 0);
    EXPECT_TRUE(logged("Mkdir failed: "));
}

TEST_F(RemoteFileTest, ReadFileOfTheLocalHostIsWholeWithoutCarriageReturns) {
    std::string big(100000, 'b');
    dir.write("big", big + "\r\nend\r\n");
    Str out = "stale";
    host.readFile(dir.path().c_str(), "big", out);
    EXPECT_EQ(out.str(), big + "\nend\n");
    EXPECT_TRUE(logged("readFile local:" + dir.path() + ",big"));
    host.readFile(dir.path().c_str(), "none", out);
    EXPECT_EQ(out, "");
}

// The buffered read streams through a command, in blocks of at most 64 KiB.
TEST_F(RemoteFileTest, BufferedReadStreamsTheFileInBlocks) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) text += "line " + std::to_string(i) + "\n";
    dir.write("stream", text);
    ASSERT_EQ(host.setupBufferedReadFile(dir.path().c_str(), "stream"), 1);
    std::string got;
    int blocks = 0;
    char* block = nullptr;
    for (int n; (n = host.contBufferedRead(block)) > 0; block = nullptr, ++blocks) {
        EXPECT_LE(n, 65536);
        got.append(block, size_t(n));
        delete[] block;
    }
    delete[] block;
    EXPECT_EQ(host.cleanupBufferedReadStuff(), 0);
    EXPECT_EQ(got, text);
    EXPECT_GE(blocks, 4);
    block = nullptr;
    EXPECT_EQ(host.contBufferedRead(block), 0) << "no read is open any more";
    EXPECT_EQ(block, nullptr);

    EXPECT_EQ(host.setupBufferedReadFile(dir.path().c_str(), "missing"), 0);
    EXPECT_TRUE(logged("Buffered read file does not exist."));
    EXPECT_EQ(host.contBufferedRead(block), 0);
}

TEST_F(RemoteFileTest, FindFsProbesAndCreatesTheLocation) {
    Str server = "s", d = "d";
    EXPECT_EQ(host.findFS(dir.path().c_str(), server, d), 1) << log();
    EXPECT_EQ(server, "");
    EXPECT_EQ(d, "");
    EXPECT_TRUE(logged("pdfs local"));

    EXPECT_EQ(host.findFS(dir.file("made/here").c_str(), server, d), 1);
    EXPECT_TRUE(exists(dir.file("made/here")));

    dir.write("file", "");
    EXPECT_EQ(host.findFS(dir.file("file").c_str(), server, d), 0);
    EXPECT_TRUE(logged("findFS (not a dir): " + dir.file("file") + ": not a directory"));

    InstallHost os2("os2box", "os2-ix86", "u", "p", USER_PASSWORD);
    EXPECT_EQ(os2.findFS("C:/zpi", server, d), 0);
    EXPECT_TRUE(logged("findFS (df seq failure): "));
    EXPECT_FALSE(logged("on os2box:")) << "no probe runs on an OS/2 host";
}

}  // namespace
