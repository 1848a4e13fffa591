// The command-line installer end to end onto another host: the sample
// medium installed onto 127.0.0.2 over ssh (a server with private disks,
// seen only through it), over the trusted-host remote shell and over remote
// execution with a test account. Each run is checked on the host itself:
// the engine copy, the streamed file packs, the files and probe files, the
// recorded attributes, and a second run that finds everything installed.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "model/config_data.h"
#include "tests/inetd_peer.h"
#include "tests/sshd_peer.h"
#include "tests/test_util.h"

namespace {

const std::string kCli = QS_BUILD_DIR "/quillset_cli";
const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kFpack = QS_BUILD_DIR "/fpack/fpack";
const std::string kPayload = QS_SOURCE_DIR "/sample/payload";
const std::string kHost = "127.0.0.2";

// The sample's install types, the directory each is installed in under
// the install root, one file of its package and that file in the payload.
struct SampleType {
    const char* id;
    const char* dir;
    const char* file;
    const char* source;
};
const SampleType kTypes[] = {
    {"BIN", "bin", "bin/qsstat", "bin/qsstat"},
    {"LIB", "lib", "qslib.sh", "lib/qslib.sh"},
    {"ZPIDB", "db", "qrx.conf", "db/qrx.conf"},
    {"MAN", "man", "man1/qsstat.1", "man/qsstat.1"},
    {"APPD", "appd", "QuillStatus", "appd/QuillStatus"},
    {"CAT", "cat", "qsstat.msg", "msg/qsstat.msg"},
};

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

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The lines of text that hold word, for the message of a failing check.
std::string linesWith(const std::string& text, const std::string& word) {
    std::string found;
    for (const std::string& line : testutil::lines(text))
        if (contains(line, word)) found += line + "\n";
    return found;
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

// One install root on the target host, the installer run onto it, and the
// checks made on the host through onHost (a shell command run there).
class InstallOntoHost : public testing::Test {
  protected:
    using OnHost = std::function<testutil::RunResult(const std::string&)>;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "installing needs root";
    }

    // The words that put every type under root and the engine copy into
    // root/tmp, which must exist on the host.
    std::vector<std::string> locations(const std::string& root) const {
        std::vector<std::string> words;
        for (const SampleType& t : kTypes) words.push_back(std::string(t.id) + "=" + at(root, t));
        words.push_back("@TmpDir@=" + root + "/tmp");
        return words;
    }
    static std::string at(const std::string& root, const SampleType& t) {
        return root + "/" + t.dir;
    }

    testutil::RunResult install(const std::vector<std::string>& words,
                                const std::vector<std::string>& env = {},
                                const std::string& server = kHost, int timeoutSeconds = 240) {
        std::vector<std::string> argv = {kCli, "-y", "-c", medium_, "-a", server};
        argv.insert(argv.end(), words.begin(), words.end());
        // Each run its own debug log; log() is the last one.
        log_ = work_.file("debug" + std::to_string(++runs_) + ".log");
        std::vector<std::string> fullEnv = env;
        fullEnv.push_back("QUILLSET_DEBUG_LOG=" + log_);
        return testutil::run(argv, "", fullEnv, timeoutSeconds);
    }
    std::string log() const { return testutil::readFile(log_); }

    // The engine went once into a directory made for the run under
    // root/tmp, was fed every file pack on its standard input from there,
    // and nothing of it is left.
    void expectEngineCopiedAndFed(const OnHost& onHost, const std::string& root) {
        const std::string text = log();
        SCOPED_TRACE(linesWith(text, "fpack"));
        EXPECT_TRUE(contains(text, "[getting ready to distribute...]"));
        EXPECT_TRUE(contains(text, "[Ready.\n ]"));
        // Not a fixed name: the prefix of the run's private directory, whose
        // 12 random characters the log shows; mkdir refuses one that exists.
        const std::string made = "&& mkdir '" + root + "/tmp/quillset.";
        const size_t pos = text.find(made);
        ASSERT_NE(pos, std::string::npos);
        EXPECT_EQ(text.find(made, pos + 1), std::string::npos) << "copied once";
        const std::string engine =
            "'" + root + "/tmp/quillset." + text.substr(pos + made.size(), 12) + "/fpack'";
        EXPECT_TRUE(contains(
            text, "&& /bin/cat > " + engine + " && chmod 700 " + engine + " && cksum < " + engine));
        // Each image is sent as the input of the command that unpacks it
        // on the host, in its type's location.
        for (size_t n = 0; n < sizeof kTypes / sizeof kTypes[0]; ++n) {
            const SampleType& t = kTypes[n];
            SCOPED_TRACE(t.id);
            const std::string sent =
                "\nSending file " + medium_ + "/FILE" + std::to_string(n + 1) + ".PKT\n";
            const size_t from = text.find(sent);
            ASSERT_NE(from, std::string::npos);
            const size_t begin = from + sent.size();
            // Through the end of the framed command, whatever lines it takes.
            const size_t end = text.find("END_OF_STREAM", begin);
            const std::string command = text.substr(begin, end - begin);
            EXPECT_TRUE(contains(command, " on " + kHost + ":\n")) << command;
            EXPECT_TRUE(contains(command, ";cd '" + at(root, t) + "';" + engine + " -u -;"))
                << command;
        }
        EXPECT_EQ(onHost("ls -A " + root + "/tmp").out, "");
    }

    // Every type's files and probe file are on the host.
    void expectInstalled(const OnHost& onHost, const std::string& root) {
        SCOPED_TRACE(onHost("find " + root + " | sort").out);
        for (const SampleType& t : kTypes) {
            SCOPED_TRACE(t.id);
            const std::string dir = at(root, t);
            EXPECT_EQ(onHost("test -f " + dir + "/" + t.file + " && echo present").out,
                      "present\n");
            EXPECT_EQ(onHost("cat " + dir + "/.installed/QRX_" + t.id).out,
                      "PUSHED:" + kHost + ":" + t.id + "\n");
        }
    }

    // The recording script ran on the host: the object-call stand-in of
    // the BIN package keeps the installation's attributes under ZPIDB, one
    // file each.
    void expectRecorded(const OnHost& onHost, const std::string& root) {
        const std::string objects = root + "/db/.objects/";
        SCOPED_TRACE(onHost("grep -r . " + objects).out);
        auto attribute = [&](const std::string& cls, const std::string& name) {
            return onHost("cat " + objects + "`" + root + "/bin/bin/objlookup " + cls + "`/" + name)
                .out;
        };
        EXPECT_EQ(attribute("Installation", "revision"), "\"1.2.0\"\n");
        EXPECT_EQ(attribute("Installation", "patches"), "{0}\n");
        // The configuration with this run's settings, its line marks removed.
        const std::string data = attribute("Installation", "data");
        EXPECT_EQ(data.rfind("{ \"\n", 0), 0u);
        EXPECT_TRUE(contains(data, "\ngeneric TmpDir\n" + root + "/tmp\n%%\n"));
        EXPECT_FALSE(contains(data, "\nX"));
        const std::string locations = attribute("Installation", "locations");
        EXPECT_EQ(locations.rfind("{ 6 {", 0), 0u) << locations;
        for (size_t n = 0; n < sizeof kTypes / sizeof kTypes[0]; ++n)
            EXPECT_TRUE(contains(locations, std::string("\"") + kTypes[n].id +
                                                "\" \"linux-ix86\" \"" + medium_ + "/CFG/FILE" +
                                                std::to_string(n + 1) + ".CFG\" \"installed\" }"))
                << kTypes[n].id;
        std::string installation = onHost(root + "/bin/bin/objlookup Installation").out;
        ASSERT_FALSE(installation.empty());
        installation.pop_back();
        EXPECT_TRUE(contains(attribute("NameRegistry", "set_values"),
                             "\"distinguished\" { 1 { " + installation + " \"Installation\" "));
    }

    // A second run finds every type through its probe file and pushes
    // nothing.
    void expectSecondRunFindsEverything(const std::vector<std::string>& words,
                                        const std::vector<std::string>& env = {}) {
        testutil::RunResult r = install(words, env);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const SampleType& t : kTypes)
            EXPECT_TRUE(contains(r.out, "   " + kHost + " already has the " + t.id +
                                            " installed (from " + kHost + ").\n"))
                << t.id << "\n"
                << r.out;
        EXPECT_FALSE(contains(r.out, "need to copy")) << r.out;
        EXPECT_FALSE(contains(log(), " -u -;")) << linesWith(log(), "fpack");
        EXPECT_FALSE(contains(log(), "[getting ready to distribute...]"));
    }

    // Makes medium_ a copy of the sample medium whose packages install
    // files and directories owned by uid and gid.
    void useMediumOwnedBy(uid_t uid, gid_t gid) {
        medium_ = work_.file("medium");
        ASSERT_EQ(testutil::run({"cp", "-r", kMedium, medium_}).status, 0);
        std::vector<std::string> owner;
        for (const char* kind : {"file", "dir"}) {
            owner.push_back(std::string("-Dunix_default_") + kind + "_uid=" + std::to_string(uid));
            owner.push_back(std::string("-Dunix_default_") + kind + "_gid=" + std::to_string(gid));
        }
        for (size_t n = 1; n <= sizeof kTypes / sizeof kTypes[0]; ++n) {
            const std::string name = "FILE" + std::to_string(n);
            std::vector<std::string> argv = {"sh", "-c", "cd \"$0\" && exec \"$@\"", kPayload,
                                             kFpack};
            argv.insert(argv.end(), owner.begin(), owner.end());
            argv.insert(argv.end(),
                        {"-f", medium_ + "/" + name + ".PKT", medium_ + "/CFG/" + name + ".CFG"});
            testutil::RunResult r = testutil::run(argv);
            ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        }
    }

    testutil::TempDir work_;
    std::string medium_ = kMedium;
    std::string log_;
    int runs_ = 0;
};

// Over ssh onto a host whose install root is a private tmpfs of its sshd.
class SshInstall : public InstallOntoHost {
  protected:
    void SetUp() override {
        InstallOntoHost::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(peer_.ready()) << peer_.error();
        ASSERT_EQ(onHost("mkdir " + root_ + "/tmp").status, 0);
    }
    testutil::RunResult onHost(const std::string& command) const { return peer_.command(command); }
    std::vector<std::string> words() const {
        std::vector<std::string> w = locations(root_);
        w.push_back("@UseSSH@=1");
        return w;
    }
    std::vector<std::string> env() const { return {"SSH=" + peer_.sshProgram()}; }

    const std::string root_ = madeDir(work_.file("host"));
    testutil::SshdPeer peer_{kHost, {root_}};
};

TEST_F(SshInstall, EveryTypeIsPushedThroughSshAndRecordedOnTheHostOnly) {
    testutil::RunResult r = install(words(), env());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "problems were encountered")) << r.out;
    const OnHost on = [this](const std::string& c) { return onHost(c); };
    expectEngineCopiedAndFed(on, root_);
    expectInstalled(on, root_);
    expectRecorded(on, root_);
    // None of it reached this side of the mount namespace.
    for (const SampleType& t : kTypes) EXPECT_FALSE(exists(at(root_, t))) << t.id;
    EXPECT_FALSE(exists(root_ + "/tmp"));
    expectSecondRunFindsEverything(words(), env());
}

// Over the inetd services, which run in this mount namespace: the host's
// files are read directly.
testutil::RunResult onThisHost(const std::string& command) {
    return testutil::run({"sh", "-c", command}, "", {}, 30);
}

TEST_F(InstallOntoHost, TrustedHostShellInstallsAndRecords) {
    testutil::InetdPeer peer(testutil::InetdPeer::RSH, kHost);
    ASSERT_TRUE(peer.ready()) << peer.error();
    const std::string root = madeDir(work_.file("host"));
    madeDir(root + "/tmp");
    testutil::RunResult r = install(locations(root));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "problems were encountered")) << r.out;
    expectEngineCopiedAndFed(onThisHost, root);
    expectInstalled(onThisHost, root);
    expectRecorded(onThisHost, root);
}

// in.rexecd refuses root: the account installs into a root it owns, and
// the engine runs as that account. The engine, not being root, can give
// its files no other owner, so the medium's packages are made for it.
TEST_F(InstallOntoHost, RemoteExecutionAsATestAccountInstallsAndRecords) {
    testutil::InetdPeer peer(testutil::InetdPeer::REXEC, kHost);
    ASSERT_TRUE(peer.ready()) << peer.error();
    const passwd* account = getpwnam(peer.user().c_str());
    ASSERT_NE(account, nullptr);
    madeDir(work_.path());
    const std::string root = madeDir(work_.file("host"));
    madeDir(root + "/tmp");
    ASSERT_EQ(chown(root.c_str(), account->pw_uid, account->pw_gid), 0);
    ASSERT_EQ(chown((root + "/tmp").c_str(), account->pw_uid, account->pw_gid), 0);
    useMediumOwnedBy(account->pw_uid, account->pw_gid);
    // The password comes from a file only root can read, not from a word
    // every user could see in the process list. -z replaces the built-in
    // configuration, so the file is that configuration plus the password.
    std::string configuration;
    for (char** part = config_data; *part; ++part) configuration += *part;
    const std::string secrets =
        work_.write("secrets", configuration + "generic RP\n" + peer.password() + "\n%%\n");
    ASSERT_EQ(chmod(secrets.c_str(), 0600), 0);
    std::vector<std::string> words = {"-z", secrets};
    for (const std::string& w : locations(root)) words.push_back(w);
    words.push_back("@DefaultUser@=" + peer.user());
    testutil::RunResult r = install(words);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "problems were encountered")) << r.out;
    expectEngineCopiedAndFed(onThisHost, root);
    expectInstalled(onThisHost, root);
    expectRecorded(onThisHost, root);
    struct stat st {};
    ASSERT_EQ(stat((root + "/bin/bin/qsstat").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, account->pw_uid);
    // The password is never written to the debug log.
    EXPECT_FALSE(contains(log(), peer.password())) << linesWith(log(), peer.password());
}

// Eight hosts over ssh, each a server with a private tmpfs over the same
// install root, installed in one run: the first is the server, the others
// are named by host words. The medium's types other than the database are
// valid for clients too.
class ManyHostInstall : public InstallOntoHost {
  protected:
    void SetUp() override {
        InstallOntoHost::SetUp();
        if (IsSkipped()) return;
        startHosts(8);
    }

    // Starts n hosts on 127.0.0.2 and on.
    void startHosts(int n) {
        hostCount_ = n;
        medium_ = work_.file("medium");
        ASSERT_EQ(testutil::run({"cp", "-r", kMedium, medium_}).status, 0);
        ASSERT_EQ(
            testutil::run({"sed", "-i", "-E", "/^QRX:id:(BIN|LIB|MAN|APPD|CAT):/s/:server:/:both:/",
                           medium_ + "/QRX.IND"})
                .status,
            0);
        std::vector<const testutil::SshdPeer*> servers;
        for (int i = 0; i < n; ++i) {
            names_.push_back("127.0.0." + std::to_string(i + 2));
            peers_.emplace_back(new testutil::SshdPeer(names_[size_t(i)], {root_}));
            ASSERT_TRUE(peers_[size_t(i)]->ready()) << peers_[size_t(i)]->error();
            ASSERT_EQ(onHost(i, "mkdir " + root_ + "/tmp").status, 0);
            servers.push_back(peers_[size_t(i)].get());
        }
        // The installer has one ssh program: this one hands each host to
        // the client of its server.
        ssh_ = testutil::writeSshDispatcher(work_.file("ssh"), servers);
        ASSERT_FALSE(ssh_.empty());
    }

    testutil::RunResult onHost(int i, const std::string& command) const {
        return peers_[size_t(i)]->command(command);
    }
    testutil::RunResult installAll(bool multiplex, const std::vector<std::string>& more = {}) {
        std::vector<std::string> w = locations(root_);
        w.push_back("@UseSSH@=1");
        w.push_back(std::string("@Multiplex@=") + (multiplex ? "yes" : "no"));
        w.insert(w.end(), more.begin(), more.end());
        for (int i = 1; i < hostCount_; ++i) w.push_back(names_[size_t(i)]);
        return install(w, {"SSH=" + ssh_}, names_[0], 1500);
    }
    bool isServer(const SampleType& t) const { return std::string(t.id) == "ZPIDB"; }

    // Every type meant for host i is there byte for byte, with the probe
    // file of its own push; only the server has the database. One command
    // shows all of it: each look at a host costs a login.
    void expectInstalledOn(int i) {
        SCOPED_TRACE(names_[size_t(i)]);
        std::string command, want;
        for (const SampleType& t : kTypes) {
            const std::string dir = at(root_, t);
            command += std::string("echo '== ") + t.id + "'; ";
            want += std::string("== ") + t.id + "\n";
            if (i > 0 && isServer(t)) {
                command += "test -e " + dir + " && echo there; ";
                continue;
            }
            command += "cat " + dir + "/" + t.file + "; echo '-- probe'; cat " + dir +
                       "/.installed/QRX_" + t.id + "; ";
            want += testutil::readFile(kPayload + "/" + t.source) + "-- probe\n" +
                    "PUSHED:" + names_[size_t(i)] + ":" + t.id + "\n";
        }
        command += "echo '== tmp'; ls -A " + root_ + "/tmp";
        want += "== tmp\n";
        EXPECT_EQ(onHost(i, command).out, want);
    }

    // The recording ran once, on the server, and names each pushed
    // location of every host in hosts.
    void expectRecordedOnServer(const std::vector<int>& hosts) {
        const std::string objects = root_ + "/db/.objects/";
        const std::string lookup = root_ + "/bin/bin/objlookup Installation";
        std::string installation = onHost(0, lookup).out;
        ASSERT_FALSE(installation.empty());
        installation.pop_back();
        const std::string locations = onHost(0, "cat " + objects + installation + "/locations").out;
        for (int i : hosts)
            for (const SampleType& t : kTypes) {
                if (i > 0 && isServer(t)) continue;
                EXPECT_TRUE(contains(locations, "{ \"" + names_[size_t(i)] + "\" \"" +
                                                    at(root_, t) + " \" \"" + t.id + "\""))
                    << names_[size_t(i)] << " " << t.id << "\n"
                    << locations;
            }
        EXPECT_EQ(count(log(), "Storing installation attributes."), 1u);
    }

    static size_t count(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }
    // The most pushes under way at once, from the order of the log's lines:
    // a push runs from the line that starts its command (the engine
    // unpacking its input) to the line that says its host's command ended.
    size_t mostPushesAtOnce() const {
        const std::string text = log();
        std::set<std::string> underWay;
        size_t most = 0;
        std::string starting;  // host whose command's lines come next
        for (const std::string& line : testutil::lines(text)) {
            // A framed command may take several lines, through its end marker.
            if (!starting.empty() && contains(line, " -u -;")) underWay.insert(starting);
            most = std::max(most, underWay.size());
            if (contains(line, " -u -;") || contains(line, "END_OF_STREAM")) starting.clear();
            for (const std::string& name : names_) {
                if (contains(line, "executing following command #") &&
                    contains(line, " on " + name + ":"))
                    starting = name;
                if (contains(line, "Command on host " + name + " finished.")) underWay.erase(name);
            }
        }
        return most;
    }

    // Every line of text that names a host with its tag names that host
    // only: lines of two hosts never mix. Returns how many were tagged.
    size_t expectTaggedLinesWhole(const std::string& text, const std::string& what) const {
        size_t tagged = 0;
        for (const std::string& line : testutil::lines(text)) {
            for (const std::string& name : names_) {
                if (line.rfind(name + ": ", 0) != 0) continue;
                ++tagged;
                const std::string rest = line.substr(name.size() + 2);
                for (const std::string& other : names_)
                    if (other != name) {
                        EXPECT_FALSE(contains(rest, other + ": ")) << what << ": " << line;
                        EXPECT_FALSE(contains(rest, " on " + other + ":")) << what << ": " << line;
                        EXPECT_FALSE(contains(rest, "--> " + other)) << what << ": " << line;
                    }
            }
        }
        return tagged;
    }

    // How often the image of the first type was read and sent.
    size_t timesSent() const { return count(log(), "Sending file " + medium_ + "/FILE1.PKT\n"); }

    const std::string root_ = madeDir(work_.file("host"));
    std::vector<std::string> names_;
    std::vector<std::unique_ptr<testutil::SshdPeer>> peers_;
    std::string ssh_;
    int hostCount_ = 0;
};

// Pushes one by one take a while per host: two hosts show the same.
class FewHostInstall : public ManyHostInstall {
  protected:
    void SetUp() override {
        InstallOntoHost::SetUp();
        if (IsSkipped()) return;
        startHosts(2);
    }
};

TEST_F(ManyHostInstall, MergedPushesReadEachImageOnceAndReachEveryHost) {
    std::vector<size_t> sessions;
    for (const auto& peer : peers_) sessions.push_back(testutil::acceptedLogins(*peer));
    testutil::RunResult r = installAll(true);
    // Every command to a host went through one login.
    for (size_t i = 0; i < peers_.size(); ++i)
        EXPECT_EQ(testutil::acceptedLogins(*peers_[i]) - sessions[i], 1u) << names_[i] << "\n"
                                                                          << peers_[i]->log();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(contains(r.out, "problems were encountered")) << r.out;
    for (int i = 1; i < hostCount_; ++i)
        EXPECT_TRUE(contains(
            r.out, "         " + std::to_string(hostCount_ - 1) + ":" + names_[size_t(i)] + "\n"))
            << r.out;
    EXPECT_EQ(timesSent(), 1u) << linesWith(log(), "Sending file");
    // One summary line per host after the report.
    for (int i = 0; i < hostCount_; ++i)
        EXPECT_TRUE(contains(r.out, " " + names_[size_t(i)] + ": " + (i ? "5" : "6") +
                                        " pushed, 0 already installed, 0 inherited, 0 failed\n"))
            << r.out;
    std::string all;
    for (const std::string& name : names_) all += (all.empty() ? "" : ", ") + name;
    EXPECT_TRUE(contains(log(), " (executing parallel distribution to: " + all + ")"))
        << linesWith(log(), "parallel");
    for (int i = 0; i < hostCount_; ++i) expectInstalledOn(i);
    std::vector<int> every;
    for (int i = 0; i < hostCount_; ++i) every.push_back(i);
    expectRecordedOnServer(every);

    r = installAll(true);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& name : names_)
        EXPECT_TRUE(
            contains(r.out, "   " + name + " already has the BIN installed (from " + name + ").\n"))
            << r.out;
    EXPECT_FALSE(contains(r.out, "need to copy")) << r.out;
}

// Separate pushes with the hosts side by side: pushes of several hosts are
// under way at once, each host's lines are whole and tagged, every host is
// installed through one login.
TEST_F(ManyHostInstall, HostsSideBySidePushAtOnceInWholeTaggedLines) {
    std::vector<size_t> sessions;
    for (const auto& peer : peers_) sessions.push_back(testutil::acceptedLogins(*peer));
    testutil::RunResult r = installAll(false);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (size_t i = 0; i < peers_.size(); ++i)
        EXPECT_EQ(testutil::acceptedLogins(*peers_[i]) - sessions[i], 1u) << names_[i];
    EXPECT_EQ(timesSent(), size_t(hostCount_)) << linesWith(log(), "Sending file");
    EXPECT_FALSE(contains(log(), "parallel distribution"));
    const size_t most = mostPushesAtOnce();
    std::cout << "pushes under way at once, at most: " << most << std::endl;
    EXPECT_GE(most, 2u) << linesWith(log(), " -u -;");
    EXPECT_LE(most, size_t(hostCount_));
    EXPECT_GT(expectTaggedLinesWhole(log(), "log"), 0u);
    EXPECT_GT(expectTaggedLinesWhole(r.err, "status"), 0u) << r.err;
    for (int i = 0; i < hostCount_; ++i) {
        const std::string& name = names_[size_t(i)];
        EXPECT_TRUE(contains(r.err, "\n" + name + ": BIN:") &&
                    contains(r.err, " --> " + name + "\n"))
            << r.err;
        EXPECT_TRUE(contains(r.out, " " + name + ": " + (i ? "5" : "6") +
                                        " pushed, 0 already installed, 0 inherited, 0 failed\n"))
            << r.out;
        expectInstalledOn(i);
    }
    std::vector<int> every;
    for (int i = 0; i < hostCount_; ++i) every.push_back(i);
    expectRecordedOnServer(every);
}

// With the limit at one the hosts go one after the other, as before, and
// nothing is tagged.
TEST_F(FewHostInstall, OneHostAtATimeWithTheLimitAtOne) {
    testutil::RunResult r = installAll(false, {"@HostLimit@=1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(log(), "Hosts worked on at once: 1."));
    EXPECT_EQ(timesSent(), size_t(hostCount_)) << linesWith(log(), "Sending file");
    EXPECT_EQ(mostPushesAtOnce(), 1u) << linesWith(log(), " -u -;");
    EXPECT_EQ(expectTaggedLinesWhole(log(), "log"), 0u);
    EXPECT_EQ(expectTaggedLinesWhole(r.err, "status"), 0u);
    for (int i = 0; i < hostCount_; ++i) expectInstalledOn(i);
}

TEST_F(ManyHostInstall, HostLostDuringTheRunFailsAlone) {
    const int lost = 4;
    // Its server goes, with every session, while the first merged push runs.
    const std::string watched = work_.file("debug" + std::to_string(runs_ + 1) + ".log");
    std::thread stopper([this, watched] {
        for (int n = 0; n < 2400; ++n) {
            if (contains(testutil::readFile(watched), " (executing parallel distribution to: "))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        peers_[lost].reset();
    });
    testutil::RunResult r = installAll(true);
    stopper.join();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const size_t from = r.out.rfind("problems were encountered");
    ASSERT_NE(from, std::string::npos) << r.out;
    const std::string report = r.out.substr(from);
    EXPECT_TRUE(contains(report, " Host " + names_[lost] + ":")) << r.out;
    EXPECT_TRUE(contains(r.out.substr(from), " " + names_[lost] + ": ")) << r.out;
    EXPECT_TRUE(contains(r.out, " failed (host failed)\n")) << r.out;
    std::vector<int> others;
    for (int i = 0; i < hostCount_; ++i) {
        if (i == lost) continue;
        EXPECT_FALSE(contains(report, " Host " + names_[size_t(i)] + ":")) << r.out;
        expectInstalledOn(i);
        others.push_back(i);
    }
    expectRecordedOnServer(others);
}

}  // namespace
