// The command-line installer end to end on the sample medium against this
// machine: it scouts the install locations through the local shell and
// prints what it would do, and what is wrong, before asking to continue.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

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
                               const std::vector<std::string>& words, const std::string& answer) {
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("-a");
        argv.push_back(hostName());
        argv.insert(argv.end(), words.begin(), words.end());
        return testutil::run(argv, answer, {"QUILLSET_DEBUG_LOG=" + log_}, 120);
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
    EXPECT_EQ(r.status, 0) << r.err;
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
    // Scouting created the missing locations; "n" installed nothing.
    EXPECT_TRUE(exists(at("bin")));
    EXPECT_FALSE(exists(at("bin/bin/qsstat")));
    EXPECT_FALSE(exists(at("plain/db")));
}

TEST_F(CliOnSample, MissingLocationsAreReportedWhenCreatingIsOff) {
    ASSERT_EQ(mkdir(at("bin").c_str(), 0755), 0);
    testutil::RunResult r =
        install({"CreatePaths=0", "BIN=" + at("bin"), "MAN=" + at("man"), "CAT=" + at("cat")});
    EXPECT_EQ(r.status, 0) << r.err;
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
    ASSERT_EQ(testutil::run({"cp", "-R", kMedium + "/.", medium.path()}).status, 0);
    const std::string image = medium.file(kLastImage);
    struct stat st {};
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    ASSERT_EQ(truncate(image.c_str(), st.st_size / 2), 0);

    testutil::RunResult r = installAll(medium.path());
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string host = hostName();
    const SampleType& damaged = lastPushed();
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
