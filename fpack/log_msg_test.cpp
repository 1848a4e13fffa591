#include "log_msg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keyw.h"

namespace {

struct Ctxt {
    fp_ctxt* ct = fp_new_ctxt();
    ~Ctxt() { fp_dispose_ctxt(ct); }
    std::string msgs() const { return ct->msg.buf != nullptr ? ct->msg.buf : ""; }
};

struct LogCall {
    int level;
    const char* text;
};

void log_one(fp_ctxt* ct, void* arg) {
    const LogCall* c = (const LogCall*)arg;
    errno = ENOENT;
    log_msg(ct, c->level, "%s", c->text);
    ct->rval = 1;  // reached only when the message did not end the operation
}

struct LevelCase {
    int level;
    bool stop_on_error;
    int jumped;    // fp_guarded result
    int status;    // ct->status afterwards
    bool reached;  // the code after the message ran
    const char* msgs;
};

TEST(LogMsgLevels, EffectOfEachLevel) {
    const LevelCase cases[] = {
        {FP_LOG_INFO, true, 0, FP_ST_OK, true, "note\n"},
        {FP_LOG_NOTE, true, 0, FP_ST_OK, true, "note: No such file or directory\n"},
        {FP_LOG_LONG, true, 0, FP_ST_OK, true, "note\n"},
        {FP_LOG_WARN, false, 0, FP_ST_FAILED, true, "note\n"},
        {FP_LOG_ERR, false, 0, FP_ST_FAILED, true, "note: No such file or directory\n"},
        {FP_LOG_WARN, true, FP_JMP_FATAL, FP_ST_FATAL, false,
         "note\nFATAL because stop_on_error is enabled.\n"},
        {FP_LOG_ERR, true, FP_JMP_FATAL, FP_ST_FATAL, false,
         "note: No such file or directory\nFATAL because stop_on_error is enabled.\n"},
        {FP_LOG_FATAL, false, FP_JMP_FATAL, FP_ST_FATAL, false, "note\nFATAL.\n"},
    };
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(c.level);
        Ctxt x;
        x.ct->conf->stop_on_error = c.stop_on_error;
        const char* text = c.level == FP_LOG_ERR || c.level == FP_LOG_NOTE ? "note: " : "note";
        LogCall call = {c.level, text};
        EXPECT_EQ(fp_guarded(x.ct, log_one, &call), c.jumped);
        EXPECT_EQ(x.ct->status, c.status);
        EXPECT_EQ(x.ct->rval, c.reached ? 1 : 0);
        EXPECT_EQ(x.msgs(), c.msgs);
    }
}

TEST(LogMsgBuffer, LongTextsAreCutAtTheMessageAreaButScriptOutputIsKept) {
    Ctxt x;
    std::string big(70000, 'x');
    log_msg(x.ct, FP_LOG_INFO, "%s", big.c_str());
    EXPECT_EQ(x.msgs(), std::string(2047, 'x') + "\n");
    fp_msgbuf_free(&x.ct->msg);
    log_msg(x.ct, FP_LOG_LONG, "%s", big.c_str());
    EXPECT_EQ(x.msgs(), std::string(65536, 'x') + "\n");
}

TEST(LogMsgBuffer, ManyMessagesAccumulateInOrder) {
    Ctxt x;
    std::string want;
    for (int i = 0; i < 3000; i++) {
        log_msg(x.ct, FP_LOG_INFO, "message %d", i);
        want += "message " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(x.msgs(), want);
    EXPECT_EQ(x.ct->msg.used, want.size());
    char* text;
    size_t len;
    fp_get_msgbuf(x.ct, &text, &len);
    EXPECT_EQ(std::string(text, len), want);
    EXPECT_EQ(x.ct->msg.buf, nullptr);
    free(text);
}

void parse_error(fp_ctxt* ct, void*) {
    ct->line = 7;
    parse_err(ct, "Unexpected '%c'.", '=');
}

TEST(LogMsgParseErr, ReportsTheLineAndEndsTheOperation) {
    Ctxt x;
    EXPECT_EQ(fp_guarded(x.ct, parse_error, nullptr), FP_JMP_FATAL);
    EXPECT_EQ(x.msgs(), "Error: Line 7:\tUnexpected '='.\nFATAL.\n");
    EXPECT_EQ(x.ct->status, FP_ST_FATAL);
}

void fail_again(fp_ctxt* ct) {
    ct->rval++;
    log_msg(ct, FP_LOG_FATAL, "inside the script");
}

void fatal(fp_ctxt* ct, void*) {
    log_msg(ct, FP_LOG_FATAL, "first");
}

TEST(LogMsgFatalPath, OnErrorHookRunsOnceEvenWhenItFailsItself) {
    Ctxt x;
    x.ct->on_error = fail_again;
    EXPECT_EQ(fp_guarded(x.ct, fatal, nullptr), FP_JMP_FATAL);
    EXPECT_EQ(x.ct->rval, 1);
    EXPECT_EQ(x.msgs(),
              "first\nFATAL.\ninside the script\n"
              "FATAL ERROR while trying to run on_error script.\n");
}

TEST(LogMsgFatalPath, InstallWithoutScriptsSaysTheConfigurationIsNotValid) {
    Ctxt x;
    x.ct->ptype = FP_OP_INSTALL;
    EXPECT_EQ(fp_guarded(x.ct, fatal, nullptr), FP_JMP_FATAL);
    EXPECT_EQ(x.msgs(),
              "first\nFATAL.\nUnable to check for on_error script, configuration not yet "
              "valid.\n");
}

TEST(LogMsgFatalPath, PartialFileIsRemoved) {
    Ctxt x;
    char path[] = "/tmp/fpack-partial-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    x.ct->partial_path = strdup(path);
    EXPECT_EQ(fp_guarded(x.ct, fatal, nullptr), FP_JMP_FATAL);
    EXPECT_NE(access(path, F_OK), 0);
    EXPECT_EQ(x.ct->partial_path, nullptr);
}

void inner_fatal(fp_ctxt* ct, void*) {
    EXPECT_EQ(fp_guarded(ct, fatal, nullptr), FP_JMP_FATAL);
    ct->rval = 5;  // the outer body goes on after the inner one was caught
    ct->in_on_error = 0;
    fp_jump(ct, FP_JMP_STATUS);
}

TEST(LogMsgGuarded, NestedJumpPointsRestoreTheOuterOne) {
    Ctxt x;
    EXPECT_EQ(fp_guarded(x.ct, inner_fatal, nullptr), FP_JMP_STATUS);
    EXPECT_EQ(x.ct->rval, 5);
    EXPECT_EQ(x.ct->jmp_armed, 0);
}

TEST(LogMsgGuarded, FatalOutsideAnOperationAborts) {
    Ctxt x;
    EXPECT_DEATH(log_msg(x.ct, FP_LOG_FATAL, "lost"), "fatal error outside an operation");
}

}  // namespace
