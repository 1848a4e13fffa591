// The command-line installer end to end on the sample medium against this
// machine: it scouts the install locations through the local shell and
// prints what it would do, and what is wrong, before asking to continue.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "model/config_data.h"
#include "tests/test_util.h"

namespace {

const std::string kCli = QS_BUILD_DIR "/quillset_cli";
const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kFpack = QS_BUILD_DIR "/fpack/fpack";
const std::string kPayload = QS_SOURCE_DIR "/sample/payload";

std::string hostName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// One run under a fresh root, where each install type of the sample gets
// its own directory; the answer to the prompt is "n".
class CliOnSample : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "scouting installs as root";
        log_ = root_.file("debug.log");
    }
    // Unpacks image n of the medium into dir, as an earlier install did.
    void preinstall(const std::string& dir, int n) {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        testutil::RunResult r =
            testutil::run({"sh", "-c", "cd \"$1\" && \"$2\" -u - < \"$3\"", "sh", dir, kFpack,
                           kMedium + "/FILE" + std::to_string(n) + ".PKT"});
        ASSERT_TRUE(r.status == 0 || r.status == 2) << r.err;
    }
    // Plans the installation and answers "n".
    testutil::RunResult install(const std::vector<std::string>& words) {
        return runCli({"-c", kMedium}, words, "n\n");
    }
    // Plans and executes the installation from medium without asking.
    testutil::RunResult installYes(const std::vector<std::string>& words,
                                   const std::string& medium = kMedium) {
        return runCli({"-y", "-c", medium}, words, "");
    }
    testutil::RunResult runCli(const std::vector<std::string>& options,
                               const std::vector<std::string>& words, const std::string& answer,
                               std::vector<std::string> env = {},
                               const testutil::SignalWhen& signal = {}) {
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("-a");
        argv.push_back(hostName());
        argv.insert(argv.end(), words.begin(), words.end());
        env.push_back("QUILLSET_DEBUG_LOG=" + log_);
        return testutil::run(argv, answer, env, 120, signal);
    }
    // A copy of the sample medium whose image file is cut in half.
    std::string damagedMedium(const testutil::TempDir& medium, const std::string& image) {
        EXPECT_EQ(testutil::run({"cp", "-R", kMedium + "/.", medium.path()}).status, 0);
        struct stat st {};
        EXPECT_EQ(stat(medium.file(image).c_str(), &st), 0);
        EXPECT_EQ(truncate(medium.file(image).c_str(), st.st_size / 2), 0);
        return medium.path();
    }
    std::string at(const std::string& name) const { return root_.file(name); }
    std::string log() const { return testutil::readFile(log_); }

    testutil::TempDir root_;
    std::string log_;
};

TEST_F(CliOnSample, PushesMissingTypesKeepsInstalledOnesAndReportsReadOnlyPaths) {
    preinstall(at("lib"), 2);
    // A location below a plain file can never be created.
    root_.write("plain", "not a directory\n");
    testutil::RunResult r =
        install({"BIN=" + at("bin"), "LIB=" + at("lib"), "ZPIDB=" + at("plain/db"),
                 "MAN=" + at("man"), "APPD=" + at("appd"), "CAT=" + at("cat")});
    // The answer "n" does not make the read-only path a success.
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string host = hostName();
    const std::string failures = "The following problems were encountered:\n Host " + host +
                                 ":\n  The path `" + at("plain/db") + "' is read only.\n";
    const std::string toDo =
        "Unless you cancel, the following operations will be executed:\n"
        "   " +
        host +
        " already has the LIB installed.\n"
        "   need to copy the MAN (generic) to:\n"
        "         " +
        host + ":" + at("man") +
        "\n"
        "   need to copy the APPD (generic) to:\n"
        "         " +
        host + ":" + at("appd") +
        "\n"
        "   need to copy the CAT (generic) to:\n"
        "         " +
        host + ":" + at("cat") +
        "\n"
        "   need to copy the BIN (linux-ix86) to:\n"
        "         " +
        host + ":" + at("bin") + "\n";
    EXPECT_NE(r.out.find(failures), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(toDo + "Continue(y/n)? "), std::string::npos) << r.out;
    // The list goes to the debug log as well.
    EXPECT_NE(log().find(toDo), std::string::npos) << log();
    // "n" installed nothing, and the locations scouting made are gone again;
    // the one that was there before stays.
    for (const char* made : {"bin", "man", "appd", "cat"}) EXPECT_FALSE(exists(at(made))) << made;
    EXPECT_TRUE(exists(at("lib/qslib.sh")));
    EXPECT_FALSE(exists(at("plain/db")));
}

TEST_F(CliOnSample, MissingLocationsAreReportedWhenCreatingIsOff) {
    ASSERT_EQ(mkdir(at("bin").c_str(), 0755), 0);
    testutil::RunResult r =
        install({"CreatePaths=0", "BIN=" + at("bin"), "MAN=" + at("man"), "CAT=" + at("cat")});
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string host = hostName();
    // One failure lists every missing directory; the existing one is pushed.
    EXPECT_NE(r.out.find(" Host " + host +
                         ":\n  The following directories do not exist:\n"
                         "   (select ``create if missing'' option to override)\n"
                         "    " +
                         at("man") + "\n    " + at("cat") + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Unless you cancel, the following operations will be executed:\n"
                         "   need to copy the BIN (linux-ix86) to:\n"
                         "         " +
                         host + ":" + at("bin") + "\nContinue(y/n)? "),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(exists(at("man")));
    EXPECT_FALSE(exists(at("cat")));
}

TEST_F(CliOnSample, TypesWhoseMarkerIsPresentAreNotPushedAgain) {
    // Every location holds its package. The catalogue's package names no
    // marker file of its own, and unpacking alone does not write the default
    // marker (a push does), so only that type is pushed again.
    const char* dirs[] = {"bin", "lib", "db", "man", "appd", "cat"};
    for (int n = 1; n <= 6; ++n) preinstall(at(dirs[n - 1]), n);
    testutil::RunResult r = install({"BIN=" + at("bin"), "LIB=" + at("lib"), "ZPIDB=" + at("db"),
                                     "MAN=" + at("man"), "APPD=" + at("appd"), "CAT=" + at("cat")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string host = hostName();
    EXPECT_EQ(r.out.find("problems were encountered"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Unless you cancel, the following operations will be executed:\n"
                         "   " +
                         host +
                         " already has the LIB installed.\n"
                         "   " +
                         host +
                         " already has the ZPIDB installed.\n"
                         "   " +
                         host +
                         " already has the MAN installed.\n"
                         "   " +
                         host +
                         " already has the APPD installed.\n"
                         "   need to copy the CAT (generic) to:\n"
                         "         " +
                         host + ":" + at("cat") +
                         "\n"
                         "   " +
                         host +
                         " already has the BIN installed.\n"
                         "Continue(y/n)? "),
              std::string::npos)
        << r.out;
}

// ---- execution -------------------------------------------------------------

// Each install type of the sample, its directory under the test root, and
// one file its package installs there with the payload file it comes from.
struct SampleType {
    const char* id;
    const char* dir;
    const char* installed;
    const char* source;
};
const SampleType kTypes[] = {
    {"BIN", "bin", "bin/objcall", "bin/objcall"},
    {"LIB", "lib", "qslib.sh", "lib/qslib.sh"},
    {"ZPIDB", "db", "qrx.conf", "db/qrx.conf"},
    {"MAN", "man", "man1/qsstat.1", "man/qsstat.1"},
    {"APPD", "appd", "QuillStatus", "appd/QuillStatus"},
    {"CAT", "cat", "qsstat.msg", "msg/qsstat.msg"},
};
// The type whose package the execution pushes last, and its image.
const SampleType& lastPushed() {
    return kTypes[5];
}
const char kLastImage[] = "FILE6.PKT";

// One recorded location: { "host" "paths" "type" "hostType" "description" "note" }.
struct Location {
    std::string host, paths, hostType, description, note;
};

// The records of a locations text ("{ count { ... } ... }"), by type.
std::map<std::string, Location> locationsByType(const std::string& text) {
    static const std::regex record(
        R"re(\{ "([^"]*)" "([^"]*)" "([^"]*)" "([^"]*)" "([^"]*)" "([^"]*)" \})re");
    std::map<std::string, Location> byType;
    for (std::sregex_iterator m(text.begin(), text.end(), record), end; m != end; ++m)
        byType[(*m)[3]] = {(*m)[1], (*m)[2], (*m)[4], (*m)[5], (*m)[6]};
    return byType;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// Runs with -y, every type in its own directory under the root.
class CliExecutes : public CliOnSample {
  protected:
    testutil::RunResult installAll(const std::string& medium = kMedium) {
        std::vector<std::string> words;
        for (const SampleType& t : kTypes) words.push_back(std::string(t.id) + "=" + at(t.dir));
        return installYes(words, medium);
    }
    std::string probe(const SampleType& t) const {
        return at(std::string(t.dir) + "/.installed/QRX_" + t.id);
    }
    // What the installed object-call stand-in keeps for the database.
    testutil::RunResult objcall(const std::vector<std::string>& args,
                                const std::string& dbd) const {
        std::vector<std::string> argv = {at("bin/bin/objcall")};
        argv.insert(argv.end(), args.begin(), args.end());
        return testutil::run(argv, "", {"DBD=" + dbd});
    }
    std::string object(const char* cls) const {
        return firstLine(testutil::run({at("bin/bin/objlookup"), cls}).out);
    }
    std::string attribute(const std::string& obj, const std::string& name) const {
        testutil::RunResult r = objcall({obj, "_get_" + name}, at("db"));
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        return r.out;
    }
    // The installation's recorded locations, checked against one note.
    void expectLocations(const std::string& note) const {
        const std::string locations = attribute(object("Installation"), "locations");
        EXPECT_EQ(locations.rfind("{ 6 {", 0), 0u) << locations;
        std::map<std::string, Location> recorded = locationsByType(locations);
        EXPECT_EQ(recorded.size(), sizeof kTypes / sizeof kTypes[0]) << locations;
        for (const SampleType& t : kTypes) {
            SCOPED_TRACE(t.id);
            const Location& l = recorded[t.id];
            EXPECT_EQ(l.host, hostName());
            EXPECT_EQ(l.paths, at(t.dir) + " ");
            EXPECT_EQ(l.hostType, "linux-ix86");
            EXPECT_EQ(l.note, note);
        }
    }
};

TEST_F(CliExecutes, PushesEveryTypeRecordsItAndFindsItInstalledNextTime) {
    testutil::RunResult r = installAll();
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string host = hostName();
    EXPECT_EQ(r.out.find("problems were encountered"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("(with errors)"), std::string::npos) << r.out;
    for (const SampleType& t : kTypes) {
        SCOPED_TRACE(t.id);
        const std::string installed = at(t.dir) + "/" + t.installed;
        EXPECT_EQ(testutil::readFile(installed), testutil::readFile(kPayload + "/" + t.source))
            << installed;
        EXPECT_EQ(testutil::readFile(probe(t)), "PUSHED:" + host + ":" + t.id + "\n");
    }
    // The medium lies on the target: the engine opens the image itself.
    EXPECT_NE(log().find("optimized.  Remote media is same as push target."), std::string::npos)
        << log();

    // The recording script ran the stand-ins the BIN package brought.
    const std::string io = object("Installation");
    ASSERT_FALSE(io.empty());
    expectLocations("installed");
    EXPECT_EQ(attribute(io, "revision"), "\"1.2.0\"\n");
    EXPECT_NE(attribute(io, "catalog").find("QRX:revision:1.2.0\n"), std::string::npos);
    EXPECT_NE(attribute(object("NameRegistry"), "set_values")
                  .find("\"distinguished\" { 1 { " + io + " \"Installation\""),
              std::string::npos);

    // A second run finds every type in place, pushed from this host, and
    // pushes nothing: a local change to an installed file survives it.
    root_.write("lib/qslib.sh", "edited\n");
    r = installAll();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("need to copy"), std::string::npos) << r.out;
    for (const SampleType& t : kTypes)
        EXPECT_NE(r.out.find("   " + host + " already has the " + t.id + " installed (from " +
                             host + ").\n"),
                  std::string::npos)
            << t.id << " in\n"
            << r.out;
    EXPECT_EQ(testutil::readFile(at("lib/qslib.sh")), "edited\n");
    // Each type is found through the probe file its push left.
    expectLocations("fowner " + host);
}

TEST_F(CliExecutes, DamagedImageFailsItsOwnPushOnly) {
    testutil::TempDir medium;
    testutil::RunResult r = installAll(damagedMedium(medium, kLastImage));
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string host = hostName();
    const SampleType& damaged = lastPushed();
    // The record holds what was installed, and says it is not all.
    EXPECT_NE(r.err.find("Registering installation information...Finished, except for the parts "
                         "named in the failure report.\n"),
              std::string::npos)
        << r.err;
    // No problem was known when planning: the report follows the to-do
    // list and names the failed push with the engine's own words.
    const size_t report =
        r.out.find("The following problems were encountered:\n Host " + host + ":\n");
    ASSERT_NE(report, std::string::npos) << r.out;
    EXPECT_GT(report, r.out.find("Unless you cancel")) << r.out;
    EXPECT_NE(r.out.find(host + ":" + at(damaged.dir) + "\n Completed (with errors).\n", report),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("FATAL.\n", report), std::string::npos) << r.out;
    EXPECT_FALSE(exists(probe(damaged)));
    EXPECT_EQ(log().find("registering location(" + host + "," + at(damaged.dir) + " ," +
                         damaged.id + ","),
              std::string::npos)
        << log();
    // The pushes before it went through.
    for (const SampleType& t : kTypes) {
        if (&t == &damaged) continue;
        EXPECT_EQ(testutil::readFile(probe(t)), "PUSHED:" + host + ":" + t.id + "\n") << t.id;
    }
}

// ---- faults of earlier versions -------------------------------------------

// The engine opens each image after changing into the install location, so
// a medium named relative to the installer's working directory must still
// be found there.
TEST_F(CliExecutes, RelativeMediumPathInstallsEverything) {
    std::vector<std::string> argv = {"sh",
                                     "-c",
                                     "cd \"$0\" && exec \"$@\"",
                                     QS_BUILD_DIR,
                                     kCli,
                                     "-y",
                                     "-c",
                                     "sample/medium",
                                     "-a",
                                     hostName()};
    for (const SampleType& t : kTypes) argv.push_back(std::string(t.id) + "=" + at(t.dir));
    testutil::RunResult r = testutil::run(argv, "", {"QUILLSET_DEBUG_LOG=" + log_}, 120);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("problems were encountered"), std::string::npos) << r.out;
    for (const SampleType& t : kTypes)
        EXPECT_EQ(testutil::readFile(at(std::string(t.dir) + "/" + t.installed)),
                  testutil::readFile(kPayload + "/" + t.source))
            << t.id;
}

// A push that fails takes its host out of the run: each operation the host
// then did not get is named in the report, and none of them is recorded.
TEST_F(CliExecutes, OperationsSkippedAfterAFailedPushAreNamed) {
    testutil::TempDir medium;
    // BIN is pushed first; every other type of the host is left undone.
    testutil::RunResult r = installAll(damagedMedium(medium, "FILE1.PKT"));
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string host = hostName();
    const size_t skipped = r.out.find("  Not done because of the failure above:\n");
    ASSERT_NE(skipped, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("  Not done because", skipped + 1), std::string::npos) << r.out;
    EXPECT_LT(r.out.find("need to copy the architecture specific linux-ix86 to\n         " + host +
                         ":" + at("bin")),
              skipped)
        << r.out;
    for (const SampleType& t : kTypes) {
        if (std::string(t.id) == "BIN") continue;
        EXPECT_NE(r.out.find("    need to copy the machine independent generic to\n         " +
                                 host + ":" + at(t.dir) + "\n",
                             skipped),
                  std::string::npos)
            << t.id << " in\n"
            << r.out;
        EXPECT_FALSE(exists(probe(t))) << t.id;
    }
    EXPECT_EQ(log().find("registering location("), std::string::npos) << log();
    EXPECT_EQ(r.err.find("Finished.\n"), std::string::npos) << r.err;
}

// Free space beyond 2 TiB (more than 2^31 kilobytes) is plenty, not negative.
TEST_F(CliOnSample, LocationOnAThreeTebibyteFileSystemGetsItsPushes) {
    if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "needs unshare";
    ASSERT_EQ(mkdir(at("big").c_str(), 0755), 0);
    // The file system exists only in the run's own mount namespace and
    // goes with it, whatever happens to the test.
    std::vector<std::string> argv = {
        "/usr/bin/unshare",
        "--mount",
        "--propagation",
        "private",
        "sh",
        "-c",
        "mount -t tmpfs -o size=3T tmpfs \"$0\" || exit 99; exec \"$@\"",
        at("big"),
        kCli,
        "-c",
        kMedium,
        "-a",
        hostName()};
    for (const SampleType& t : kTypes) argv.push_back(std::string(t.id) + "=" + at("big/") + t.dir);
    testutil::RunResult r = testutil::run(argv, "n\n", {"QUILLSET_DEBUG_LOG=" + log_}, 120);
    if (r.status == 99) GTEST_SKIP() << "cannot mount a tmpfs here: " << r.err;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("problems were encountered"), std::string::npos) << r.out;
    for (const SampleType& t : kTypes)
        EXPECT_NE(r.out.find(hostName() + ":" + at("big/") + t.dir + "\n"), std::string::npos)
            << t.id << " in\n"
            << r.out;
    std::smatch free;
    const std::string text = log();
    ASSERT_TRUE(std::regex_search(text, free, std::regex("kbytesFree=([0-9]+)")));
    EXPECT_GT(std::stoll(free[1]), 2147483647LL) << free[0];  // beyond 32 bits
}

// An index must be index text that declares install types; anything else
// on the medium ends the run before any host is touched or anything is
// recorded.
TEST_F(CliOnSample, DamagedIndexIsRejectedAndNothingIsTouched) {
    std::string noise;
    unsigned seed = 14;
    for (int i = 0; i < 4096; ++i) {
        seed = seed * 1103515245u + 12345u;
        noise += char(seed >> 16);
    }
    struct Case {
        const char* what;
        std::string index;
    } cases[] = {
        {"random bytes", noise},
        {"no install type", "QRX:description:x\nQRX:fp:BIN:linux-ix86:bin/qsstat:4:1\n"},
        {"a line that is no index line", testutil::readFile(kMedium + "/QRX.IND") + "garbage\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir medium;
        ASSERT_EQ(testutil::run({"cp", "-R", kMedium + "/.", medium.path()}).status, 0);
        medium.write("QRX.IND", c.index);
        testutil::RunResult r =
            installYes({"BIN=" + at("bin"), "ZPIDB=" + at("db")}, medium.path());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("Error: no valid index file found in cdrom directory.\n"
                              "Searched the directory " +
                                  medium.path() +
                                  ": QRX.IND: not a valid index (the debug log tells why).\n",
                              0),
                  0u)
            << r.err;
        EXPECT_FALSE(exists(at("bin")));
        EXPECT_FALSE(exists(at("db")));
        EXPECT_EQ(log().find("Storing installation attributes."), std::string::npos);
    }
}

// Exit statuses: 0 when all that was planned was done (or, with nothing
// failed, the answer was no), 1 when a host or an operation failed, 2 for
// usage and input errors.
TEST_F(CliOnSample, ExitStatusSaysWhatHappened) {
    testutil::TempDir medium;
    const std::string damaged = damagedMedium(medium, kLastImage);
    // An ssh client whose every connection is refused.
    const std::string refusing = root_.write("refusing-ssh",
                                             "#!/bin/sh\necho 'ssh: connect to host port 22: "
                                             "Connection refused' >&2\nexit 255\n");
    ASSERT_EQ(chmod(refusing.c_str(), 0755), 0);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        std::vector<std::string> env;
        int status;
    } cases[] = {
        {"done", {"-y", "-c", kMedium, "-a", hostName(), "BIN=" + at("ok")}, "", {}, 0},
        {"declined", {"-c", kMedium, "-a", hostName(), "BIN=" + at("no")}, "n\n", {}, 0},
        {"failed push", {"-y", "-c", damaged, "-a", hostName(), "CAT=" + at("cat")}, "", {}, 1},
        {"problem found, then declined",
         {"-c", kMedium, "-a", hostName(), "CreatePaths=0", "BIN=" + at("missing")},
         "n\n",
         {},
         1},
        {"unreachable host", {"-y", "-c", kMedium, "-a", "no-such-host.invalid"}, "", {}, 1},
        {"server done, another host unreachable",
         {"-y", "-c", kMedium, "-a", hostName(), "BIN=" + at("word"), "no-such-host.invalid"},
         "",
         {},
         1},
        {"refused host",
         {"-y", "-c", kMedium, "-a", "refused.invalid", "@UseSSH@=1"},
         "",
         {"SSH=" + refusing},
         1},
        {"unknown option", {"-q", "-c", kMedium}, "", {}, 2},
        {"end of input at the prompt", {"-c", kMedium, "-a", hostName()}, "", {}, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::vector<std::string> env = c.env;
        env.push_back("QUILLSET_DEBUG_LOG=" + log_);
        testutil::RunResult r = testutil::run(argv, c.input, env, 120);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
    }
    EXPECT_TRUE(exists(at("ok/bin/qsstat")));
    // A host that cannot be reached stops only itself.
    EXPECT_TRUE(exists(at("word/bin/qsstat")));
}

// ssh is told never to wait for an answer, and what it says when it gives
// up reaches the report, once: a host is logged into once per run.
TEST_F(CliOnSample, SshThatRefusesTheHostKeyFailsThatHostWithItsOwnWords) {
    const std::string calls = root_.file("calls");
    const std::string ssh =
        root_.write("ssh", "#!/bin/sh\necho \"$*\" >> " + calls +
                               "\necho 'Host key verification failed.' >&2\nexit 255\n");
    ASSERT_EQ(chmod(ssh.c_str(), 0755), 0);
    testutil::RunResult r =
        testutil::run({kCli, "-y", "-c", kMedium, "-a", "keyless.invalid", "@UseSSH@=1"}, "",
                      {"SSH=" + ssh, "QUILLSET_DEBUG_LOG=" + log_}, 120);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(" Host keyless.invalid:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ssh: Host key verification failed."), std::string::npos) << r.out;
    const std::string called = testutil::readFile(calls);
    EXPECT_EQ(std::count(called.begin(), called.end(), '\n'), 1) << called;
    EXPECT_NE(called.find("-o BatchMode=yes"), std::string::npos) << called;
    EXPECT_NE(called.find("-o ConnectTimeout="), std::string::npos) << called;
    EXPECT_NE(called.find(" -M "), std::string::npos) << called;
}

// Whatever the check phase made on the host goes again when the run does
// not go on, and nothing that was there before it ran.
TEST_F(CliOnSample, DeclinedOrInterruptedRunLeavesNothingBehind) {
    struct Case {
        const char* what;
        std::string answer;
        int signal;
    } cases[] = {
        {"answer n", "n\n", 0},
        {"SIGINT", "", SIGINT},
        {"SIGTERM", "", SIGTERM},
        {"SIGHUP", "", SIGHUP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir root;
        // An empty directory and a location with a file were there before.
        ASSERT_EQ(mkdir(root.file("empty").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(root.file("lib").c_str(), 0755), 0);
        root.write("lib/mine", "kept\n");
        testutil::RunResult r =
            runCli({"-c", kMedium},
                   {"BIN=" + root.file("empty/deep/er/bin"), "LIB=" + root.file("lib"),
                    "MAN=" + root.file("man"), "CAT=" + root.file("my dir/cat")},
                   c.answer, {}, testutil::SignalWhen{"Continue(y/n)? ", c.signal});
        EXPECT_EQ(r.status, c.signal ? 128 + c.signal : 0) << r.out << r.err;
        EXPECT_NE(r.out.find("need to copy the LIB (generic) to:"), std::string::npos) << r.out;
        EXPECT_NE(log().find("Exiting goodbye"), std::string::npos);
        // Just what was there before: no directory, no claim file.
        testutil::RunResult left = testutil::run({"find", root.path()});
        EXPECT_EQ(left.out, root.path() + "\n" + root.file("empty") + "\n" + root.file("lib") +
                                "\n" + root.file("lib/mine") + "\n")
            << left.out;
        EXPECT_EQ(testutil::readFile(root.file("lib/mine")), "kept\n");
    }
}

// A signal while the list is carried out: what is left undone stays undone,
// the clean-up runs, and the run ends by that signal. Each location then
// holds its package, or is gone with its claim file.
TEST_F(CliExecutes, SignalDuringExecutionStopsAndCleansUp) {
    std::vector<std::string> words;
    for (const SampleType& t : kTypes) words.push_back(std::string(t.id) + "=" + at(t.dir));
    testutil::RunResult r =
        runCli({"-y", "-c", kMedium}, words, "", {},
               testutil::SignalWhen{"need to copy the BIN (linux-ix86) to:", SIGTERM});
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.out << r.err;
    EXPECT_NE(log().find("Exiting goodbye"), std::string::npos);
    for (const SampleType& t : kTypes) {
        SCOPED_TRACE(t.id);
        EXPECT_FALSE(exists(at(t.dir) + "/QRX_" + t.id));
        EXPECT_EQ(exists(at(t.dir)), exists(probe(t)));
    }
    EXPECT_EQ(log().find("Storing installation attributes."), std::string::npos);
}

// A claim file naming this host is left by a run that never pushed: it is
// no installation, and a host never inherits a type from itself.
TEST_F(CliOnSample, StaleClaimOfThisHostIsNoInstallation) {
    if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "needs unshare";
    ASSERT_EQ(mkdir(at("lib").c_str(), 0755), 0);
    root_.write("lib/QRX_LIB", "GETFROM:" + hostName() + "\n");
    // The location is read-only for this run only (a bind mount in the
    // run's own mount namespace).
    std::vector<std::string> argv = {
        "/usr/bin/unshare",
        "--mount",
        "--propagation",
        "private",
        "sh",
        "-c",
        "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" || exit 99; exec \"$@\"",
        at("lib"),
        kCli,
        "-c",
        kMedium,
        "-a",
        hostName(),
        "LIB=" + at("lib")};
    testutil::RunResult r = testutil::run(argv, "n\n", {"QUILLSET_DEBUG_LOG=" + log_}, 120);
    if (r.status == 99) GTEST_SKIP() << "cannot bind-mount here: " << r.err;
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.out.find("will inherit"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  The path `" + at("lib") + "' is read only.\n"), std::string::npos)
        << r.out;
}

// Words of the command line: a type name the index lacks is said, with the
// names it has; a blank in a path is part of the path all the way to the
// files on the host.
TEST_F(CliOnSample, MisspeltTypeWordIsReportedWithTheKnownTypes) {
    testutil::RunResult r = install({"BNI=" + at("bin"), "BIN=" + at("bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "Warning: `BNI' is not an install type of the index; `BNI=" + at("bin") +
                  "' is ignored.  Known types: BIN, LIB, ZPIDB, MAN, APPD, CAT, ZPI_NAME, RN, "
                  "CreatePaths.\n");
    EXPECT_NE(r.out.find("need to copy the BIN (linux-ix86) to:\n         " + hostName() + ":" +
                         at("bin") + "\n"),
              std::string::npos)
        << r.out;
}

TEST_F(CliExecutes, PathWithABlankIsOnePathOnTheHost) {
    std::vector<std::string> words;
    for (const SampleType& t : kTypes)
        words.push_back(std::string(t.id) + "=" + at("my dir/") + t.dir);
    testutil::RunResult r = installYes(words);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const SampleType& t : kTypes) {
        SCOPED_TRACE(t.id);
        const std::string dir = at("my dir/") + t.dir;
        EXPECT_EQ(testutil::readFile(dir + "/" + t.installed),
                  testutil::readFile(kPayload + "/" + t.source));
        EXPECT_EQ(testutil::readFile(dir + "/.installed/QRX_" + t.id),
                  "PUSHED:" + hostName() + ":" + t.id + "\n");
        EXPECT_FALSE(exists(dir + "/QRX_" + t.id));  // the claim is gone
    }
    EXPECT_FALSE(exists(at("my")));
}

// A configuration file written with CRLF line ends is the same file.
TEST_F(CliExecutes, VariableFileWithCrlfLineEndsIsReadAsLf) {
    std::string crlf;
    for (char** part = config_data; *part; ++part)
        for (const char* p = *part; *p; ++p)
            crlf += *p == '\n' ? std::string("\r\n") : std::string(1, *p);
    const std::string file = root_.write("variables", crlf);
    std::vector<std::string> words;
    for (const SampleType& t : kTypes) words.push_back(std::string(t.id) + "=" + at(t.dir));
    testutil::RunResult r = runCli({"-y", "-z", file, "-c", kMedium}, words, "");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const SampleType& t : kTypes)
        EXPECT_EQ(testutil::readFile(probe(t)), "PUSHED:" + hostName() + ":" + t.id + "\n") << t.id;
}

// A value that names itself twice doubles with every pass of the
// translation: it stops at a bounded length, as a failure of the host.
TEST_F(CliOnSample, RunawayTranslationStopsAndFails) {
    testutil::TempDir crafted;
    ASSERT_EQ(testutil::run({"cp", "-R", kMedium + "/.", crafted.path()}).status, 0);
    std::string index = testutil::readFile(kMedium + "/QRX.IND");
    const std::string line =
        "QRX:id:BIN:Binaries directory:server::choices=/usr/local/quillset,/opt/quillset\n";
    ASSERT_NE(index.find(line), std::string::npos);
    index.replace(index.find(line), line.size(),
                  "QRX:id:BIN:Binaries directory:server::default=/x@BIN@@BIN@\n");
    crafted.write("QRX.IND", index);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* name;
    } cases[] = {
        {"configuration",
         {"-c", kMedium, "-Z", "generic A\n@A@@A@\n%%\n", "-a", hostName(), "BIN=" + at("@A@")},
         "A"},
        {"index", {"-d", "-c", crafted.path(), "-a", hostName()}, "BIN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string command = "\"$0\" \"$@\"";
#ifndef __SANITIZE_ADDRESS__
        // A gigabyte would do for the run; the runaway text wants far more.
        command = "ulimit -v 1048576; exec " + command;
#endif
        std::vector<std::string> argv = {"sh", "-c", command, kCli};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testutil::RunResult r = testutil::run(argv, "n\n", {"QUILLSET_DEBUG_LOG=" + log_}, 120);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.out.find(std::string("  The configuration value `") + c.name +
                             "' grows without bound when translated; its translation was "
                             "stopped.\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(log().find("Configuration translate ridiculous looping."), std::string::npos);
    }
}

// The object-call stand-in keeps attributes only as files below DBD.
TEST(ObjectCallStandIn, RefusesCallsThatWouldStoreOutsideTheDatabase) {
    testutil::TempDir db;
    const std::string objcall = kPayload + "/bin/objcall";
    struct Case {
        std::vector<std::string> args;
        std::string dbd;
        int status;
        std::string err;
    } cases[] = {
        {{"1.1.101", "_get_revision"},
         "",
         1,
         "objcall: DBD is not set; it names the server database directory\n"},
        {{"..", "_set_revision", "x"}, db.path(), 1, "objcall: bad object name `..'\n"},
        {{"a/b", "_set_revision", "x"}, db.path(), 1, "objcall: bad object name `a/b'\n"},
        {{"1.1.101", "_set_../x", "x"}, db.path(), 1, "objcall: bad operation `_set_../x'\n"},
        {{"1.1.101", "_get_revision"},
         db.path(),
         1,
         "objcall: 1.1.101 has no attribute revision\n"},
        {{"1.1.101"}, db.path(), 2, "objcall: usage: objcall OBJECT OPERATION [VALUE]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        std::vector<std::string> argv = {objcall};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testutil::RunResult r = testutil::run(argv, "", {"DBD=" + c.dbd});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    // Nothing was stored by the refused calls.
    EXPECT_FALSE(exists(db.file(".objects")));
}

}  // namespace
