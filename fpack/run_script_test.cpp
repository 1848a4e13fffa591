#include "run_script.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ctxt_test_util.h"
#include "keyw.h"
#include "log_msg.h"
#include "tests/test_util.h"

namespace {

using fptest::Ctxt;
using fptest::guarded;
using testutil::readFile;
using testutil::TempDir;

// A context with package scripts: keywords set, then the environment and
// the slots built as an install would.
struct Scripts : Ctxt {
    TempDir dir;
    std::string log = dir.file("log");
    Scripts() {
        fp_set_name(ct, "pkg");
        fp_set_ptype(ct, FP_OP_INSTALL, FP_MOD_D);
        ct->conf->stop_on_error = 0;
        snprintf(ct->relpath, sizeof ct->relpath, "%s/", dir.path().c_str());
    }
    ~Scripts() { fp_scripts_dispose(ct); }
    void keyword(const char* key, const std::string& value) {
        ASSERT_EQ(set_keyw(ct->conf, key, value.c_str()), 0) << key;
    }
    // A shell script in the test directory.
    std::string script(const std::string& name, const std::string& body) {
        std::string path = dir.write(name, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }
    // A script that appends its name, its argument and its input to the log.
    std::string logger(const std::string& name, int status = 0) {
        return script(name, "echo \"$(basename $0) $1 $(cat)\" >> " + log + "\nexit " +
                                std::to_string(status) + "\n");
    }
    int setup() {
        return guarded(ct, [this] {
            fp_scripts_setup(ct);
            fp_fill_slots(ct);
        });
    }
    int run(int kind) {
        int rv = -2;
        int jumped = guarded(ct, [&] { rv = fp_run_scripts(ct, kind); });
        return jumped != 0 ? 100 + jumped : rv;
    }
    std::vector<std::string> env() const {
        std::vector<std::string> out;
        for (int i = 0; ct->scripts != nullptr && i < ct->scripts->nenv; i++)
            out.push_back(ct->scripts->env[i]);
        return out;
    }
};

TEST(ScriptEnv, EntriesAndExpansion) {
    Scripts s;
    s.keyword("default_dest", "/opt/dst");
    s.keyword("prog_env", "HOME=$$x DEST=$default_dest NAME=$fpname PLAIN=v EMPTY=");
    ASSERT_EQ(s.setup(), 0) << s.msgs();
    EXPECT_EQ(s.env(), (std::vector<std::string>{"HOME=$x", "DEST=/opt/dst", "NAME=pkg", "PLAIN=v",
                                                 "EMPTY="}));
    // The script sees them.
    std::string show = s.script("show", "echo \"$HOME|$DEST|$NAME\" >&2\n");
    const char* args[] = {"before", nullptr};
    EXPECT_EQ(guarded(s.ct, [&] { run_script(s.ct, show.c_str(), nullptr, args, -1); }), 0);
    EXPECT_NE(s.msgs().find("script stderr: [$x|/opt/dst|pkg\n]\n"), std::string::npos) << s.msgs();
}

TEST(ScriptEnv, BadEntriesEndTheOperation) {
    struct Case {
        const char* prog_env;
        const char* msgs;
    };
    const Case cases[] = {
        {"A=1 X=$bogus", "Cannot expand keyword: \"bogus\"\nFATAL.\n"},
        {"A=1 novalue",
         "Error: Line 1:\tExpected '=' assignment for\tthe 'novalue' key.\nFATAL.\n"},
    };
    for (const Case& c : cases) {
        Scripts s;
        fp_set_ptype(s.ct, FP_OP_PACK, FP_MOD_D);
        s.keyword("prog_env", c.prog_env);
        EXPECT_EQ(s.setup(), FP_JMP_FATAL);
        EXPECT_EQ(s.msgs(), c.msgs);
    }
    // More than a hundred entries.
    std::string many;
    for (int i = 0; i < 101; i++) many += "V" + std::to_string(i) + "=x ";
    Scripts s;
    s.keyword("prog_env", many);
    EXPECT_EQ(s.setup(), FP_JMP_FATAL);
    EXPECT_NE(s.msgs().find("too many words (max 100)"), std::string::npos) << s.msgs();
}

TEST(Scripts, IndexRuleSkipsEmptyEntriesAndPairsInputsByIndex) {
    Scripts s;
    s.logger("a.sh");
    s.logger("b.sh");
    s.dir.write("i0", "zero");
    s.dir.write("i1", "one");
    s.dir.write("i2", "two");
    s.keyword("unix_before_prog_path", "a.sh,,b.sh");
    s.keyword("unix_before_input_path", "i0,i1,i2");
    ASSERT_EQ(s.setup(), 0) << s.msgs();
    EXPECT_EQ(s.run(FP_SCR_BEFORE), 0) << s.msgs();
    EXPECT_EQ(readFile(s.log), "a.sh before zero\nb.sh before two\n");

    // Without an input file of its index a program reads nothing.
    Scripts t;
    t.logger("a.sh");
    t.logger("b.sh");
    t.dir.write("i0", "zero");
    t.keyword("unix_after_prog_path", "a.sh,,b.sh");
    t.keyword("unix_after_input_path", "i0");
    ASSERT_EQ(t.setup(), 0) << t.msgs();
    EXPECT_EQ(t.run(FP_SCR_AFTER), 0) << t.msgs();
    EXPECT_EQ(readFile(t.log), "a.sh after zero\nb.sh after \n");
}

TEST(Scripts, ArgumentWordsOfEveryKind) {
    Scripts s;
    s.logger("k.sh");
    const char* keys[] = {"unix_before_prog_path", "unix_after_prog_path", "unix_removal_prog_path",
                          "unix_commit_prog_path", "unix_after_removal_prog_path"};
    for (const char* k : keys) s.keyword(k, "k.sh");
    ASSERT_EQ(s.setup(), 0) << s.msgs();
    for (int kind = FP_SCR_BEFORE; kind < FP_SCR_ON_ERROR; kind++) EXPECT_EQ(s.run(kind), 0);
    EXPECT_EQ(readFile(s.log),
              "k.sh before \nk.sh after \nk.sh removal \nk.sh commit \nk.sh after_removal \n");
}

TEST(Scripts, FailingBeforeScriptStopsOnlyWithSkipNonZero) {
    for (bool skip : {false, true}) {
        SCOPED_TRACE(skip);
        Scripts s;
        s.logger("fail.sh", 1);
        s.logger("ok.sh");
        s.keyword("unix_before_prog_path", "fail.sh,ok.sh");
        s.keyword("unix_before_skip_non_zero", skip ? "y" : "n");
        ASSERT_EQ(s.setup(), 0) << s.msgs();
        EXPECT_EQ(s.run(FP_SCR_BEFORE), skip ? -1 : 0);
        EXPECT_EQ(readFile(s.log), skip ? "fail.sh before \n" : "fail.sh before \nok.sh before \n");
        EXPECT_NE(s.msgs().find("script complete: status = 100\n"), std::string::npos);
    }
    // Every other kind stops at its first failure.
    Scripts s;
    s.logger("fail.sh", 1);
    s.logger("ok.sh");
    s.keyword("unix_after_prog_path", "fail.sh,ok.sh");
    ASSERT_EQ(s.setup(), 0) << s.msgs();
    EXPECT_EQ(s.run(FP_SCR_AFTER), -1);
    EXPECT_EQ(readFile(s.log), "fail.sh after \n");
}

TEST(Scripts, ChildFailuresHaveTheirExitStatus) {
    Scripts s;
    std::string ok = s.logger("ok.sh");
    const char* args[] = {"before", nullptr};
    struct Case {
        std::string program, input;
        const char* status;
    };
    const Case cases[] = {
        {ok, s.dir.file("no-such-input"), "script complete: status = 200\n"},
        {s.dir.file("no-such-program"), "", "script complete: status = 600\n"},
    };
    for (const Case& c : cases) {
        int rv = 0;
        ASSERT_EQ(guarded(s.ct,
                          [&] {
                              rv =
                                  run_script(s.ct, c.program.c_str(),
                                             c.input.empty() ? nullptr : c.input.c_str(), args, -1);
                          }),
                  0);
        EXPECT_EQ(rv, -1);
        EXPECT_NE(s.msgs().find(c.status), std::string::npos) << s.msgs();
    }
    EXPECT_EQ(readFile(s.log), "");
}

TEST(Scripts, PreviewRunsNothing) {
    Scripts s;
    s.logger("a.sh", 1);
    s.keyword("unix_before_prog_path", "a.sh");
    s.keyword("unix_before_skip_non_zero", "y");
    fp_set_ptype(s.ct, FP_OP_INSTALL, FP_MOD_D | FP_MOD_N);
    ASSERT_EQ(s.setup(), 0);
    EXPECT_EQ(s.run(FP_SCR_BEFORE), 0);
    EXPECT_EQ(s.msgs(), "");
    EXPECT_EQ(access(s.log.c_str(), F_OK), -1);
}

// The state letter of a process in /proc, or 0 when it is gone.
char proc_state(long pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

TEST(Scripts, TimeoutKillsTheScriptAndWhatItStarted) {
    Scripts s;
    std::string pidfile = s.dir.file("pid");
    s.script("slow.sh", "sleep 30 &\necho $! > " + pidfile + "\nwait\n");
    s.keyword("unix_before_prog_path", "slow.sh");
    s.keyword("progs_timeout", "1");
    ASSERT_EQ(s.setup(), 0);
    EXPECT_EQ(s.run(FP_SCR_BEFORE), 0);  // a failing before script is ignored
    EXPECT_NE(s.msgs().find("script interrupted or timeout expired\n"), std::string::npos)
        << s.msgs();
    EXPECT_NE(s.msgs().find("script complete: status = 9\n"), std::string::npos) << s.msgs();
    long sleeper = atol(readFile(pidfile).c_str());
    ASSERT_GT(sleeper, 0);
    // The kill reached the script's own child; give the system a moment to
    // take it down (bounded).
    char state = proc_state(sleeper);
    for (int i = 0; i < 100 && state != 0 && state != 'Z'; i++) {
        usleep(20000);
        state = proc_state(sleeper);
    }
    EXPECT_TRUE(state == 0 || state == 'Z') << state;

    // With stop_on_error the timeout ends the operation.
    Scripts t;
    t.script("slow.sh", "exec sleep 30\n");
    t.keyword("unix_after_prog_path", "slow.sh");
    t.keyword("progs_timeout", "1");
    t.ct->conf->stop_on_error = 1;
    ASSERT_EQ(t.setup(), 0);
    EXPECT_EQ(t.run(FP_SCR_AFTER), 100 + FP_JMP_FATAL);
    EXPECT_NE(t.msgs().find("script interrupted or timeout expired\n"
                            "FATAL because stop_on_error is enabled.\n"),
              std::string::npos)
        << t.msgs();
}

// A script that ends before its time-out is noticed when it ends: four
// trivial scripts take nowhere near four times a look interval. (The old
// wait looked every 2 seconds: at least 8 s here.)
TEST(Scripts, ScriptThatEndsEarlyIsNoticedAtOnce) {
    Scripts s;
    for (const char* n : {"a.sh", "b.sh", "c.sh", "d.sh"}) s.logger(n);
    s.keyword("unix_after_prog_path", "a.sh,b.sh,c.sh,d.sh");
    s.keyword("progs_timeout", "30");
    ASSERT_EQ(s.setup(), 0) << s.msgs();
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    EXPECT_EQ(s.run(FP_SCR_AFTER), 0) << s.msgs();
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_EQ(readFile(s.log), "a.sh after \nb.sh after \nc.sh after \nd.sh after \n");
    EXPECT_LT(t1.tv_sec - t0.tv_sec, 6) << "scripts waited out a fixed delay";
}

// What a script starts and leaves running ends with it.
TEST(Scripts, NothingAScriptStartedOutlivesIt) {
    for (const char* timeout : {"0", "30"}) {
        Scripts s;
        std::string pidfile = s.dir.file("pid");
        s.script("bg.sh", "sleep 30 &\necho $! > " + pidfile + "\nexit 0\n");
        s.keyword("unix_after_prog_path", "bg.sh");
        s.keyword("progs_timeout", timeout);
        ASSERT_EQ(s.setup(), 0) << s.msgs();
        EXPECT_EQ(s.run(FP_SCR_AFTER), 0) << s.msgs();
        long sleeper = atol(readFile(pidfile).c_str());
        ASSERT_GT(sleeper, 0);
        char state = proc_state(sleeper);
        for (int i = 0; i < 100 && state != 0 && state != 'Z'; i++) {
            usleep(20000);
            state = proc_state(sleeper);
        }
        EXPECT_TRUE(state == 0 || state == 'Z') << timeout << " " << state;
    }
}

TEST(Scripts, ErrorOutputKeepsItsLastBytes) {
    std::string all;
    for (int i = 1; i <= 3000; i++) all += std::to_string(i);
    all.resize(10000);
    struct Case {
        const char* size;
        std::string kept;
    };
    const Case cases[] = {
        {"1024", all.substr(10000 - 1023)},
        {"20000", all},
        {"1", ""},
        {"0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Scripts s;
        std::string noisy = s.script("noisy.sh", "seq 1 3000 | tr -d '\\n' | head -c 10000 >&2\n");
        s.keyword("stderr_size", c.size);
        const char* args[] = {"before", nullptr};
        ASSERT_EQ(guarded(s.ct, [&] { run_script(s.ct, noisy.c_str(), nullptr, args, -1); }), 0);
        std::string expected = "starting script: " + noisy + "\n";
        if (!c.kept.empty()) expected += "script stderr: [" + c.kept + "]\n";
        expected += "script complete: status = 0\n";
        EXPECT_TRUE(s.msgs() == expected) << s.msgs().substr(0, 200);
    }
}

TEST(Scripts, OwnerSwitchTakesTheUsersGroups) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    struct passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    Scripts s;
    // Only the private script directory lets another user reach the script.
    char path[FP_PATH_MAX + 1];
    ASSERT_EQ(guarded(s.ct,
                      [&] {
                          fp_scripts_setup(s.ct);
                          fp_tmp_script_path(s.ct, "unix_before0", path, sizeof path);
                      }),
              0);
    FILE* f = fopen(path, "w");
    ASSERT_NE(f, nullptr);
    fputs("#!/bin/sh\nid -u >&2\nid -G >&2\n", f);
    fclose(f);
    chmod(path, 0555);
    const char* args[] = {"before", nullptr};
    int rv = -2;
    ASSERT_EQ(guarded(s.ct, [&] { rv = run_script(s.ct, path, nullptr, args, pw->pw_uid); }), 0);
    EXPECT_EQ(rv, 0) << s.msgs();
    std::string expected =
        "script stderr: [" + std::to_string(pw->pw_uid) + "\n" + std::to_string(pw->pw_gid) + "\n]";
    EXPECT_NE(s.msgs().find(expected), std::string::npos) << s.msgs();
    remove_tmp_scripts(s.ct);
    EXPECT_EQ(access(path, F_OK), -1);
}

TEST(OnError, RunsOnceForInstallAndUninstall) {
    struct Case {
        int ptype;
        long mods;
        const char* log;
    };
    const Case cases[] = {
        {FP_OP_INSTALL, FP_MOD_D, "e.sh on_error_install \n"},
        {FP_OP_UNINSTALL, FP_MOD_D, "e.sh on_error_uninstall \n"},
        {FP_OP_INSTALL, FP_MOD_C, ""},
        {FP_OP_INSTALL, FP_MOD_D | FP_MOD_N, ""},
        {FP_OP_UNPACK_LIST, FP_MOD_D, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ptype);
        Scripts s;
        s.logger("e.sh");
        s.keyword("unix_on_error_prog_path", "e.sh");
        fp_set_ptype(s.ct, c.ptype, c.mods);
        ASSERT_EQ(s.setup(), 0);
        s.ct->on_error = fp_on_error;
        EXPECT_EQ(guarded(s.ct, [&] { log_msg(s.ct, FP_LOG_FATAL, "boom"); }), FP_JMP_FATAL);
        EXPECT_EQ(readFile(s.log), c.log);
        // The hook released the package's scripts.
        EXPECT_EQ(s.ct->scripts, nullptr);
        EXPECT_EQ(s.ct->on_error, nullptr);
    }
}

TEST(OnError, AFatalErrorInsideIsReportedAndNotRetried) {
    Scripts s;
    s.script("e.sh", "echo ran >> " + s.log + "\nexec sleep 30\n");
    s.keyword("unix_on_error_prog_path", "e.sh");
    s.keyword("progs_timeout", "1");
    s.ct->conf->stop_on_error = 1;
    ASSERT_EQ(s.setup(), 0);
    s.ct->on_error = fp_on_error;
    EXPECT_EQ(guarded(s.ct, [&] { log_msg(s.ct, FP_LOG_FATAL, "boom"); }), FP_JMP_FATAL);
    EXPECT_EQ(readFile(s.log), "ran\n");
    EXPECT_EQ(s.msgs(), "boom\nFATAL.\nstarting script: " + s.dir.file("e.sh") +
                            "\nscript interrupted or timeout expired\n"
                            "FATAL ERROR while trying to run on_error script.\n");
}

}  // namespace
