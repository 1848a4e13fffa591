// The window front end under a private X server with a window manager,
// driven from the keyboard and the mouse with xdotool as a user would drive
// it; geometry is read back with xwininfo.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

const std::string kQuillset = QS_QUILLSET;
const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const std::string kScreenshot = QS_BUILD_DIR "/gui-main-window.png";

const char kMainTitle[] = "Install Velkar Server";
const char kHelpTitle[] = "ONX Server Installation Help";
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

// Whether fd has input (or its end) within ms milliseconds.
bool pollIn(int fd, int ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// A private window manager set-up: windows are placed without asking, and
// Alt+F4 asks the window under the focus to close, as a user's menu would.
const char kTwmrc[] =
    "RandomPlacement\n"
    "UsePPosition \"on\"\n"
    "NoGrabServer\n"
    "\"F4\" = m : window|title|frame : f.delete\n";

// Xvfb on a display it picks itself (so that no other server started at
// the same time can take it), with twm managing its windows.
class XServer {
  public:
    // A server that is gone before the window manager reaches it (ended
    // from outside) is replaced by a new one, at most three times.
    XServer() {
        for (int attempt = 0; attempt < 3 && !up(); ++attempt) {
            windowManager_.reset();
            server_.reset();
            if (startServer()) startWindowManager();
        }
    }
    bool up() const { return server_ && windowManager_; }
    const std::string& display() const { return display_; }

    // A client of this server, bounded by timeout seconds.
    testutil::RunResult x(const std::vector<std::string>& argv, int timeout = 20) const {
        return testutil::run(argv, "", {"DISPLAY=" + display_}, timeout);
    }

  private:
    bool startServer() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        fcntl(fds[0], F_SETFD, FD_CLOEXEC);  // the server gets the write end only
        server_ = std::make_unique<Child>(
            std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten",
                                     "tcp", "-screen", "0", "1280x1024x24"},
            std::vector<std::string>{}, log_.file("xvfb.log"));
        close(fds[1]);
        // The number comes once the server accepts clients.
        std::string number;
        for (char c; pollIn(fds[0], 10000) && read(fds[0], &c, 1) == 1 && c != '\n';) number += c;
        close(fds[0]);
        display_ = ":" + number;
        return !number.empty();
    }
    // Ready once it has made its own windows on the empty root.
    void startWindowManager() {
        windowManager_ =
            std::make_unique<Child>(std::vector<std::string>{"twm", "-display", display_, "-f",
                                                             log_.write("twmrc", kTwmrc)},
                                    std::vector<std::string>{"LC_ALL=C"}, log_.file("twm.log"));
        bool ready = false;
        eventually(
            [&] {
                std::string out = x({"xwininfo", "-root", "-children"}).out;
                ready = out.find(" child:") != std::string::npos ||
                        out.find(" children:") != std::string::npos;
                return ready || !windowManager_->running();
            },
            100);
        if (!ready) windowManager_.reset();
    }

    testutil::TempDir log_;
    std::string display_;
    std::unique_ptr<Child> server_;  // declared first: stopped last
    std::unique_ptr<Child> windowManager_;
};

// A window's rectangle relative to the top-level window it belongs to.
struct Box {
    int x = 0, y = 0, w = 0, h = 0;
    int right() const { return x + w; }
    int bottom() const { return y + h; }
};

// One window of `xwininfo -tree` output, with its children.
struct XWindow {
    Box abs;  // on the screen
    std::vector<XWindow> children;
};

XWindow parseTree(const std::string& text) {
    static const std::regex line(
        R"(^( *)0x[0-9a-f]+ .*\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$)");
    XWindow top;
    std::vector<std::pair<size_t, XWindow*>> path;  // indentation, window
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) continue;
        size_t indent = m[1].length();
        while (!path.empty() && path.back().first >= indent) path.pop_back();
        XWindow* parent = path.empty() ? &top : path.back().second;
        parent->children.push_back(
            XWindow{Box{std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[2]), std::stoi(m[3])}, {}});
        path.emplace_back(indent, &parent->children.back());
    }
    return top;
}

// What a user sees of the main window: its size, the row of buttons and
// the text fields of the label rows, in order.
struct MainLayout {
    Box window;
    std::vector<Box> buttons;
    std::vector<Box> fields;
};

void collect(const XWindow& w, const Box& origin, MainLayout& layout) {
    auto relative = [&](const XWindow& c) {
        return Box{c.abs.x - origin.x, c.abs.y - origin.y, c.abs.w, c.abs.h};
    };
    const std::vector<XWindow>& c = w.children;
    if (c.size() == 5) {  // only the button row has five windows side by side
        for (const XWindow& b : c) layout.buttons.push_back(relative(b));
    } else if (c.size() == 2 && c[0].abs.y == c[1].abs.y && c[1].abs.x >= c[0].abs.x + c[0].abs.w) {
        layout.fields.push_back(relative(c[1]));  // a label and its field
        return;
    }
    for (const XWindow& child : c) collect(child, origin, layout);
}

int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// quillset on the sample medium, installing below a temporary root.
class Quillset : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.up()) << "no X server with a window manager could be started";
        mkdir(root().c_str(), 0755);
        if (startAtOnce_) start(arguments(false));
    }
    void TearDown() override {
        // Every font the resources name exists: the toolkit warns of none.
        std::string out = testutil::readFile(dir_.file("out"));
        EXPECT_EQ(out.find("Warning"), std::string::npos) << out;
    }

    // The seed file's lines give the fields of the sample index and a
    // private status file. joined: each option with its value in one word.
    std::vector<std::string> arguments(bool joined, const std::string& index = "") {
        std::string seed;
        for (const char* item : {"-LBIN", "-LLIB", "-LZPIDB", "-LMAN", "-LAPPD", "-LCAT",
                                 "-GZPI_NAME", "-GRN", "-SCreatePaths:0"})
            seed += std::string(item) + "\n";
        seed += "-f" + dir_.file("status") + "\n";
        // The seed file's lines go through the install type filling, which
        // gives the -f entry an empty label, default and value as well.
        statusFile_ = dir_.file("status:::");
        std::vector<std::pair<std::string, std::string>> options = {
            {"-A", dir_.write("seed", seed)}, {"-p", root()}, {"-c", medium_}};
        if (!server_.empty()) options.emplace_back("-a", server_);
        if (!index.empty()) options.emplace_back("-i", index);
        std::vector<std::string> args;
        for (const auto& o : options) {
            if (joined) {
                args.push_back(o.first + o.second);
            } else {
                args.push_back(o.first);
                args.push_back(o.second);
            }
        }
        return args;
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

    // The ids of the visible windows with exactly this title.
    std::vector<std::string> windows(const std::string& title) {
        testutil::RunResult r =
            x_.x({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"});
        std::vector<std::string> ids;
        std::istringstream in(r.out);
        for (std::string id; std::getline(in, id);)
            if (!id.empty()) ids.push_back(id);
        return ids;
    }
    // The id of the visible window with exactly this title, "" when none
    // appears in time.
    std::string window(const std::string& title) {
        testutil::RunResult r =
            x_.x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
        return r.status == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
    }
    // A window with this title that is none of known, "" when none appears.
    std::string newWindow(const std::string& title, const std::set<std::string>& known) {
        std::string found;
        eventually([&] {
            for (const std::string& id : windows(title))
                if (!known.count(id)) found = id;
            return !found.empty();
        });
        return found;
    }
    bool visible(const std::string& title) { return !windows(title).empty(); }
    bool shown(const std::string& id) {
        return x_.x({"xwininfo", "-id", id}).out.find("IsViewable") != std::string::npos;
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
    // Asks the window manager to close the window, as its menu would.
    void closeWindow(const std::string& id) { keys(id, {"alt+F4"}); }

    Box geometry(const std::string& id) {
        testutil::RunResult r = x_.x({"xdotool", "getwindowgeometry", "--shell", id});
        Box b;
        std::istringstream in(r.out);
        for (std::string l; std::getline(in, l);) {
            if (l.compare(0, 6, "WIDTH=") == 0) b.w = std::stoi(l.substr(6));
            if (l.compare(0, 7, "HEIGHT=") == 0) b.h = std::stoi(l.substr(7));
        }
        return b;
    }
    // The window's upper left corner on the screen.
    Box corner(const std::string& id) {
        static const std::regex re(
            R"(Absolute upper-left X:\s+(-?\d+)\s+Absolute upper-left Y:\s+(-?\d+))");
        std::string info = x_.x({"xwininfo", "-id", id}).out;
        std::smatch m;
        if (!std::regex_search(info, m, re)) return Box{};
        return Box{std::stoi(m[1]), std::stoi(m[2]), 0, 0};
    }
    MainLayout layout(const std::string& main) {
        MainLayout l;
        l.window = geometry(main);
        collect(parseTree(x_.x({"xwininfo", "-tree", "-id", main}).out), corner(main), l);
        auto byX = [](const Box& a, const Box& b) { return a.x < b.x; };
        auto byY = [](const Box& a, const Box& b) { return a.y < b.y; };
        std::sort(l.buttons.begin(), l.buttons.end(), byX);
        std::sort(l.fields.begin(), l.fields.end(), byY);
        return l;
    }
    // Main window buttons: 0 "Install & Close", 1 "Install", 2 "Reset",
    // 3 "Cancel", 4 "Help...".
    void click(const std::string& main, int button) {
        MainLayout l = layout(main);
        ASSERT_EQ(l.buttons.size(), 5u);
        // Dialogs may lie over the main window: a user raises it first.
        ASSERT_EQ(x_.x({"xdotool", "windowraise", main}).status, 0);
        Box at = corner(main);
        const Box& b = l.buttons[size_t(button)];
        // Without --sync: that waits for a motion, and there is none when the
        // pointer already lies on the spot.
        ASSERT_EQ(x_.x({"xdotool", "mousemove", std::to_string(at.x + b.x + b.w / 2),
                        std::to_string(at.y + b.y + b.h / 2), "click", "1"})
                      .status,
                  0);
    }

    // "Set" (the default button) closes the options dialog that opens first.
    std::string closeOptions() {
        std::string options = window(kOptionsTitle);
        EXPECT_FALSE(options.empty());
        keys(options, {"Return"});
        EXPECT_TRUE(eventually([&] { return !visible(kOptionsTitle); }, 50));
        return window(kMainTitle);
    }
    // Focus starts in the first general field (the server name); Tab moves
    // to the region name. Selects it and types over it.
    void setRegion(const std::string& main, const std::string& region) {
        keys(main, {"Tab", "End", "shift+Home"});
        type(region);
    }
    // The installs that have ended: the worker has said goodbye.
    int installsDone() {
        std::string text = logText();
        size_t leaving = text.rfind("leaving zpi gui doit.");
        if (leaving == std::string::npos ||
            text.find("Exiting goodbye", leaving) == std::string::npos)
            return count(text, "leaving zpi gui doit.") - 1;
        return count(text, "leaving zpi gui doit.");
    }
    // "Continue Install" in the confirmation; returns the new status dialog.
    // The titles are alike: a window is told apart by its id.
    std::string continueInstall() {
        std::string confirm = newWindow(kInstallTitle, statusDialogs_);
        EXPECT_FALSE(confirm.empty());
        int started = count(logText(), "starting zpi gui doit.");
        keys(confirm, {"Return"});
        EXPECT_TRUE(
            eventually([&] { return count(logText(), "starting zpi gui doit.") > started; }));
        std::set<std::string> known = statusDialogs_;
        known.insert(confirm);
        std::string status = newWindow(kInstallTitle, known);
        statusDialogs_.insert(status);
        return status;
    }
    void pressOk(const std::string& status) {
        ASSERT_TRUE(eventually(
            [&] {
                if (!shown(status)) return true;
                keys(status, {"Return"});
                return false;
            },
            50));
    }
    // "Continue Install" in the confirmation, then "OK" once it is sensitive.
    void continueAndConfirmOk() {
        int done = installsDone();
        std::string status = continueInstall();
        ASSERT_FALSE(status.empty());
        ASSERT_TRUE(eventually([&] { return installsDone() > done; }, 1200)) << logText();
        pressOk(status);
    }
    void expectInstalled(const std::string& region) {
        for (const auto& t : kTypes)
            EXPECT_EQ(testutil::readFile(root() + "/" + t.dir + "/.installed/QRX_" + t.id),
                      "PUSHED:" + hostName() + ":" + t.id + "\n")
                << t.id;
        EXPECT_TRUE(exists(root() + "/usr/local/quillset/bin/qsstat"));
        std::string text = logText();
        EXPECT_NE(
            text.find("Args from zpi gui:\n\tVelkar ONX Server Install\n\tZPI_NAME=" + hostName() +
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
    // A copy of the sample medium the test may change.
    void copyMedium() {
        medium_ = dir_.file("medium");
        ASSERT_EQ(testutil::run({"cp", "-r", kMedium, medium_}).status, 0);
    }
    // Replaces a line of the copied medium's index.
    void editIndex(const std::string& line, const std::string& replacement) {
        std::string index = testutil::readFile(medium_ + "/QRX.IND");
        size_t at = index.find(line);
        ASSERT_NE(at, std::string::npos);
        index.replace(at, line.size(), replacement);
        dir_.write("medium/QRX.IND", index);
    }

    // The sample's install types, where their probe files and payloads lie
    // below the root (the message catalogue package has no payload).
    struct Type {
        const char* dir;
        const char* id;
        const char* payload;
    };
    static constexpr Type kTypes[] = {
        {"usr/local/quillset", "BIN", "bin/qsstat"},
        {"usr/local/quillset/lib", "LIB", "qslib.sh"},
        {"var/quillset/db", "ZPIDB", "qrx.conf"},
        {"usr/local/man", "MAN", "man1/qsstat.1"},
        {"usr/lib/X11/app-defaults", "APPD", "QuillStatus"},
        {"usr/local/quillset/msg", "CAT", nullptr},
    };

    XServer x_;
    testutil::TempDir dir_;
    std::unique_ptr<Child> app_;
    std::string statusFile_;
    std::string medium_ = kMedium;
    std::string server_ = hostName();
    bool startAtOnce_ = true;
    std::set<std::string> statusDialogs_;  // every status dialog seen
};

constexpr Quillset::Type Quillset::kTypes[];

TEST_F(Quillset, InstallLeavesTheProgramRunning) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    x_.x({"import", "-window", main, kScreenshot});
    EXPECT_TRUE(exists(kScreenshot));
    setRegion(main, "R9");
    // Tab order: the fields, "Install Options...", then the buttons.
    keys(main, {"Tab", "Tab", "Right", "space"});  // "Install"
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
    click(main, 1);  // "Install"
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
    click(main, 2);
    click(main, 1);
    continueAndConfirmOk();
    expectInstalled("Region1");
    EXPECT_TRUE(app_->running());
}

TEST_F(Quillset, HelpStaysUntilItsOkAndLeavesTheWindowAsItWas) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    click(main, 4);
    std::string help = window(kHelpTitle);
    ASSERT_FALSE(help.empty());
    keys(help, {"Return"});
    EXPECT_TRUE(eventually([&] { return !visible(kHelpTitle); }, 50));
    EXPECT_TRUE(app_->running());
    EXPECT_EQ(logText().find("Args from zpi gui:"), std::string::npos);
}

// A second install while the first one's status dialog is still open: each
// dialog answers for its own install, and no install starts while one runs.
TEST_F(Quillset, EachInstallOwnsItsStatusDialog) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    click(main, 1);
    std::string first = continueInstall();
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(eventually([&] { return installsDone() == 1; }, 1200)) << logText();
    // The second install pushes everything again.
    ASSERT_EQ(testutil::run({"sh", "-c", "rm -rf \"$0\"/*", root()}).status, 0);

    click(main, 1);
    std::string second = continueInstall();
    ASSERT_FALSE(second.empty());
    ASSERT_NE(second, first);
    // The main window's buttons are insensitive while the install runs.
    click(main, 1);
    click(main, 0);
    pause(1000);
    ASSERT_EQ(installsDone(), 1) << "the install ended too soon for this test";
    EXPECT_EQ(count(logText(), "Args from zpi gui:"), 2);
    // The first dialog's OK closes the first dialog only.
    pressOk(first);
    EXPECT_TRUE(shown(second));
    EXPECT_TRUE(app_->running());

    ASSERT_TRUE(eventually([&] { return installsDone() == 2; }, 1200)) << logText();
    pressOk(second);
    EXPECT_TRUE(app_->running());
    expectInstalled("Region1");
}

TEST_F(Quillset, CloseDuringAnInstallAsksThenStopsItCleanly) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    click(main, 1);
    std::string status = continueInstall();
    ASSERT_FALSE(status.empty());
    ASSERT_TRUE(eventually(
        [&] { return logText().find("Done adjusting probe file.") != std::string::npos; }, 600));

    // Keeping the install is the default answer.
    closeWindow(main);
    std::string ask = newWindow(kInstallTitle, {status});
    ASSERT_FALSE(ask.empty());
    keys(ask, {"Return"});  // "Keep Installing"
    EXPECT_TRUE(eventually([&] { return !shown(ask); }, 50));
    EXPECT_TRUE(app_->running());

    closeWindow(main);
    ask = newWindow(kInstallTitle, {status});
    ASSERT_FALSE(ask.empty());
    keys(ask, {"Left", "space"});  // "Stop Install"
    EXPECT_EQ(app_->waitExit(600), 130);

    std::string text = logText();
    size_t stop = text.find("Stop requested: to do list left at operation ");
    ASSERT_NE(stop, std::string::npos) << text;
    EXPECT_NE(text.find("[\nStopped.]", stop), std::string::npos) << text;
    EXPECT_NE(text.find("Exiting goodbye", stop), std::string::npos) << text;
    EXPECT_EQ(text.find("Completed.]"), std::string::npos);
    // Every type is either wholly installed, probe file and payload, or
    // not begun; the stop came before the last one.
    int installed = 0;
    for (const auto& t : kTypes) {
        std::string dir = root() + "/" + t.dir;
        bool probe = testutil::readFile(dir + "/.installed/QRX_" + t.id) ==
                     "PUSHED:" + hostName() + ":" + t.id + "\n";
        installed += probe;
        if (t.payload) {
            EXPECT_EQ(exists(dir + "/" + t.payload), probe) << t.id;
        }
    }
    EXPECT_GT(installed, 0);
    EXPECT_LT(installed, 6);
}

TEST_F(Quillset, ClosingWithNoInstallRunningEndsLikeCancel) {
    for (bool confirming : {false, true}) {
        if (confirming) start(arguments(false));
        std::string main = closeOptions();
        ASSERT_FALSE(main.empty());
        if (confirming) {
            click(main, 1);
            ASSERT_FALSE(window(kInstallTitle).empty());
        }
        closeWindow(main);
        EXPECT_EQ(app_->waitExit(100), 0) << confirming;
        EXPECT_EQ(logText().find("starting zpi gui doit."), std::string::npos);
        // A checked run is closed as its Cancel closes it.
        EXPECT_EQ(logText().find("Exiting goodbye") != std::string::npos, confirming);
    }
    EXPECT_FALSE(exists(root() + "/usr/local/quillset/bin/qsstat"));
}

TEST_F(Quillset, DialogsClosedByTheWindowManagerGoAsTheirButtonsMakeThem) {
    std::string options = window(kOptionsTitle);
    ASSERT_FALSE(options.empty());
    closeWindow(options);
    ASSERT_TRUE(eventually([&] { return !visible(kOptionsTitle); }, 50));
    std::string main = window(kMainTitle);

    click(main, 4);
    std::string help = window(kHelpTitle);
    ASSERT_FALSE(help.empty());
    closeWindow(help);
    // Destroyed, not only hidden.
    EXPECT_TRUE(eventually([&] { return x_.x({"xwininfo", "-id", help}).status != 0; }, 50));

    click(main, 1);
    std::string confirm = window(kInstallTitle);
    ASSERT_FALSE(confirm.empty());
    closeWindow(confirm);
    EXPECT_TRUE(eventually([&] { return logText().find("Exiting goodbye") != std::string::npos; }));
    EXPECT_EQ(logText().find("starting zpi gui doit."), std::string::npos);

    // The main window is usable again.
    click(main, 1);
    EXPECT_TRUE(eventually([&] { return count(logText(), "Args from zpi gui:") == 2; }));
    EXPECT_TRUE(app_->running());
}

TEST_F(Quillset, EscapeCancelsTheOptionsAndTabVisitsTheFieldsFirst) {
    std::string options = window(kOptionsTitle);
    ASSERT_FALSE(options.empty());
    // The binaries menu has the focus; the next field is the libraries'.
    keys(options, {"Tab", "End", "shift+Home"});
    type("/opt/lib9");
    keys(options, {"Escape"});
    ASSERT_TRUE(eventually([&] { return !visible(kOptionsTitle); }, 50));
    std::string main = window(kMainTitle);
    keys(main, {"End", "shift+Home"});
    type(hostName());
    setRegion(main, "R7");
    // From the last field: "Install Options...", then "Install & Close".
    keys(main, {"Tab", "Tab", "space"});
    ASSERT_FALSE(window(kInstallTitle).empty());
    std::string text = logText();
    EXPECT_NE(text.find("\tZPI_NAME=" + hostName() + "\n\tRN=R7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\tLIB=/opt/lib9\n"), std::string::npos) << text;
}

TEST_F(Quillset, ResizingKeepsTheButtonsWholeAndTheFieldsWide) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    const MainLayout natural = layout(main);
    ASSERT_EQ(natural.buttons.size(), 5u);
    ASSERT_EQ(natural.fields.size(), 2u);
    for (double factor : {1.5, 0.7}) {
        int w = int(natural.window.w * factor), h = int(natural.window.h * factor);
        ASSERT_EQ(
            x_.x({"xdotool", "windowsize", "--sync", main, std::to_string(w), std::to_string(h)})
                .status,
            0);
        ASSERT_TRUE(eventually(
            [&] {
                Box g = geometry(main);
                return g.w == w && g.h == h;
            },
            50));
        pause(300);
        x_.x({"import", "-window", main,
              QS_BUILD_DIR "/gui-main-window-" + std::string(factor > 1 ? "1.5x" : "0.7x") +
                  ".png"});
        MainLayout l = layout(main);
        ASSERT_EQ(l.buttons.size(), 5u) << factor;
        // One row at the natural size, inside the window, evenly spaced.
        int gap = l.buttons[0].x;
        for (size_t i = 0; i < 5; ++i) {
            const Box& b = l.buttons[i];
            EXPECT_EQ(b.w, natural.buttons[i].w) << factor << " " << i;
            EXPECT_EQ(b.h, natural.buttons[i].h) << factor << " " << i;
            EXPECT_EQ(b.y, l.buttons[0].y) << factor << " " << i;
            EXPECT_GE(b.x, 0);
            EXPECT_LE(b.bottom(), h) << factor;
            int next = i + 1 < 5 ? l.buttons[i + 1].x : w;
            EXPECT_NEAR(next - b.right(), gap, 2) << factor << " " << i;
        }
        EXPECT_GT(gap, 0) << factor;
        // The fields take the change of width and end inside the window.
        ASSERT_EQ(l.fields.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_LE(l.fields[i].right(), w) << factor;
            EXPECT_EQ(l.fields[i].w - natural.fields[i].w, w - natural.window.w) << factor;
        }
    }
}

// The server name as a field that echoes nothing, started on a wrong name.
class QuillsetHiddenServer : public Quillset {
  protected:
    void SetUp() override {
        copyMedium();
        editIndex("QRX:gui:G:ZPI_NAME:server\n", "QRX:gui:G:ZPI_NAME:server:1\n");
        server_ = "not-this-host";
        Quillset::SetUp();
    }
};

TEST_F(QuillsetHiddenServer, TheTypedTextIsWhatGetsInstalled) {
    std::string main = closeOptions();
    ASSERT_FALSE(main.empty());
    keys(main, {"End", "shift+Home"});
    type(hostName());
    click(main, 1);
    continueAndConfirmOk();
    expectInstalled("Region1");
}

// A medium whose last image is cut in half: that push fails.
class QuillsetDamagedMedium : public Quillset {
  protected:
    void SetUp() override {
        copyMedium();
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
    click(main, 1);  // "Install"
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

// Options given as separate words and joined to their values, the index
// named with -i: not taken by the toolkit for "-iconic".
class QuillsetOptions : public Quillset {
  protected:
    void SetUp() override {
        copyMedium();
        std::string index = testutil::readFile(medium_ + "/QRX.IND");
        size_t at = index.find("default=Region1");
        ASSERT_NE(at, std::string::npos);
        dir_.write("medium/ALT.IND", index.replace(at, 15, "default=RegionI"));
        startAtOnce_ = false;
        Quillset::SetUp();
    }
};

TEST_F(QuillsetOptions, WorkSeparateAndJoinedToTheirValues) {
    for (bool joined : {false, true}) {
        start(arguments(joined, "ALT"));
        std::string main = closeOptions();  // visible: not started iconic
        ASSERT_FALSE(main.empty()) << joined;
        click(main, 1);
        std::string confirm = window(kInstallTitle);
        ASSERT_FALSE(confirm.empty()) << joined;
        std::string text = logText();
        EXPECT_NE(text.find("\tZPI_NAME=" + hostName() + "\n\tRN=RegionI\n\tBIN=" + root() +
                            "/usr/local/quillset\n"),
                  std::string::npos)
            << joined << text;
        EXPECT_EQ(text.find("to the install host list."), std::string::npos) << joined << text;
        EXPECT_TRUE(exists(statusFile_)) << joined;
        keys(confirm, {"Escape"});
        app_->stop();
        unlink(statusFile_.c_str());
    }
}

// A check that failed or planned nothing: the confirmation says so and
// Return answers Cancel.
class QuillsetDoubtfulCheck : public Quillset {
  protected:
    void SetUp() override {
        copyMedium();
        startAtOnce_ = false;
        Quillset::SetUp();
    }
};

TEST_F(QuillsetDoubtfulCheck, ConfirmationDefaultsToCancel) {
    struct Case {
        const char* what;
        bool noServer;         // the server name field emptied
        const char* packLine;  // removed from the index
        const char* headline;
    } cases[] = {
        {"no server name", true, nullptr,
         "Confirmation, default Cancel:\nThe check found problems, reported below.\n\n"
         "There are no file operations to execute."},
        {"a type without package", false, "QRX:fp:CAT:generic::4:6\n",
         "Confirmation, default Cancel:\nThe check found problems, reported below.\n"
         "The following problems were encountered:\n"},
    };
    for (const Case& c : cases) {
        if (c.packLine) editIndex(c.packLine, "");
        // Without -a the emptied field leaves the run without a server.
        server_ = c.noServer ? "" : hostName();
        start(arguments(false));
        std::string main = closeOptions();
        ASSERT_FALSE(main.empty()) << c.what;
        if (c.noServer) keys(main, {"End", "shift+Home", "BackSpace"});
        click(main, 1);
        std::string confirm = window(kInstallTitle);
        ASSERT_FALSE(confirm.empty()) << c.what;
        keys(confirm, {"Return"});
        EXPECT_TRUE(eventually([&] {
            return logText().find("Exiting goodbye") != std::string::npos;
        })) << c.what;
        std::string text = logText();
        EXPECT_NE(text.find(c.headline), std::string::npos) << c.what << text;
        EXPECT_EQ(text.find("starting zpi gui doit."), std::string::npos) << c.what;
        EXPECT_FALSE(exists(root() + "/usr/local/quillset/bin/qsstat")) << c.what;
        app_->stop();
    }
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
                         "Searched the directory " +
                         empty.path() +
                         ": QRX.IND: No such file or directory.\n"
                         "Usage: quillset -c <cdrom-path> [<optional-flags>] "
                         "[<optional-variables>]\n <optional-flags>:\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("\n    RN=<region-name>\n"), std::string::npos) << r.err;
}

}  // namespace
