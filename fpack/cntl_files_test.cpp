#include "cntl_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ctxt_test_util.h"
#include "fppack.h"
#include "keyw.h"
#include "run_script.h"
#include "tests/test_util.h"
#include "unpack_test_util.h"

namespace {

using fptest::Ctxt;
using fptest::guarded;
using fptest::Node;
using testutil::readFile;
using testutil::TempDir;
using uptest::Result;

// A source directory with one data file and scripts that log their name,
// argument and input to dir/log.
struct Source {
    TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst"), log = dir.file("log");
    Source() {
        uptest::mkdir_p(src);
        uptest::mkdir_p(dst);
        dir.write("src/tree", "data\n");
        script("b.sh");
        script("b2.sh");
        dir.write("src/in0", "input zero");
    }
    void script(const std::string& name, int status = 0) {
        std::string path =
            dir.write("src/" + name, "#!/bin/sh\necho \"$(basename $0) $1 $(cat)\" >> " + log +
                                         "\nexit " + std::to_string(status) + "\n");
        chmod(path.c_str(), 0755);
    }
    std::string desc(const std::string& keywords) const {
        return uptest::description(src, dst, keywords);
    }
    // The node name of a file under dst (packing drops the leading "/").
    std::string node(const std::string& rel) const { return dst.substr(1) + "/" + rel; }
    long size(const std::string& keywords) const {
        Ctxt c;
        c.input(desc(keywords));
        fp_set_name(c.ct, "pkg");
        EXPECT_EQ(fp_operation(c.ct, FP_OP_SIZE, FP_MOD_DEFAULT | FP_MOD_N), 0) << c.msgs();
        return fp_get_rval(c.ct);
    }
    Result pack(const std::string& keywords, int code = FP_OP_PACK) const {
        return uptest::pack(desc(keywords), code);
    }
};

const char kTravel[] =
    "unix_before_prog_path=b.sh,,b2.sh\nunix_before_prog_from_src=y\n"
    "unix_before_input_path=in0\nunix_before_input_from_src=y\n";

std::vector<std::string> names_of(const std::vector<Node>& nodes) {
    std::vector<std::string> out;
    for (const Node& n : nodes) out.push_back(n.name);
    return out;
}

TEST(CntlPack, ScriptsTravelAsControlNodesInIndexOrder) {
    Source s;
    // The after script stays on the target host: only its path travels.
    Result r = s.pack(std::string(kTravel) + "unix_after_prog_path=/opt/after.sh\n");
    ASSERT_EQ(r.rv, 0) << r.msgs;
    std::vector<Node> nodes = fptest::read_block(r.out);
    EXPECT_EQ(names_of(nodes),
              (std::vector<std::string>{"VelkarCntlDir/pkg/cntl", "VelkarCntlDir/pkg/unix_before0",
                                        "VelkarCntlDir/pkg/unix_before2",
                                        "VelkarCntlDir/pkg/unix_before_in0", s.node("tree"),
                                        "TRAILER!!!"}));
    ASSERT_EQ(nodes.size(), 6u);
    EXPECT_EQ(nodes[1].body, readFile(s.src + "/b.sh"));
    EXPECT_EQ(nodes[2].body, readFile(s.src + "/b2.sh"));
    EXPECT_EQ(nodes[3].body, "input zero");
    EXPECT_EQ(nodes[1].st.st_mode & 0777, 0755u);

    // The size of the package counts the travelling scripts.
    long scripts = (long)(nodes[1].body.size() + nodes[2].body.size() + nodes[3].body.size());
    EXPECT_EQ(s.size(kTravel), s.size("") + scripts);
    EXPECT_EQ(s.size(""), 5);
}

TEST(CntlPack, MissingScriptFailsThePack) {
    Source s;
    Result r =
        s.pack("stop_on_error=n\nunix_commit_prog_path=gone.sh\nunix_commit_prog_from_src=y\n");
    EXPECT_EQ(r.rv, FP_ST_FAILED);
    EXPECT_EQ(r.msgs, "stat on " + s.src + "/gone.sh: No such file or directory: \n");
}

TEST(CntlNames, ExtractFtype) {
    Ctxt c;
    struct Case {
        const char* name;
        const char* control;  // null: -1 (not a control node), "": -2
        int index;
    };
    const Case cases[] = {
        {"VelkarCntlDir/p/cntl", "cntl", -1},
        {"VelkarCntlDir/p/unix_before12", "unix_before", 12},
        {"VelkarCntlDir/a/b/unix_after_in3", "unix_after_in", 3},
        {"VelkarCntlDir/p/os400_on_error_in0", "os400_on_error_in", 0},
        {"VelkarCntlDir/p/bogus1", "", -1},
        {"VelkarCntlDir/p/unix_before12345", "", -1},
        {"VelkarCntlDir/p/7", "", -1},
        {"VelkarCntlDirX/p/cntl", nullptr, -1},
        {"/VelkarCntlDir/p/cntl", nullptr, -1},
        {"tree/cntl", nullptr, -1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        int index = 99;
        int idx = extract_ftype(c.ct, k.name, &index);
        int want = k.control == nullptr ? -1 : *k.control == '\0' ? -2 : fp_cntl_index(k.control);
        EXPECT_EQ(idx, want);
        if (idx >= 0) {
            EXPECT_EQ(index, k.index);
        }
    }
}

// A block written node by node.
struct BlockWriter : Ctxt {
    BlockWriter() {
        to_memory();
        fp_set_name(ct, "p");
        EXPECT_EQ(guarded(ct, [&] { encode_header(ct); }), 0);
    }
    void node(const std::string& name, const std::string& body, mode_t mode = 0100644) {
        struct stat st;
        memset(&st, 0, sizeof st);
        st.st_mode = mode;
        st.st_nlink = 1;
        EXPECT_EQ(guarded(ct,
                          [&] {
                              putheader(ct, name.c_str(), &st, 0, (long)body.size());
                              fp_out_write(ct, body.data(), (long)body.size());
                          }),
                  0);
    }
    std::string finish() {
        EXPECT_EQ(guarded(ct, [&] { dotrailer(ct); }), 0);
        return output();
    }
};

int g_events = 0;
std::vector<std::string> g_cntl;
int record_cntl(fp_ctxt*, int event, const char* name, struct stat*, fp_frec*) {
    g_events++;
    if (event == FP_EV_CNTL) g_cntl.push_back(name);
    return 0;
}

struct Read {
    int rv = -2, jumped = -1;
    std::string first, msgs;
};

// unpack_cntl on a block, as the first step of a package.
Read read_cntl(const std::string& block, int ptype, long mods) {
    Ctxt c;
    c.input(block);
    fp_set_ptype(c.ct, ptype, mods);
    c.ct->fn = record_cntl;
    c.ct->conf->stop_on_error = 0;
    Read r;
    g_events = 0;
    g_cntl.clear();
    r.jumped = guarded(c.ct, [&] {
        if (decode_header(c.ct) != 0) return;
        struct stat st;
        char name[FP_NAME_MAX + 1];
        r.rv = unpack_cntl(c.ct, &st, name);
        if (r.rv == 0) r.first = name;
    });
    unpack_cntl_end(c.ct);
    r.msgs = c.msgs();
    return r;
}

TEST(CntlRead, ControlNodesGoToTheCallbackWithC) {
    Source s;
    Result p = s.pack(kTravel);
    ASSERT_EQ(p.rv, 0) << p.msgs;
    Read r = read_cntl(p.out, FP_OP_UNPACK_LIST, FP_MOD_CNTL | FP_MOD_N);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(r.first, s.node("tree"));
    EXPECT_EQ(g_cntl, (std::vector<std::string>{"VelkarCntlDir/pkg/unix_before0",
                                                "VelkarCntlDir/pkg/unix_before2",
                                                "VelkarCntlDir/pkg/unix_before_in0"}));
    // Without C the callback sees nothing.
    Read quiet = read_cntl(p.out, FP_OP_UNPACK_LIST, FP_MOD_N);
    EXPECT_EQ(quiet.first, s.node("tree"));
    EXPECT_EQ(g_events, 0);
}

TEST(CntlRead, BadControlAreas) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> nodes;
        int jumped;
        std::string msgs;
    };
    // The install has no on-error script yet when its control area is bad.
    const std::string fatal =
        "FATAL.\nUnable to check for on_error script, configuration not yet valid.\n";
    const Case cases[] = {
        {{{"tree/a", "x"}}, FP_JMP_FATAL, "no control files found.\n" + fatal},
        {{{"VelkarCntlDir/p/bogus", "x"}},
         FP_JMP_FATAL,
         "VelkarCntlDir/p/bogus: illegal filename\nno control files found.\n" + fatal},
        {{{"VelkarCntlDir/p/unix_before0", "x"}},
         FP_JMP_FATAL,
         "no control files found.\n" + fatal},
        // A script whose keyword says it does not travel.
        {{{"VelkarCntlDir/p/cntl", std::string("stop_on_error=n\n", 17)},
          {"VelkarCntlDir/p/unix_after_in1", "x"}},
         FP_JMP_FATAL,
         "ct->conf.unix_after_input_from_src != 0\n" + fatal},
        // Names in the control area that name no control file are not
        // installed anywhere.
        {{{"VelkarCntlDir/p/cntl", std::string("stop_on_error=n\n", 17)},
          {"VelkarCntlDir/p/junk", "x"},
          {"VelkarCntlDir/p/unix_before", "no index"}},
         0,
         "VelkarCntlDir/p/junk: illegal filename\n"
         "VelkarCntlDir/p/unix_before: illegal filename\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msgs);
        BlockWriter w;
        for (auto& n : c.nodes) w.node(n.first, n.second);
        Read r = read_cntl(w.finish(), FP_OP_INSTALL, FP_MOD_D);
        EXPECT_EQ(r.jumped, c.jumped);
        EXPECT_EQ(r.msgs, c.msgs);
        if (c.jumped == 0) {
            EXPECT_EQ(r.first, "TRAILER!!!");
        }
    }
}

TEST(CntlRead, OverrideKeepsTheBlocksHeadersOnlyBit) {
    Source s;
    Result p = s.pack("", FP_OP_PACK_HDRS);
    ASSERT_EQ(p.rv, 0) << p.msgs;
    Ctxt c;
    c.input(p.out);
    fp_set_conf_override(c.ct, "modifiers=0\ncreate_dirs=n\n");
    fp_set_ptype(c.ct, FP_OP_UNPACK_LIST, 0);
    c.ct->fn = record_cntl;
    ASSERT_EQ(guarded(c.ct,
                      [&] {
                          decode_header(c.ct);
                          struct stat st;
                          char name[FP_NAME_MAX + 1];
                          unpack_cntl(c.ct, &st, name);
                      }),
              0)
        << c.msgs();
    EXPECT_TRUE(c.ct->conf->modifiers & FP_MOD_H);
    EXPECT_EQ(c.ct->conf->create_dirs, 0);
    // A caller without modifiers gets h alone from a headers-only block.
    EXPECT_EQ(c.ct->modifiers, FP_MOD_H);
    unpack_cntl_end(c.ct);
}

TEST(CntlInstall, ScriptsFromTheBlockRunAndTheirFilesGo) {
    Source s;
    Result p = s.pack(kTravel);
    ASSERT_EQ(p.rv, 0) << p.msgs;
    Result r = uptest::unpack(p.out, FP_OP_INSTALL);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(readFile(s.log), "unix_before0 before input zero\nunix_before2 before \n");
    EXPECT_EQ(readFile(s.dst + "/tree"), "data\n");
    // The scripts lay in a private directory that is gone afterwards.
    size_t at = r.msgs.find("starting script: ");
    ASSERT_NE(at, std::string::npos) << r.msgs;
    std::string script = r.msgs.substr(at + 17, r.msgs.find('\n', at) - at - 17);
    std::string dir = script.substr(0, script.rfind('/'));
    EXPECT_EQ(access(dir.c_str(), F_OK), -1) << dir;
}

TEST(CntlInstall, InstallProgsKeepsScriptsUnderThePrefix) {
    Source s;
    Result p = s.pack(std::string(kTravel) + "install_progs=y\n");
    ASSERT_EQ(p.rv, 0) << p.msgs;
    std::string root = s.dir.file("root");
    Result r =
        uptest::unpack(p.out, FP_OP_INSTALL, FP_MOD_DEFAULT, "unix_platform_prefix=" + root + "\n");
    EXPECT_EQ(r.rv, 0) << r.msgs;
    std::string kept = root + "/VelkarCntlDir/pkg/unix_before0";
    struct stat st;
    ASSERT_EQ(stat(kept.c_str(), &st), 0) << r.msgs;
    EXPECT_EQ(st.st_mode & 07777, 0500u);
    EXPECT_EQ(readFile(kept), readFile(s.src + "/b.sh"));
    EXPECT_EQ(readFile(s.log), "unix_before0 before input zero\nunix_before2 before \n");
}

TEST(CntlInstall, InstallProgsRefusesAPackageNameLeadingElsewhere) {
    Source s;
    Result p = uptest::pack(s.desc(std::string(kTravel) + "install_progs=y\n"), FP_OP_PACK,
                            "../../escape");
    ASSERT_EQ(p.rv, 0) << p.msgs;
    std::string root = s.dir.file("root/deep");
    Result r = uptest::unpack(p.out, FP_OP_INSTALL, FP_MOD_DEFAULT,
                              "stop_on_error=n\nunix_platform_prefix=" + root + "\n");
    EXPECT_NE(r.msgs.find("VelkarCntlDir/../../escape/unix_before0: illegal filename\n"),
              std::string::npos)
        << r.msgs;
    EXPECT_EQ(access(s.dir.file("root/escape").c_str(), F_OK), -1);
    EXPECT_EQ(readFile(s.log), "");
}

TEST(CntlInstall, FailingBeforeScriptSkipsThePackageOnlyWithSkipNonZero) {
    for (bool skip : {false, true}) {
        SCOPED_TRACE(skip);
        Source s;
        s.script("b.sh", 1);
        Result p = s.pack(std::string(kTravel) + "stop_on_error=n\nunix_before_skip_non_zero=" +
                          (skip ? "y" : "n") + "\n");
        ASSERT_EQ(p.rv, 0) << p.msgs;
        Result r = uptest::unpack(p.out, FP_OP_INSTALL);
        EXPECT_EQ(readFile(s.log), skip ? "unix_before0 before input zero\n"
                                        : "unix_before0 before input zero\nunix_before2 before \n");
        EXPECT_EQ(access((s.dst + "/tree").c_str(), F_OK), skip ? -1 : 0);
        EXPECT_EQ(r.msgs.find("before script failure") != std::string::npos, skip) << r.msgs;
        EXPECT_EQ(r.rv, skip ? FP_ST_FAILED : 0) << r.msgs;
    }
}

TEST(CntlInstall, OnErrorScriptRunsOnceWhenTheInstallFails) {
    Source s;
    s.script("err.sh");
    Result p = s.pack(std::string(kTravel) +
                      "unix_on_error_prog_path=err.sh\nunix_on_error_prog_from_src=y\n");
    ASSERT_EQ(p.rv, 0) << p.msgs;
    // A directory where the file goes makes the install fail.
    uptest::mkdir_p(s.dst + "/tree");
    Result r = uptest::unpack(p.out, FP_OP_INSTALL);
    EXPECT_EQ(r.rv, 1);
    EXPECT_EQ(readFile(s.log),
              "unix_before0 before input zero\nunix_before2 before \n"
              "unix_on_error0 on_error_install \n");
    EXPECT_NE(r.msgs.find("FATAL because stop_on_error is enabled.\nstarting script: "),
              std::string::npos)
        << r.msgs;
    size_t at = r.msgs.rfind("starting script: ");
    std::string script = r.msgs.substr(at + 17, r.msgs.find('\n', at) - at - 17);
    EXPECT_EQ(access(script.c_str(), F_OK), -1) << script;
}

TEST(CntlInstall, NoticeSettingsOfTheBlock) {
    Source s;
    Result p = s.pack("post_notice=y\nmail_id=ops@example\nlog_host=loghost\n");
    ASSERT_EQ(p.rv, 0) << p.msgs;
    Result r = uptest::unpack(p.out, FP_OP_NOTICE);
    EXPECT_EQ(r.rv, 0) << r.msgs;
    EXPECT_EQ(r.msgs, "post_notice: 1\nmail_id: ops@example\nlog_host: loghost\nlog_file:\t\n\n");
}

}  // namespace
