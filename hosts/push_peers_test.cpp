// Pushes onto real hosts: the medium on a third host, file packs and the
// engine arriving intact over each access method, names planted where the
// engine used to be staged, engines that read nothing, and the database
// password kept out of every argument list.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/HostGroup.h"
#include "engine/InstalledLocations.h"
#include "hosts/PosixCksum.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Rexec.h"
#include "hosts/host_test_fixture.h"
#include "model/Cdrom.h"
#include "tests/cutting_relay.h"
#include "tests/inetd_peer.h"
#include "tests/sshd_peer.h"

namespace {

const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kFpack = QS_BUILD_DIR "/fpack/fpack";
const uid_t kOther = 4321;

TEST_F(HostTest, PushStreamsTheImageFromTheMediaHost) {
    testutil::SshdPeer peer;
    ASSERT_TRUE(peer.ready()) << peer.error();
    testutil::ScopedEnv ssh("SSH", peer.sshProgram().c_str());
    startWithEmptyTypeTable();
    argInfo.probeFileName = "QRX_";
    argInfo.useSsh = 1;
    clearInstalledLocations();
    ASSERT_EQ(
        argInfo.cdrom.reset(Str(peer.address().c_str()) + ":" + kMedium.c_str(), PHASE_SERVER), 1)
        << log() << peer.log();

    InstallType t{Str("LIB")};
    std::string lib = dir.file("lib");
    t.entry().path = lib.c_str();
    t.entry().enabled = 1;
    t.entry().validFor = BOTH;
    Str fields[kIndexFields] = {"QRX", "fp", "LIB", "generic", "", "4", "2"};
    InstallOperation op;
    op.kind = PUSH_FILEPACK;
    op.type = t;
    op.host = localName();
    op.hostType = "linux-ix86";
    op.filePack = FilePack("", fields);
    op.fs.client = localName();
    op.fs.clientPath = lib.c_str();
    ASSERT_EQ(testutil::run({"mkdir", lib}).status, 0);

    InstallHost target(localName().chars(), "linux-ix86", "root", "", TRUSTED_HOST);
    EXPECT_EQ(target.pushFilePack(op), 1) << log();
    EXPECT_EQ(testutil::readFile(lib + "/qslib.sh"),
              testutil::readFile(QS_SOURCE_DIR "/sample/payload/lib/qslib.sh"));
    EXPECT_EQ(testutil::readFile(lib + "/.installed/QRX_LIB"),
              "PUSHED:" + localName().str() + ":LIB\n");
    EXPECT_TRUE(logged("FN='" + kMedium + "/FILE2.PKT'; if [ -f \"$FN\" ]")) << log();
    EXPECT_TRUE(logged("/bin/linux-ix86/fpack -u -;")) << log();
    EXPECT_FALSE(logged("optimized.  Remote media is same as push target."));
    EXPECT_EQ(installedLocationCount(), 1);
    clearInstalledLocations();
    argInfo.cdrom = Cdrom();
}

// A medium of its own (one file pack holding big.bin, several megabytes of
// random bytes owned by owner) and a bundle whose engine is engine; hosts
// reached over the real sshd, in.rshd and in.rexecd.
class PushPeers : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_TRUE(sshd.ready()) << sshd.error();
        ASSERT_TRUE(inetd.ready()) << inetd.error();
        const passwd* pw = getpwnam(inetd.user().c_str());
        ASSERT_NE(pw, nullptr);
        account = *pw;
        ssh_.reset(new testutil::ScopedEnv("SSH", sshd.sshProgram().c_str()));
        previousLogin_ = setLoginWaitSeconds(30);
        previousRexec_ = setRexecWaitSeconds(30);
        startWithEmptyTypeTable();
        argInfo.probeFileName = "QRX_";
        clearInstalledLocations();
        savedOps_ = hostGroups.ops;
        savedEntries_ = hostGroups.entries;
        // The remote execution account works below the test directory.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        data = testutil::randomBytes(5 * 1024 * 1024 + 777, 7);
        makeMedium();
        useEngine(kFpack);
    }
    void TearDown() override {
        argInfo.cdrom = Cdrom();
        hostGroups.ops = savedOps_;
        hostGroups.entries = savedEntries_;
        clearInstalledLocations();
        setRexecWaitSeconds(previousRexec_);
        setLoginWaitSeconds(previousLogin_);
        ssh_.reset();
        HostTest::TearDown();
    }

    void makeMedium() {
        const std::string medium = dir.file("medium"), src = dir.file("src");
        ASSERT_EQ(testutil::run({"mkdir", "-p", medium + "/CFG", src}).status, 0);
        dir.write("src/big.bin", data);
        ASSERT_EQ(chown(dir.file("src/big.bin").c_str(), account.pw_uid, account.pw_gid), 0);
        const std::string desc = dir.write(
            "medium/CFG/FILE1.CFG", "#*KFP-v2.07\nsrc_relpath=" + src + "\n%\nbig.bin\n%\n%\n");
        testutil::RunResult r = testutil::run({kFpack, "-f", medium + "/FILE1.PKT", desc});
        ASSERT_EQ(r.status, 0) << r.err;
        argInfo.cdrom = Cdrom(localName(), medium.c_str());
    }
    // The bundle's engine: a link to path.
    void useEngine(const std::string& path) {
        const std::string bin = dir.file("bundle/bin/linux-ix86");
        ASSERT_EQ(testutil::run({"mkdir", "-p", bin}).status, 0);
        unlink((bin + "/fpack").c_str());
        ASSERT_EQ(symlink(path.c_str(), (bin + "/fpack").c_str()), 0);
        addConfig("InstallBundle", dir.file("bundle"));
    }
    static void addConfig(const std::string& key, const std::string& value,
                          const std::string& arch = "generic") {
        argInfo.config.addData((arch + " " + key + "\n" + value + "\n%%\n").c_str());
    }
    // A directory owned by owner with mode, below the test directory.
    std::string makeDir(const std::string& name, mode_t mode, uid_t owner = 0) {
        std::string path = dir.file(name);
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        EXPECT_EQ(chown(path.c_str(), owner, owner ? owner : 0), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    // A push of the medium's pack into location on host.
    static InstallOperation push(const char* id, const std::string& location,
                                 const InstallHost& host, const std::string& prefix = "") {
        InstallType t{Str(id)};
        t.entry().path = location.c_str();
        t.entry().enabled = 1;
        t.entry().validFor = BOTH;
        t.entry().options = prefix.c_str();
        Str fields[kIndexFields] = {"QRX", "fp", id, "generic", "", "4", "1"};
        InstallOperation op;
        op.kind = PUSH_FILEPACK;
        op.type = t;
        op.host = host.getName();
        op.hostType = host.getType();
        op.filePack = FilePack("", fields);
        op.fs.client = host.getName();
        op.fs.clientPath = location.c_str();
        return op;
    }
    // What a shell command prints on host.
    static std::string onHost(InstallHost& host, const std::string& command) {
        Str out, err;
        host.runCommand(command.c_str(), EMPTY, out, err, InstallHost::STRING_INPUT);
        return out.str() + err.str();
    }

    testutil::SshdPeer sshd;
    testutil::InetdPeer inetd;
    passwd account{};
    std::string data;

  private:
    std::unique_ptr<testutil::ScopedEnv> ssh_;
    int previousLogin_ = 0;
    int previousRexec_ = 0;
    Array<InstallOperation> savedOps_;
    Array<HostGroupEntry> savedEntries_;
};

// The pack and the engine arrive byte for byte, judged by cksum on the
// host, over each access method; also when the unpack command prints a lot
// before its engine starts reading.
TEST_F(PushPeers, PackAndEngineArriveIntactOverEachAccess) {
    const Str address = sshd.address().c_str();
    struct Target {
        const char* name;
        InstallHost host;
    } targets[] = {
        {"ssh", InstallHost(address, "linux-ix86", "root", "", SSH_ACCESS)},
        {"rsh", InstallHost(address, "linux-ix86", "root", "", TRUSTED_HOST)},
        {"rexec", InstallHost(address, "linux-ix86", inetd.user().c_str(), inetd.password().c_str(),
                              USER_PASSWORD)},
    };
    const std::string chatter = "yes chatter-chatter | head -n 50000; sleep 2";
    const std::string wantData = testutil::cksumOf(data);
    const std::string wantEngine = testutil::cksumOf(testutil::readFile(kFpack));
    for (bool chatty : {false, true}) {
        // The block is read after the type's own set-up commands.
        for (Target& target : targets) {
            SCOPED_TRACE(std::string(target.name) + (chatty ? ", chatty and slow" : ""));
            InstallHost& host = target.host;
            const std::string name = std::string(target.name) + (chatty ? "-chatty" : "");
            const uid_t owner = host.access() == USER_PASSWORD ? account.pw_uid : 0;
            const std::string tmp = makeDir(name + "-tmp", 0755, owner);
            const std::string location = makeDir(name + "-bin", 0755, owner);
            addConfig("TmpDir", tmp);
            hostFailures.clear();
            ASSERT_EQ(host.pushFilePack(push("BIN", location, host, chatty ? chatter : "")), 1)
                << report() << log();
            EXPECT_EQ(onHost(host, "cksum < " + location + "/big.bin"), wantData + "\n");
            const std::string stage = host.getEngineDir().str();
            EXPECT_EQ(stage.rfind(tmp + "/quillset.", 0), 0u) << stage;
            EXPECT_EQ(onHost(host, "cksum < " + stage + "/fpack"), wantEngine + "\n");
            EXPECT_EQ(onHost(host, "ls -ld " + stage).substr(0, 10), "drwx------");
            host.removeEngineDir();
            EXPECT_EQ(onHost(host, "ls -A " + tmp), "");
        }
    }
}

// Links, directories and files of another account at the names where the
// engine used to be staged are neither followed nor run nor changed: the
// engine goes into its own directory, and nothing of it stays.
TEST_F(PushPeers, NamesPlantedWhereTheEngineWasStagedAreLeftAlone) {
    InstallHost host(sshd.address().c_str(), "linux-ix86", "root", "", TRUSTED_HOST);
    const std::string victim = dir.write("victim", "precious\n");
    const std::string marker = dir.file("foreign-engine-ran");
    const std::string foreignEngine = "#!/bin/sh\ntouch " + marker + "\nexit 0\n";
    struct Case {
        const char* name;
        std::function<void(const std::string& tmp)> plant;
    } cases[] = {
        {"link to a file of root",
         [&](const std::string& tmp) {
             ASSERT_EQ(testutil::run({"mkdir", "-p", tmp + "/bin/linux-ix86"}).status, 0);
             ASSERT_EQ(symlink(victim.c_str(), (tmp + "/bin/linux-ix86/fpack").c_str()), 0);
         }},
        {"directory of another account",
         [&](const std::string& tmp) {
             ASSERT_EQ(testutil::run({"mkdir", "-p", tmp + "/bin/linux-ix86"}).status, 0);
             dir.write(tmp.substr(dir.path().size() + 1) + "/bin/linux-ix86/fpack", foreignEngine);
             ASSERT_EQ(chmod((tmp + "/bin/linux-ix86/fpack").c_str(), 0777), 0);
             ASSERT_EQ(testutil::run({"chown", "-R", std::to_string(kOther), tmp + "/bin"}).status,
                       0);
         }},
        {"file of another account",
         [&](const std::string& tmp) {
             ASSERT_EQ(testutil::run({"mkdir", "-p", tmp + "/bin/linux-ix86"}).status, 0);
             dir.write(tmp.substr(dir.path().size() + 1) + "/bin/linux-ix86/fpack", foreignEngine);
             ASSERT_EQ(chmod((tmp + "/bin/linux-ix86/fpack").c_str(), 0777), 0);
             ASSERT_EQ(chown((tmp + "/bin/linux-ix86/fpack").c_str(), kOther, kOther), 0);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tmp = makeDir("tmp" + std::to_string(++n), 01777);
        c.plant(tmp);
        const std::string before = testutil::run({"ls", "-lAR", "--time-style=+", tmp}).out;
        addConfig("TmpDir", tmp);
        const std::string location = makeDir("bin" + std::to_string(n), 0755);
        InstallHost target = host;
        EXPECT_EQ(target.pushFilePack(push("BIN", location, target)), 1) << report() << log();
        EXPECT_EQ(testutil::cksumOf(testutil::readFile(location + "/big.bin")),
                  testutil::cksumOf(data));
        target.removeEngineDir();
        EXPECT_EQ(testutil::run({"ls", "-lAR", "--time-style=+", tmp}).out, before);
        EXPECT_EQ(testutil::readFile(victim), "precious\n");
        struct stat st;
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_NE(access(marker.c_str(), F_OK), 0);
    }
}

// A program that exits 0 without reading its input, or reads it and says
// nothing, is no engine: the push fails and is reported.
TEST_F(PushPeers, EngineThatDoesNotConfirmTheBlockFailsThePush) {
    InstallHost host(sshd.address().c_str(), "linux-ix86", "root", "", TRUSTED_HOST);
    addConfig("TmpDir", makeDir("tmp", 01777));
    struct Case {
        const char* name;
        const char* script;
    } cases[] = {
        {"reads nothing", "#!/bin/sh\nexit 0\n"},
        {"reads all, confirms nothing", "#!/bin/sh\ncat >/dev/null\nexit 0\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string standIn = dir.write("stand-in" + std::to_string(++n), c.script);
        ASSERT_EQ(chmod(standIn.c_str(), 0755), 0);
        useEngine(standIn);
        hostFailures.clear();
        clearInstalledLocations();
        const std::string location = makeDir("bin" + std::to_string(n), 0755);
        InstallHost target = host;
        EXPECT_EQ(target.pushFilePack(push("BIN", location, target)), 0);
        target.removeEngineDir();
        EXPECT_EQ(installedLocationCount(), 0);
        EXPECT_NE(access((location + "/.installed/QRX_BIN").c_str(), F_OK), 0);
        EXPECT_EQ(shown().back(), " Completed (with errors).\n\n");
        EXPECT_NE(report().find("the file package engine did not confirm that it read the whole "
                                "block"),
                  std::string::npos)
            << report();
    }
}

// A host whose connection drops at any step of a push (the relay closes it
// after so many bytes: while the engine is copied, while the block streams,
// after it, while the probe file is written) is left either without the
// type (no probe file, nothing registered, no file half there) with the
// push reported failed, or with the type complete and the push reported
// done.
TEST_F(PushPeers, ConnectionDroppedAtEachStepLeavesTheTypeAbsentOrComplete) {
    testutil::CuttingRelay relay(sshd.address(), sshd.port());
    ASSERT_TRUE(relay.ready()) << relay.error();
    testutil::ScopedEnv ssh("SSH", sshd.wrapperFor(relay.port(), "relayed-ssh").c_str());
    const std::string tmp = makeDir("tmp", 01777);
    addConfig("TmpDir", tmp);
    const std::string wantData = testutil::cksumOf(data);
    int n = 0;
    // Pushes with a cut after cut bytes (0: none); the bytes each
    // connection of the push carried.
    // Byte counts of ssh differ a little between runs: a cut near the end
    // of the last connection may fall after the push.
    auto attempt = [&](unsigned long long cut, bool mustCut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        InstallHost host(sshd.address().c_str(), "linux-ix86", "root", "", SSH_ACCESS);
        const std::string location = makeDir("bin" + std::to_string(++n), 0755);
        hostFailures.clear();
        clearInstalledLocations();
        statusLines().clear();
        relay.cutAfter(cut);
        const int result = host.pushFilePack(push("BIN", location, host));
        const std::vector<unsigned long long> bytes = relay.connectionBytes();
        const int cutIn = relay.cutConnection();
        std::string trace = "cut in connection " + std::to_string(cutIn) + " of";
        for (unsigned long long b : bytes) trace += " " + std::to_string(b);
        SCOPED_TRACE(trace + " bytes");
        relay.cutAfter(0);
        host.removeEngineDir();
        const std::string probe = location + "/.installed/QRX_BIN";
        const std::string files =
            testutil::run({"find", location, "-mindepth", "1", "!", "-type", "d"}).out;
        if (mustCut) {
            EXPECT_GE(cutIn, 0) << "the connection was not cut";
        }
        if (result == 1) {
            EXPECT_EQ(testutil::readFile(probe), "PUSHED:" + sshd.address() + ":BIN\n");
            EXPECT_EQ(testutil::cksumOf(testutil::readFile(location + "/big.bin")), wantData);
            EXPECT_EQ(installedLocationCount(), 1);
            EXPECT_EQ(report(), "");
            EXPECT_EQ(shown().back(), " Completed.\n\n");
        } else {
            EXPECT_EQ(files.find(probe), std::string::npos) << files;
            EXPECT_EQ(installedLocationCount(), 0);
            EXPECT_NE(report().find(sshd.address()), std::string::npos) << report();
            // The one file of the pack is there whole or not at all.
            if (files.find(location + "/big.bin\n") != std::string::npos) {
                EXPECT_EQ(testutil::cksumOf(testutil::readFile(location + "/big.bin")), wantData);
            }
            EXPECT_TRUE(files.empty() || files == location + "/big.bin\n") << files;
        }
        EXPECT_EQ(testutil::run({"ls", "-A", tmp}).out, "");
        return bytes;
    };
    const std::vector<unsigned long long> whole = attempt(0, false);
    ASSERT_FALSE(HasFailure());
    unsigned long long start = 0;
    for (unsigned long long size : whole) {
        for (unsigned long long at : {size / 50, size / 2, size * 9 / 10, size - 300, size - 60})
            attempt(start + at, at <= size * 9 / 10);
        start += size;
    }
}

// Whether any process's argument list holds text now; one argument list
// may be read while its process ends.
bool inSomeArgumentList(const std::string& text) {
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    bool found = false;
    while (const dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string args = testutil::readFile(std::string("/proc/") + e->d_name + "/cmdline");
        for (char& c : args)
            if (c == '\0') c = ' ';
        if (args.find(text) != std::string::npos) found = true;
    }
    closedir(proc);
    return found;
}

// The database account of a Windows node: while the push runs, the password
// stands in no argument list on either side, and still reaches the engine.
TEST_F(PushPeers, DatabasePasswordStandsInNoArgumentList) {
    // The node's engine: a stand-in on its path that notes the password it
    // was given, waits so that the unpack command is seen running, and
    // hands over to the real engine.
    const std::string bin = makeDir("w32-bin", 0755);
    const std::string seen = dir.file("seen-password");
    dir.write("w32-bin/fpack.exe", "#!/bin/sh\nprintf '%s' \"$ZapPassword\" > " + seen +
                                       "\nsleep 2\nexec " + kFpack + " \"$@\"\n");
    ASSERT_EQ(chmod((bin + "/fpack.exe").c_str(), 0755), 0);
    addConfig("WispPath", bin + ":", "w32-ix86");
    const std::string password = "Zq7-" + std::to_string(getpid()) + "-db-secret";
    argInfo.zapUser = "dbadmin";
    argInfo.zapPassword = password.c_str();
    InstallHost host(sshd.address().c_str(), "w32-ix86", "root", "", SSH_ACCESS);
    const std::string location = makeDir("db", 0755);

    std::atomic<bool> done(false), leaked(false), unpackSeen(false);
    std::thread watch([&] {
        while (!done) {
            if (inSomeArgumentList(password)) leaked = true;
            if (inSomeArgumentList("fpack.exe -u -")) unpackSeen = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    int result = host.pushFilePack(push("ZPIDB", location, host));
    done = true;
    watch.join();
    EXPECT_EQ(result, 1) << report() << log();
    EXPECT_TRUE(unpackSeen);
    EXPECT_FALSE(leaked);
    EXPECT_EQ(testutil::readFile(seen), password);
    EXPECT_EQ(testutil::cksumOf(testutil::readFile(location + "/big.bin")),
              testutil::cksumOf(data));
    EXPECT_FALSE(logged(password));
}

}  // namespace
