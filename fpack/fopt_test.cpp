#include "fopt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ctxt_test_util.h"
#include "fppar.h"
#include "keyw.h"

namespace {

struct Rec {
    fp_frec* r = new_frec();
    ~Rec() { dispose_frec(r); }
    std::string printed() const {
        char* t = prt_fopt(r);
        std::string s = t ? t : "<null>";
        free(t);
        return s;
    }
};

long time_of(const char* text) {
    long t = -1;
    EXPECT_EQ(str_to_time(text, &t), 0);
    return t;
}

TEST(Fopt, NewRecordHasNothingSet) {
    Rec rec;
    ASSERT_NE(rec.r, nullptr);
    EXPECT_EQ(rec.r->path, nullptr);
    EXPECT_EQ(rec.r->dest, nullptr);
    EXPECT_EQ(rec.r->next, nullptr);
    EXPECT_EQ(rec.r->opt_flags, 0);
    for (int v : {rec.r->dir_mode, rec.r->file_mode, rec.r->dir_uid, rec.r->file_uid,
                  rec.r->dir_gid, rec.r->file_gid})
        EXPECT_EQ(v, -1);
    EXPECT_EQ(rec.r->mtime, -1);
}

TEST(Fopt, AcceptedOptions) {
    Rec rec;
    fp_frec* r = rec.r;
    struct Case {
        const char* key;
        const char* value;
    } cases[] = {{"s", "/src"},       {"d", "/dst dir"},  {"m", "000644"}, {"M", "755"},
                 {"u", "root"},       {"U", "12"},        {"g", "0"},      {"G", "34"},
                 {"t", "0102030405"}, {"o", "nodescend"}, {"o", "descend"}};
    for (const Case& c : cases) {
        int arg_is_key = -1;
        EXPECT_EQ(fopt_apply(r, c.key, c.value, &arg_is_key), nullptr) << c.key << "=" << c.value;
    }
    EXPECT_STREQ(r->path, "/src");
    EXPECT_STREQ(r->dest, "/dst dir");
    EXPECT_EQ(r->file_mode, 0644);
    EXPECT_EQ(r->dir_mode, 0755);
    EXPECT_EQ(r->file_uid, 0);
    EXPECT_EQ(r->dir_uid, 12);
    EXPECT_EQ(r->file_gid, 0);
    EXPECT_EQ(r->dir_gid, 34);
    EXPECT_EQ(r->mtime, time_of("0102030405"));
    EXPECT_EQ(r->opt_flags, FP_FOPT_DESCEND | FP_FOPT_NODESCEND);  // accumulated
    // A second s= replaces the first.
    int k;
    EXPECT_EQ(fopt_apply(r, "s", "/other", &k), nullptr);
    EXPECT_STREQ(r->path, "/other");
}

TEST(Fopt, RejectedOptionsNameTheirMessage) {
    struct Case {
        const char* key;
        const char* value;
        const char* error;
        int arg_is_key;
    } cases[] = {
        {"mm", "644", "%s: illegal option", 1},
        {"", "644", "%s: illegal option", 1},
        {"x", "1", "%s: illegal option", 1},
        {"S", "/a", "%s: illegal option", 1},
        {"m", "0999", "%s: invalid mode", 0},
        {"M", "12345", "%s: invalid mode", 0},
        {"u", "no_such_user_q7", "%s: invalid file uid", 0},
        {"U", "no_such_user_q7", "%s: invalid directory uid", 0},
        {"g", "no_such_group_q7", "%s: invalid file gid", 0},
        {"G", "1x", "%s: invalid directory gid", 0},
        {"t", "123", "%s: invalid time", 0},
        {"o", "maybe", "%s: invalid option", 0},
        {"s", "", "%s: invalid path", 0},
        {"d", "", "%s: invalid path", 0},
    };
    for (const Case& c : cases) {
        Rec rec;
        int arg_is_key = -1;
        const char* err = fopt_apply(rec.r, c.key, c.value, &arg_is_key);
        ASSERT_NE(err, nullptr) << c.key << "=" << c.value;
        EXPECT_STREQ(err, c.error) << c.key << "=" << c.value;
        EXPECT_EQ(arg_is_key, c.arg_is_key) << c.key;
        EXPECT_EQ(rec.r->file_mode, -1);
        EXPECT_EQ(rec.r->path, nullptr);
    }
}

TEST(Fopt, AddFoptEndsTheOperationWithTheMessage) {
    struct Case {
        const char* key;
        const char* value;
        const char* message;
    } cases[] = {
        {"m", "0999", "Error: Line 3:\t0999: invalid mode\n"},
        {"xy", "1", "Error: Line 3:\txy: illegal option\n"},
        {"U", "nobody_q7", "Error: Line 3:\tnobody_q7: invalid directory uid\n"},
    };
    for (const Case& c : cases) {
        fptest::Ctxt ctx;
        ctx.ct->line = 3;
        Rec rec;
        int rv = fptest::guarded(ctx.ct, [&] { add_fopt(ctx.ct, rec.r, c.key, c.value); });
        EXPECT_EQ(rv, FP_JMP_FATAL);
        EXPECT_EQ(ctx.msgs().rfind(c.message, 0), 0u) << ctx.msgs();
    }
    fptest::Ctxt ctx;
    Rec rec;
    EXPECT_EQ(fptest::guarded(ctx.ct, [&] { add_fopt(ctx.ct, rec.r, "m", "600"); }), 0);
    EXPECT_EQ(rec.r->file_mode, 0600);
}

TEST(Fopt, PrintsTheNameThenEachSetOption) {
    Rec rec;
    EXPECT_EQ(rec.printed(), "");
    rec.r->path = strdup("/src/a.c");
    EXPECT_EQ(rec.printed(), "/src/a.c");
    rec.r->dest = strdup("/opt/my dir");
    rec.r->file_mode = 0644;
    rec.r->dir_mode = 0755;
    rec.r->dir_uid = 1;
    rec.r->file_uid = 2;
    rec.r->dir_gid = 3;
    rec.r->file_gid = 4;
    rec.r->mtime = time_of("0102030405");
    rec.r->opt_flags = FP_FOPT_NODESCEND;
    EXPECT_EQ(rec.printed(),
              "/src/a.c d=\"/opt/my dir\" m=644 M=755 U=1 u=2 G=3 g=4 t=0102030405 o=nodescend");
    rec.r->opt_flags = FP_FOPT_DESCEND | FP_FOPT_NODESCEND;
    free(rec.r->path);
    rec.r->path = strdup("a b=c");
    EXPECT_EQ(rec.printed(),
              "\"a b=c\" d=\"/opt/my dir\" m=644 M=755 U=1 u=2 G=3 g=4 t=0102030405 o=descend");
}

TEST(Fopt, PrintedRecordParsesBack) {
    Rec rec;
    rec.r->path = strdup("/src/we ird \"name\" x=1 #2");
    rec.r->dest = strdup("/dst");
    rec.r->file_mode = 04755;
    rec.r->dir_gid = 0;
    rec.r->mtime = time_of("1231235949");
    rec.r->opt_flags = FP_FOPT_DESCEND;
    std::string line = rec.printed();

    fptest::Ctxt ctx;
    ctx.input(line + "\n");
    int rv = fptest::guarded(ctx.ct, [&] { read_filelist(ctx.ct, 0, 0, 0); });
    ASSERT_EQ(rv, 0) << ctx.msgs();
    fp_frec* back = ctx.ct->files;
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->next, nullptr);
    EXPECT_STREQ(back->path, rec.r->path);
    EXPECT_STREQ(back->dest, rec.r->dest);
    EXPECT_EQ(back->file_mode, rec.r->file_mode);
    EXPECT_EQ(back->dir_mode, -1);
    EXPECT_EQ(back->dir_gid, 0);
    EXPECT_EQ(back->file_uid, -1);
    EXPECT_EQ(back->mtime, rec.r->mtime);
    EXPECT_EQ(back->opt_flags, FP_FOPT_DESCEND);
    char* again = prt_fopt(back);
    EXPECT_EQ(line, again);
    free(again);
}

}  // namespace
