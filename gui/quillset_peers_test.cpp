// The window front end under a private X server, driven from the keyboard
// with xdotool as a user would drive it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

const std::string kQuillset = QS_QUILLSET;
const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kScreenshot = QS_BUILD_DIR "/gui-main-window.png";

const char kMainTitle[] = "Install Velkar Server";
const char kOptionsTitle[] = "Velkar Management Framework Server Install Options";
const char kInstallTitle[] = "ONX Install";

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls until done() holds, at most tries times 100 ms apart.
bool eventually(const std::function<bool()>& done, int tries = 300) {
    for (int i = 0; i < tries; ++i) {
        if (done()) return true;
        pause(100);
    }
    return done();
}

// A child process that is ended (TERM, then KILL) when it goes out of scope.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::string& output) {
        pid_ = fork();
        if (pid_ != 0) return;
        int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The exit status once the child has ended within tries × 100 ms, else -1.
    int waitExit(int tries = 300) {
        if (pid_ <= 0) return status_;
        for (int i = 0; i <= tries; ++i) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return status_;
            }
            if (i < tries) pause(100);
        }
        return -1;
    }
    bool running() { return waitExit(0) == -1 && pid_ > 0; }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        if (waitExit(50) != -1) return;
        kill(pid_, SIGKILL);
        waitExit(50);
    }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Xvfb on the first free display from :90 on.
class XServer {
  public:
    XServer() {
        for (int n = 90; n < 140 && !server_; ++n) {
            if (exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
            display_ = ":" + std::to_string(n);
            server_ = std::make_unique<Child>(
                std::vector<std::string>{"Xvfb", display_, "-nolisten", "tcp", "-screen", "0",
                                         "1280x1024x24"},
                std::vector<std::string>{}, log_.file("xvfb.log"));
            if (!eventually(
                    [&] {
                        return x({"xdpyinfo", "-display", display_}).status == 0;
                    },
                    100)) {
                server_.reset();  // taken meanwhile, or broken: try the next one
            }
        }
    }
    bool up() const { return server_ != nullptr; }
    const std::string& display() const { return display_; }

    // A client of this server, bounded by timeout seconds.
    testutil::RunResult x(const std::vector<std::string>& argv, int timeout = 20) const {
        return testutil::run(argv, "", {"DISPLAY=" + display_}, timeout);
    }

  private:
    testutil::TempDir log_;
    std::string display_;
    std::unique_ptr<Child> server_;
};

// quillset on the sample medium, installing below a temporary root.
class Quillset : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.up()) << "no X server could be started";
        std::string seed;
        for (const char* item : {"-LBIN", "-LLIB", "-LZPIDB", "-LMAN", "-LAPPD", "-LCAT",
                                 "-GZPI_NAME", "-GRN", "-SCreatePaths:0"})
            seed += std::string(item) + "\n";
        seed += "-f" + dir_.file("status") + "\n";
        // The seed file's lines go through the install type filling, which
        // gives the -f entry an empty label, default and value as well.
        statusFile_ = dir_.file("status:::");
        mkdir(root().c_str(), 0755);
        start({"-A", dir_.write("seed", seed), "-p", root(), "-c", medium_, "-a", server_});
    }

    void start(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kQuillset};
        argv.insert(argv.end(), args.begin(), args.end());
        app_ = std::make_unique<Child>(
            argv,
            std::vector<std::string>{"DISPLAY=" + x_.display(), "QUILLSET_DEBUG_LOG=" + log()},
            dir_.file("out"));
    }

    std::string root() const { return dir_.file("root"); }
    std::string log() const { return dir_.file("log"); }
    std::string logText() const { return testutil::readFile(log()); }

    // The id of the visible window with exactly this title, "" when none
    // appears in time.
    std::string window(const std::string& title) {
        testutil::RunResult r =
            x_.x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
        return r.status == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
    }
    bool visible(const std::string& title) {
        return x_.x({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}).status ==
               0;
    }
    void keys(const std::string& id, const std::vector<std::string>& names) {
        ASSERT_EQ(x_.x({"xdotool", "windowfocus", "--sync", id}).status, 0);
        std::vector<std::string> argv = {"xdotool", "key", "--delay", "100"};
        argv.insert(argv.end(), names.begin(), names.end());
        ASSERT_EQ(x_.x(argv).status, 0);
    }
    void type(const std::string& text) {
        ASSERT_EQ(x_.x({"xdotool", "type", "--delay", "50", text}).status, 0);
    }

    // "Set" (the default button) closes the options dialog that opens first.
    std::string closeOptions() {
        std::string options = window(kOptionsTitle);
        EXPECT_FALSE(options.empty());
        keys(options, {"Return"});
        EXPECT_TRUE(eventually([&] { return !visible(kOptionsTitle); }, 50));
        return window(kMainTitle);
    }
    // Focus order of the main window: "Install Options...", the general
    // fields, then the buttons. Selects the region name and types over it.
    void setRegion(const std::string& main, const std::string& region) {
        keys(main, {"Tab", "Tab", "End", "shift+Home"});
        type(region);
    }
    // The install's end: the worker has said goodbye.
    bool installDone() {
        std::string text = logText();
        size_t leaving = text.find("leaving zpi gui doit.");
        return leaving != std::string::npos &&
               text.find("Exiting goodbye", leaving) != std::string::npos;
    }
    // "Continue Install" in the confirmation, then "OK" once it is sensitive.
    void continueAndConfirmOk() {
        std::string confirm = window(kInstallTitle);
        ASSERT_FALSE(confirm.empty());
        keys(confirm, {"Return"});
        ASSERT_TRUE(eventually([&] { return installDone(); }, 1200)) << logText();
        std::string status = window(kInstallTitle);
        ASSERT_FALSE(status.empty());
        ASSERT_TRUE(eventually(
            [&] {
                if (!visible(kInstallTitle)) return true;
                keys(status, {"Return"});
                return false;
            },
            50));
    }
    void expectInstalled(const std::string& region) {
        const std::string host = hostName();
        const struct {
            const char* dir;
            const char* id;
        } types[] = {{"usr/local/quillset", "BIN"},        {"usr/local/quillset/lib", "LIB"},
                     {"var/quillset/db", "ZPIDB"},         {"usr/local/man", "MAN"},
                     {"usr/lib/X11/app-defaults", "APPD"}, {"usr/local/quillset/msg", "CAT"}};
        for (const auto& t : types)
            EXPECT_EQ(testutil::readFile(root() + "/" + t.dir + "/.installed/QRX_" + t.id),
                      "PUSHED:" + host + ":" + t.id + "\n")
                << t.id;
        EXPECT_TRUE(exists(root() + "/usr/local/quillset/bin/qsstat"));
        std::string text = logText();
        EXPECT_NE(text.find("Args from zpi gui:\n\tVelkar ONX Server Install\n\tZPI_NAME=" + host +
                            "\n\tRN=" + region + "\n\tBIN=" + root() + "/usr/local/quillset\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("\tCreatePaths=TRUE\n"), std::string::npos);
        // Every status line is echoed to the log as it reaches the status text.
        EXPECT_NE(text.find("[ Completed.\n"), std::string::npos) << text;
        EXPECT_NE(text.find("[\nCompleted.]\nleaving zpi gui doit."), std::string::npos) << text;
    }
    void expectStatusFileHoldsToDo() {
        std::string status = testutil::readFile(statusFile_);
        EXPECT_NE(status.find("Unless you cancel, the following operations will be executed:\n"),
                  std::string::npos)
            << status;
        EXPECT_NE(status.find("need to copy the BIN (linux-ix86) to:\n         " + hostName() +
                              ":" + root() + "/usr/local/quillset\n"),
                  std::string::npos)
            << status;
        EXPECT_EQ(status.substr(status.size() >= 3 ? status.size() - 3 : 0), "\n\n\n");
    }

    XServer x_;
    testutil::TempDir dir_;
    std::unique_ptr<Child> app_;
    std::string statusFile_;
    std::string medium_ = kMedium;
    std::string server_ = hostName();
};

TEST_F(Quillset, InstallLeavesTheProgramRunning) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    x_.x({"import", "-window", main, kScreenshot});
    EXPECT_TRUE(exists(kScreenshot));
    setRegion(main, "R9");
    keys(main, {"Tab", "Right", "space"});  // the buttons, then "Install"
    continueAndConfirmOk();
    expectStatusFileHoldsToDo();
    expectInstalled("R9");
    EXPECT_TRUE(app_->running());
    EXPECT_FALSE(window(kMainTitle).empty());
}

TEST_F(Quillset, InstallAndCloseEndsTheProgramAfterOk) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    setRegion(main, "R5");
    keys(main, {"Return"});  // "Install & Close" is the default button
    continueAndConfirmOk();
    EXPECT_EQ(app_->waitExit(), 0);
    expectInstalled("R5");
}

TEST_F(Quillset, CancelInTheConfirmationLeavesTheWindowUsable) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    setRegion(main, "R3");
    keys(main, {"Tab", "Right", "space"});  // "Install"
    std::string confirm = window(kInstallTitle);
    ASSERT_FALSE(confirm.empty());
    expectStatusFileHoldsToDo();
    EXPECT_NE(logText().find("\tRN=R3\n"), std::string::npos);
    keys(confirm, {"Escape"});  // "Cancel"
    ASSERT_TRUE(eventually([&] { return !visible(kInstallTitle); }, 50));
    EXPECT_TRUE(eventually([&] { return logText().find("Exiting goodbye") != std::string::npos; }));
    // The locations the check made are gone again: the root is as it was.
    EXPECT_EQ(testutil::run({"find", root()}).out, root() + "\n");

    // The window starts afresh: "Reset" puts the region back, "Install"
    // then installs with the settings of start-up.
    keys(main, {"Tab", "Tab", "Tab", "Right", "Right", "space", "Left", "space"});
    continueAndConfirmOk();
    expectInstalled("Region1");
    EXPECT_TRUE(app_->running());
}

TEST_F(Quillset, HelpStaysUntilItsOkAndLeavesTheWindowAsItWas) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    keys(main, {"Tab", "Tab", "Tab", "Right", "Right", "Right", "Right", "space"});
    std::string help = window("ONX Server Installation Help");
    ASSERT_FALSE(help.empty());
    keys(help, {"Return"});
    EXPECT_TRUE(eventually([&] { return !visible("ONX Server Installation Help"); }, 50));
    EXPECT_TRUE(app_->running());
    EXPECT_EQ(logText().find("Args from zpi gui:"), std::string::npos);
}

// The server name as a field that echoes nothing, started on a wrong name.
class QuillsetHiddenServer : public Quillset {
  protected:
    void SetUp() override {
        medium_ = dir_.file("medium");
        ASSERT_EQ(testutil::run({"cp", "-r", kMedium, medium_}).status, 0);
        std::string index = testutil::readFile(medium_ + "/QRX.IND");
        const std::string item = "QRX:gui:G:ZPI_NAME:server\n";
        size_t at = index.find(item);
        ASSERT_NE(at, std::string::npos);
        index.replace(at, item.size(), "QRX:gui:G:ZPI_NAME:server:1\n");
        dir_.write("medium/QRX.IND", index);
        server_ = "not-this-host";
        Quillset::SetUp();
    }
};

TEST_F(QuillsetHiddenServer, TheTypedTextIsWhatGetsInstalled) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    keys(main, {"Tab", "End", "shift+Home"});
    type(hostName());
    keys(main, {"Tab", "Tab", "Right", "space"});  // "Install"
    continueAndConfirmOk();
    expectInstalled("Region1");
}

// A medium whose last image is cut in half: that push fails.
class QuillsetDamagedMedium : public Quillset {
  protected:
    void SetUp() override {
        medium_ = dir_.file("medium");
        ASSERT_EQ(testutil::run({"cp", "-r", kMedium, medium_}).status, 0);
        const std::string image = medium_ + "/FILE6.PKT";
        struct stat st;
        ASSERT_EQ(stat(image.c_str(), &st), 0);
        ASSERT_EQ(truncate(image.c_str(), st.st_size / 2), 0);
        Quillset::SetUp();
    }
};

TEST_F(QuillsetDamagedMedium, StatusTextEndsWithTheFailureReport) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    keys(main, {"Tab", "Tab", "Tab", "Right", "space"});  // "Install"
    continueAndConfirmOk();
    std::string text = logText();
    // The last words of the status text: the report, then the verdict.
    const size_t end = text.find("\n Completed (with errors).]\nleaving zpi gui doit.");
    ASSERT_NE(end, std::string::npos) << text;
    const size_t report =
        text.rfind("[\nThe following problems were encountered:\n Host " + hostName() + ":\n", end);
    ASSERT_NE(report, std::string::npos) << text;
    EXPECT_NE(text.find(root() + "/usr/local/quillset/msg\n Completed (with errors).", report),
              std::string::npos)
        << text.substr(report);
    EXPECT_EQ(text.find("[\nCompleted.]"), std::string::npos);
    EXPECT_TRUE(app_->running());
}

TEST(QuillsetStart, WithoutAValidIndexPrintsTheUsageAndEnds) {
    XServer x;
    ASSERT_TRUE(x.up());
    testutil::TempDir empty;
    testutil::RunResult r =
        testutil::run({kQuillset, "-c", empty.path()}, "",
                      {"DISPLAY=" + x.display(), "QUILLSET_DEBUG_LOG=" + empty.file("log")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Error: no valid index file found in cdrom directory.\n"
                         "Usage: quillset -c <cdrom-path> [<optional-flags>] "
                         "[<optional-variables>]\n <optional-flags>:\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("\n    RN=<region-name>\n"), std::string::npos) << r.err;
}

}  // namespace
