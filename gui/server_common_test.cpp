#include "gui/server_common.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "model/Catalog.h"
#include "tests/test_util.h"

namespace {

// A text widget stand-in: what the user typed, and what was last shown.
class FakeText : public TextView {
  public:
    explicit FakeText(std::string typed) : typed_(std::move(typed)) {}
    std::string text() const override { return typed_; }
    void show(const std::string& value) override { typed_ = value; }

  private:
    std::string typed_;
};

class FakeMenu : public MenuView {
  public:
    explicit FakeMenu(int* shown) : shown_(shown) {}
    void show(int choice) override { *shown_ = choice; }

  private:
    int* shown_;
};

class FakeToggle : public ToggleView {
  public:
    explicit FakeToggle(int* shown) : shown_(shown) {}
    void show(int state) override { *shown_ = state; }

  private:
    int* shown_;
};

// Reads the options as the front end's start-up does.
struct Options {
    explicit Options(std::vector<std::string> words) : args({"quillset"}) {
        args.insert(args.end(), words.begin(), words.end());
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        readFieldOptions(int(args.size()), argv.data(), lists, statusFile);
    }
    std::vector<std::string> args;
    std::vector<char*> argv;
    FieldLists lists;
    std::string statusFile = kDefaultStatusFileName;
};

TEST(FieldOptions, ValuesWithSeparatorsAreOptionMenus) {
    struct Case {
        const char* arg;
        std::vector<std::string> choices;
        int choice;
    } cases[] = {
        {"X:Pick:a(SeP)b(SeP)c", {"a", "b", "c"}, 0},
        {"X:Pick:a(SeP)b(SeP)c:2", {"a", "b", "c"}, 2},
        {"X:Pick:a(SeP)b(SeP)c:1:", {"a", "b", "c"}, 1},
        {"X:Pick:/usr/local/q(SeP)/opt/q:0:", {"/usr/local/q", "/opt/q"}, 0},
        {"X:Pick:a(SeP)(SeP)c:junk", {"a", "", "c"}, 0},
        // A choice the menu lacks would show nothing: the first is taken.
        {"X:Pick:a(SeP)b:7", {"a", "b"}, 0},
        {"X:Pick:a(SeP)b:-1", {"a", "b"}, 0},
    };
    for (const Case& c : cases) {
        Field f = parseField(c.arg);
        EXPECT_EQ(f.kind, Field::MENU) << c.arg;
        EXPECT_EQ(f.name, "X");
        EXPECT_EQ(f.label, "Pick:");
        EXPECT_EQ(f.choices, c.choices) << c.arg;
        EXPECT_EQ(f.defaultChoice, c.choice) << c.arg;
        EXPECT_EQ(f.currentChoice, c.choice) << c.arg;
        EXPECT_EQ(f.value(), c.choices[size_t(c.choice)]) << c.arg;
    }
}

TEST(FieldOptions, OtherValuesAreTextFieldsHiddenWithNumberOne) {
    struct Case {
        const char* arg;
        const char* name;
        const char* label;
        const char* value;
        bool hidden;
    } cases[] = {
        {"IP:Installation password:x:1", "IP", "Installation password:", "x", true},
        {"IP:Installation password:x", "IP", "Installation password:", "x", false},
        {"IP:Installation password:x:0", "IP", "Installation password:", "x", false},
        {"IP:Installation password:x:2", "IP", "Installation password:", "x", false},
        {"RN:Region name:R7:", "RN", "Region name:", "R7", false},
        {"RN:Region name:R7:abc", "RN", "Region name:", "R7", false},
        {"RN:Region name:", "RN", "Region name:", "", false},
        {"RN", "RN", ":", "", false},
        {"A:B:c:1:extra:more", "A", "B:", "c", true},
    };
    for (const Case& c : cases) {
        Field f = parseField(c.arg);
        EXPECT_EQ(f.kind, Field::TEXT) << c.arg;
        EXPECT_EQ(f.name, c.name) << c.arg;
        EXPECT_EQ(f.label, c.label) << c.arg;
        EXPECT_EQ(f.defaultValue, c.value) << c.arg;
        EXPECT_EQ(f.currentValue, c.value) << c.arg;
        EXPECT_EQ(f.hidden, c.hidden) << c.arg;
        EXPECT_TRUE(f.choices.empty());
    }
}

TEST(FieldOptions, TogglesReadStateAndGroup) {
    struct Case {
        const char* arg;
        const char* label;
        int state, group;
    } cases[] = {
        {"CreatePaths:Create if missing:1:0", "Create if missing", 1, 0},
        {"CreatePaths:Create if missing:0:3", "Create if missing", 0, 3},
        {"CreatePaths:Create if missing:1", "Create if missing", 1, 0},
        {"CreatePaths:Create if missing:x:4", "Create if missing", 0, 0},
        {"CreatePaths:Create if missing", "Create if missing", 0, 0},
        {"CreatePaths:a:b:1:2", "a", 0, 0},
    };
    for (const Case& c : cases) {
        Toggle t = parseToggle(c.arg);
        EXPECT_EQ(t.name, "CreatePaths") << c.arg;
        EXPECT_EQ(t.label, c.label) << c.arg;
        EXPECT_EQ(t.state, c.state) << c.arg;
        EXPECT_EQ(t.defaultState, c.state) << c.arg;
        EXPECT_EQ(t.group, c.group) << c.arg;
    }
}

TEST(FieldOptions, OptionVectorFillsTheThreeListsInOrder) {
    Options o({"-LBIN:Binaries directory:/a(SeP)/b:1:", "-GZPI_NAME:Server name:vm:", "-d", "-f",
               "/tmp/st", "-LLIB:Libraries directory:/lib:", "-SCreatePaths:Create:1:0",
               "-GRN:Region name:R7:"});
    ASSERT_EQ(o.lists.general.size(), 2u);
    EXPECT_EQ(o.lists.general[0].name, "ZPI_NAME");
    EXPECT_EQ(o.lists.general[1].name, "RN");
    ASSERT_EQ(o.lists.locations.size(), 2u);
    EXPECT_EQ(o.lists.locations[0].value(), "/b");
    EXPECT_EQ(o.lists.locations[1].value(), "/lib");
    ASSERT_EQ(o.lists.startOptions.size(), 1u);
    EXPECT_EQ(o.lists.startOptions[0].state, 1);
    // -d takes no argument, so it does not swallow the next option.
    EXPECT_EQ(o.statusFile, "/tmp/st");
}

TEST(FieldOptions, StatusFileKeepsItsDefaultWithoutF) {
    Options o({"-GRN:Region name:R7:", "-x"});
    EXPECT_EQ(o.statusFile, "/tmp/velkar.sinstall.status");
    EXPECT_EQ(o.lists.general.size(), 1u);
}

TEST(FieldOptions, LabelWidthIsTheWidestLabelAndAtLeast29) {
    Options narrow({"-GA:short:x", "-LB:also short:y"});
    EXPECT_EQ(labelWidth(narrow.lists), 29);
    Options wide({"-GA:short:x", "-LB:" + std::string(40, 'w') + ":y"});
    EXPECT_EQ(labelWidth(wide.lists), 41);  // with its ":"
}

// The sample product's fields, some shown by widget stand-ins.
class Gathering : public ::testing::Test {
  protected:
    Gathering()
        : o({"-GZPI_NAME:Server name:vm:", "-GIP:Installation password:secret:1",
             "-LBIN:Binaries directory:/usr/q(SeP)/opt/q:0:", "-LLIB:Libraries directory:/lib:",
             "-SCreatePaths:Create if missing:1:0", "-SVerbose:Verbose:0:0"}) {
        o.lists.general[1].textView = std::make_unique<FakeText>("se$cret");
        o.lists.locations[0].menuView = std::make_unique<FakeMenu>(&menuShown);
        o.lists.locations[1].textView = std::make_unique<FakeText>("/tmp/lib");
        o.lists.startOptions[0].view = std::make_unique<FakeToggle>(&toggleShown);
    }
    Options o;
    int menuShown = -1;
    int toggleShown = -1;
};

TEST_F(Gathering, ArgumentsComeFromWidgetsChoicesAndToggles) {
    o.lists.locations[0].currentChoice = 1;
    o.lists.startOptions[1].state = 1;
    o.lists.startOptions[0].state = 0;
    const std::vector<std::string> expected = {
        "Velkar ONX Server Install", "ZPI_NAME=vm", "IP=se$cret", "BIN=/opt/q", "LIB=/tmp/lib",
        "CreatePaths=FALSE",         "Verbose=TRUE"};
    EXPECT_EQ(gatherArguments(o.lists), expected);
}

TEST_F(Gathering, DebugLogHidesTheInstallationPassword) {
    std::ostringstream log;
    logArguments(log, gatherArguments(o.lists));
    EXPECT_EQ(log.str(),
              "Args from zpi gui:\n"
              "\tVelkar ONX Server Install\n"
              "\tZPI_NAME=vm\n"
              "\tIP=<install key>\n"
              "\tBIN=/usr/q\n"
              "\tLIB=/tmp/lib\n"
              "\tCreatePaths=TRUE\n"
              "\tVerbose=FALSE\n");
}

TEST_F(Gathering, ResetRestoresEveryFieldAndToggleAndShowsIt) {
    o.lists.locations[0].currentChoice = 1;
    o.lists.startOptions[0].state = 0;
    o.lists.startOptions[1].state = 1;
    resetFields(o.lists);
    EXPECT_EQ(o.lists.general[1].value(), "secret");
    EXPECT_EQ(o.lists.locations[1].value(), "/lib");
    EXPECT_EQ(o.lists.locations[0].currentChoice, 0);
    EXPECT_EQ(menuShown, 0);
    EXPECT_EQ(o.lists.startOptions[0].state, 1);
    EXPECT_EQ(toggleShown, 1);
    EXPECT_EQ(o.lists.startOptions[1].state, 0);
    EXPECT_EQ(gatherArguments(o.lists)[5], "CreatePaths=TRUE");
}

TEST(ArgVectorTest, PointersNameTheArgumentsAndEndInNull) {
    ArgVector v({"first", "", "B=1"});
    ASSERT_EQ(v.argc(), 3);
    EXPECT_STREQ(v.argv()[0], "first");
    EXPECT_STREQ(v.argv()[1], "");
    EXPECT_STREQ(v.argv()[2], "B=1");
    EXPECT_EQ(v.argv()[3], nullptr);
}

TEST(StatusFile, HoldsTheToDoTextFollowedByThreeNewlines) {
    testutil::TempDir dir;
    std::string path = dir.write("status", "an older, longer text than the new one\n");
    ASSERT_TRUE(writeStatusFile(path, "to do"));
    EXPECT_EQ(testutil::readFile(path), "to do\n\n\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Nothing else is left beside it.
    EXPECT_EQ(testutil::run({"ls", "-A", dir.path()}).out, "status\n");
}

// Whatever someone else put at the name is neither opened, nor written
// into, nor waited for: the call returns false at once and leaves it.
TEST(StatusFile, LeavesWhatIsNotAPlainFileOfOursAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another account";
    testutil::TempDir dir;
    std::string target = dir.write("target", "keep\n");
    ASSERT_EQ(symlink(target.c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(dir.file("directory").c_str(), 0755), 0);
    std::string foreign = dir.write("foreign", "theirs\n");
    ASSERT_EQ(chown(foreign.c_str(), geteuid() + 1000, 0), 0);
    for (const char* name : {"link", "fifo", "directory", "foreign", "missing/status"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(writeStatusFile(dir.file(name), "to do"));
    }
    EXPECT_EQ(testutil::readFile(target), "keep\n");
    EXPECT_EQ(testutil::readFile(foreign), "theirs\n");
    struct stat st;
    ASSERT_EQ(lstat(dir.file("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat(dir.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(testutil::run({"ls", "-A", dir.path()}).out,
              "directory\nfifo\nforeign\nlink\ntarget\n");
}

// The confirmation after a check, from what the check left behind: the
// planned operations, the failure report and the server's host.
TEST(Confirmation, ContinueIsTheDefaultOnlyForACleanCheckWithWorkToDo) {
    const std::string noFileOperations = catalogMessage(InstallOpsCatalog, 2).bound_msg().str();
    const char* problems = "The check found problems, reported below.\n";
    struct Case {
        const char* what;
        std::vector<int> ops;
        bool serverHost;
        bool failure;
        bool continueDefault;
        std::string headline;
    } cases[] = {
        {"a push", {ALREADY_INSTALLED, PUSH_FILEPACK}, true, false, true, ""},
        {"a script", {EXEC_SCRIPT}, true, false, true, ""},
        {"only registrations",
         {ALREADY_INSTALLED, GET_FROM, RM_FILE},
         true,
         false,
         false,
         noFileOperations + "\n"},
        {"a failure", {PUSH_FILEPACK}, true, true, false, problems},
        {"no server host", {}, false, false, false, problems + noFileOperations + "\n"},
    };
    ArgInfo before = argInfo;
    argInfo.serverName = "srv";
    for (const Case& c : cases) {
        hostGroups.cleanUp();
        hostFailures.clear();
        if (c.serverHost)
            hostGroups.addHost(new InstallHost("srv", "linux-ix86", "root", "", DEFAULT_ACCESS));
        for (int kind : c.ops) {
            InstallOperation op;
            op.kind = kind;
            hostGroups.ops.put(op);
        }
        if (c.failure) hostFailures.addFailure("srv", catalogMessage(InstallCatalog, 95));
        hostFailures.addStandardError("other", "not a failure by itself");

        CheckResult check = judgeCheck("the to-do text\n");
        EXPECT_EQ(continueIsDefault(check), c.continueDefault) << c.what;
        EXPECT_EQ(confirmationText(check), c.headline + "the to-do text\n") << c.what;
    }
    hostGroups.cleanUp();
    hostFailures.clear();
    argInfo = before;
}

TEST(Goodbye, PutsTheStartUpSettingsBack) {
    ArgInfo before = argInfo;
    argInfo.serverName = "start";
    argInfo.hosts.put("h1");
    argInfo.config.define("generic", "RN", "R1");
    const ArgInfo saved = argInfo;

    argInfo.serverName = "changed";
    argInfo.hosts.put("h2");
    argInfo.installPassword = "pw";
    argInfo.config.define("generic", "RN", "R2");
    goodbyeStep(saved);

    EXPECT_EQ(argInfo.serverName, Str("start"));
    EXPECT_EQ(argInfo.hosts.length(), 1);
    EXPECT_EQ(argInfo.hosts[0], Str("h1"));
    EXPECT_TRUE(argInfo.installPassword.empty());
    EXPECT_EQ(argInfo.config.translate(nullptr, "@RN@"), Str("R1"));
    argInfo = before;
}

}  // namespace
