#include "io_filter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ctxt_test_util.h"
#include "fppack.h"
#include "io_chan.h"
#include "keyw.h"
#include "log_msg.h"
#include "runcmd_if.h"
#include "tests/test_util.h"

namespace {

using fptest::Ctxt;
using fptest::guarded;
using fptest::Node;
using testutil::readFile;
using testutil::TempDir;

// Every child a filter started has been reaped.
bool no_children_left() {
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::string script(const TempDir& dir, const std::string& name, const std::string& body) {
    std::string path = dir.write(name, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

// A description packing dir/data (its contents given) with the keywords.
struct Source {
    TempDir dir;
    std::string data;
    explicit Source(std::string contents = "hello, filtered world\n") : data(std::move(contents)) {
        dir.write("data", data);
    }
    std::string desc(const std::string& keywords) const {
        return "#*KFP-v2.07\nsrc_relpath=" + dir.path() + "\n" + keywords + "%\ndata\n%\n%\n";
    }
};

struct Packed {
    int rv;
    std::string out, msgs;
};

Packed pack(const std::string& desc) {
    Ctxt c;
    c.input(desc);
    c.to_memory();
    int rv = fp_operation(c.ct, FP_OP_PACK, FP_MOD_DEFAULT);
    return {rv, c.output(), c.msgs()};
}

struct Unpacked {
    int rv = -1;
    int eof = -1;
    std::vector<Node> nodes;
    std::string msgs;
};

// Reads a block node by node and ends its input stream; from memory, or
// from a file when `file` is given. The operation code decides which
// filters the block may start: install runs any.
Unpacked unpack(const std::string& bytes, const std::string& file = "",
                int ptype = FP_OP_UNPACK_LIST) {
    Ctxt r;
    fp_set_ptype(r.ct, ptype, FP_MOD_DEFAULT);
    if (file.empty()) {
        r.input(bytes);
    } else {
        std::string d = "F " + file;
        fp_set_input(r.ct, ioch_mdata_init(d.data(), (long)d.size()));
    }
    r.ct->conf->stop_on_error = 0;
    Unpacked u;
    u.rv = guarded(r.ct, [&] {
        if (decode_header(r.ct) != 0) return;
        for (;;) {
            Node n;
            char name[FP_NAME_MAX + 1];
            if (getheader(r.ct, &n.st, &n.check, name) != 0) break;
            n.name = name;
            n.body.resize((size_t)n.st.st_size);
            if (n.st.st_size > 0 &&
                ioch_read_exact(r.ct->ip, &n.body[0], n.st.st_size) != n.st.st_size)
                break;
            u.nodes.push_back(n);
            if (n.name == FP_TRAILER_NAME) break;
        }
        u.eof = in_stream_eof(r.ct);
    });
    io_filter_dispose(r.ct);
    u.msgs = r.msgs();
    return u;
}

std::string body_of(const Unpacked& u, const std::string& suffix) {
    for (const Node& n : u.nodes)
        if (n.name.size() >= suffix.size() &&
            n.name.compare(n.name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return n.body;
    return "<missing>";
}

TEST(Filters, GzipBothWaysWithEveryRecordLayer) {
    // Large enough to fill pipes many times over.
    std::string big;
    for (int i = 0; i < 20000; i++) big += "line " + std::to_string(i * 7919 % 1000) + "\n";
    Source src(big);
    const char* layers[] = {"", "do_compress=y\n", "do_checksum=y\n",
                            "do_compress=y\ndo_checksum=y\n"};
    for (const char* layer : layers) {
        SCOPED_TRACE(layer);
        Packed p =
            pack(src.desc(std::string(layer) + "postproc=\"gzip -c\"\npreproc=\"gzip -dc\"\n"));
        ASSERT_EQ(p.rv, 0) << p.msgs;
        EXPECT_EQ(p.msgs, "");
        size_t hdr = p.out.find('\n');
        ASSERT_NE(hdr, std::string::npos);
        EXPECT_NE(p.out.substr(0, hdr).find(" pre=\"gzip -dc\""), std::string::npos);
        // After the header line the stream is the filter's output.
        ASSERT_GT(p.out.size(), hdr + 2);
        EXPECT_EQ(p.out.substr(hdr + 1, 2), "\x1f\x8b");

        Unpacked mem = unpack(p.out);
        EXPECT_EQ(mem.rv, 0) << mem.msgs;
        EXPECT_EQ(mem.eof, 0) << mem.msgs;
        EXPECT_EQ(mem.msgs, "");
        EXPECT_TRUE(body_of(mem, "data") == big) << body_of(mem, "data").substr(0, 80);

        std::string file = src.dir.write("block", p.out);
        Unpacked fd = unpack("", file);
        EXPECT_EQ(fd.eof, 0) << fd.msgs;
        EXPECT_TRUE(body_of(fd, "data") == big) << body_of(fd, "data").substr(0, 80);
    }
    EXPECT_TRUE(no_children_left());
}

TEST(Filters, PackingToAFileDescriptor) {
    Source src;
    std::string out = src.dir.file("out.blk");
    Ctxt c;
    c.input(src.desc("postproc=\"gzip -c\"\npreproc=\"gzip -dc\"\n"));
    std::string d = "WTN600" + out;
    fp_set_output(c.ct, ioch_mdata_init(d.data(), (long)d.size()));
    ASSERT_EQ(fp_operation(c.ct, FP_OP_PACK, FP_MOD_DEFAULT), 0) << c.msgs();
    fp_close_output(c.ct);
    Unpacked u = unpack(testutil::readFile(out));
    EXPECT_EQ(u.eof, 0) << u.msgs;
    EXPECT_EQ(body_of(u, "data"), src.data);
}

TEST(Filters, ExitReportsMarkTheStreamFailed) {
    TempDir dir;
    struct Case {
        std::string body;
        std::string msgs;
        std::string unpack_first;  // what reading the filtered block reports before
    };
    const Case cases[] = {
        {"cat\necho oops >&2\nexit 3\n", "filter: stderr:\noops\n\nfilter: subcmd ecode(0003)\n",
         ""},
        {"cat\nexit 42\n", "filter: subcmd ecode(002a)\n", ""},
        {"cat\necho only a warning >&2\n", "filter: stderr:\nonly a warning\n\n", ""},
        {"cat >/dev/null\nkill -9 $$\n", "filter: ecode (0x9)\n", "header: short read\n"},
    };
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        std::string filt = script(dir, "filt" + std::to_string(i++), c.body);
        Source src;
        // Packing side.
        Packed p = pack(src.desc("stop_on_error=n\npostproc=" + filt + "\npreproc=cat\n"));
        EXPECT_EQ(p.rv, FP_ST_FAILED);
        EXPECT_EQ(p.msgs, c.msgs);

        // Unpacking side: a block that announces the filter.
        Packed plain = pack(src.desc("postproc=cat\npreproc=" + filt + "\n"));
        ASSERT_EQ(plain.rv, 0) << plain.msgs;
        Unpacked u = unpack(plain.out, "", FP_OP_INSTALL);
        EXPECT_EQ(u.eof, -1);
        EXPECT_EQ(u.msgs, "pre-process: \"" + filt + "\"\n" + c.unpack_first + c.msgs);
    }
    EXPECT_TRUE(no_children_left());
}

TEST(Filters, FailuresToStartAndTooManyWords) {
    Source src;
    struct Case {
        std::string post, pre;
        std::string pack_msgs, unpack_msgs;
    };
    // Installing: no scripts are set up when the block's header fails.
    const std::string no_scripts =
        "FATAL.\nUnable to check for on_error script, configuration not yet valid.\n";
    const Case cases[] = {
        {"/nonexistent/filter", "cat", "post-process failed (err 3)\nFATAL.\n", ""},
        {"cat", "/nonexistent/filter", "",
         "pre-process: \"/nonexistent/filter\"\npre-process failed (err 3)\n" + no_scripts},
        {"a 1 2 3 4 5 6 7 8 9 10", "cat", "too many args\nFATAL.\n", ""},
        {"cat", "a 1 2 3 4 5 6 7 8 9 10", "", "too many args\n" + no_scripts},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.post + " / " + c.pre);
        Packed p = pack(src.desc("postproc=\"" + c.post + "\"\npreproc=\"" + c.pre + "\"\n"));
        EXPECT_EQ(p.msgs, c.pack_msgs);
        if (!c.pack_msgs.empty()) {
            EXPECT_EQ(p.rv, 1);
            continue;
        }
        Unpacked u = unpack(p.out, "", FP_OP_INSTALL);
        EXPECT_EQ(u.rv, FP_JMP_FATAL);
        EXPECT_EQ(u.msgs, c.unpack_msgs);
    }
    // Ten words are allowed.
    TempDir dir;
    std::string ten = script(dir, "ten", "cat\n") + " 1 2 3 4 5 6 7 8 9";
    Packed p = pack(src.desc("postproc=\"" + ten + "\"\npreproc=\"" + ten + "\"\n"));
    EXPECT_EQ(p.rv, 0) << p.msgs;
    Unpacked u = unpack(p.out, "", FP_OP_INSTALL);
    EXPECT_EQ(u.eof, 0) << u.msgs;
    EXPECT_EQ(body_of(u, "data"), src.data);
    EXPECT_TRUE(no_children_left());
}

TEST(Filters, AFilterThatStopsReadingEndsThePackCleanly) {
    // More than a pipe holds, into a filter that reads nothing.
    Source src(std::string(1 << 20, 'x'));
    Packed p = pack(src.desc("postproc=true\npreproc=cat\n"));
    EXPECT_EQ(p.rv, 1);
    EXPECT_NE(p.msgs.find("out_stream write error"), std::string::npos) << p.msgs;
    EXPECT_TRUE(no_children_left());
}

// The state letter of a process in /proc, or 0 when it is gone.
char proc_state(long pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

// Whether the process is gone (or a zombie of another parent), allowing the
// system a moment to take it down.
bool gone(long pid) {
    char state = proc_state(pid);
    for (int i = 0; i < 200 && state != 0 && state != 'Z'; i++) {
        usleep(20000);
        state = proc_state(pid);
    }
    return state == 0 || state == 'Z';
}

// Listing, sizing, masks and repacking run no command that the block
// chooses, except known decompressors with flag words; install runs the
// block's filter and says so. The marker shows whether a filter ran.
TEST(Filters, InspectionRunsOnlyKnownDecompressors) {
    Source src;
    std::string marker = src.dir.file("ran");
    std::string mark = script(src.dir, "mark", "echo >> " + marker + "\nexec cat\n");
    Packed plain = pack(src.desc("postproc=cat\npreproc=" + mark + "\n"));
    Packed gz = pack(src.desc("postproc=\"gzip -c\"\npreproc=\"gzip -dc\"\n"));
    ASSERT_EQ(plain.rv, 0) << plain.msgs;
    ASSERT_EQ(gz.rv, 0) << gz.msgs;
    const int inspecting[] = {FP_OP_UNPACK_LIST, FP_OP_LIST_BITS,   FP_OP_UNPACK_SIZE,
                              FP_OP_REPACK,      FP_OP_REPACK_HDRS, FP_OP_READ_CONF};
    for (int op : inspecting) {
        SCOPED_TRACE(op);
        Unpacked u = unpack(plain.out, "", op);
        EXPECT_EQ(u.rv, FP_JMP_FATAL);
        EXPECT_EQ(u.msgs, "pre-process refused: \"" + mark +
                              "\" is not a known decompressor; set FPACK_ALLOW_PRE to this "
                              "command to run it\nFATAL.\n");
        EXPECT_NE(access(marker.c_str(), F_OK), 0);
        Unpacked z = unpack(gz.out, "", op);
        EXPECT_EQ(z.eof, 0) << z.msgs;
        EXPECT_EQ(body_of(z, "data"), src.data);
    }
    {
        // A preview of an uninstall runs nothing either.
        Ctxt r;
        r.input(plain.out);
        fp_set_ptype(r.ct, FP_OP_UNINSTALL, FP_MOD_DEFAULT | FP_MOD_N);
        EXPECT_EQ(guarded(r.ct, [&] { decode_header(r.ct); }), FP_JMP_FATAL);
        EXPECT_NE(r.msgs().find("pre-process refused"), std::string::npos) << r.msgs();
        EXPECT_NE(access(marker.c_str(), F_OK), 0);
    }
    {
        testutil::ScopedEnv allow("FPACK_ALLOW_PRE", mark.c_str());
        Unpacked u = unpack(plain.out);
        EXPECT_EQ(u.eof, 0) << u.msgs;
        EXPECT_EQ(u.msgs, "");
        EXPECT_EQ(readFile(marker), "\n");
    }
    Unpacked installing = unpack(plain.out, "", FP_OP_INSTALL);
    EXPECT_EQ(installing.eof, 0) << installing.msgs;
    EXPECT_EQ(installing.msgs, "pre-process: \"" + mark + "\"\n");
    EXPECT_EQ(readFile(marker), "\n\n");
    EXPECT_TRUE(no_children_left());
}

TEST(Filters, DecompressorsAreKnownByBareNameAndFlagWords) {
    Source src;
    struct Case {
        const char* pre;
        bool runs;
    };
    const Case cases[] = {
        {"gzip -dc", true},
        {"zcat", true},
        {"gzip -d -c -q", true},
        {"gzip --decompress --stdout", true},
        {"gzip -dc /etc/passwd", false},
        {"/bin/gzip -dc", false},
        {"gzip -dc -S x", false},
        {"sh -c cat", false},
        {"./zcat", false},
        {"gzip -dcf", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pre);
        Packed p = pack(src.desc("postproc=\"gzip -c\"\npreproc=\"" + std::string(c.pre) + "\"\n"));
        ASSERT_EQ(p.rv, 0) << p.msgs;
        Unpacked u = unpack(p.out);
        EXPECT_EQ(u.msgs.find("pre-process refused") == std::string::npos, c.runs) << u.msgs;
        if (c.runs) {
            EXPECT_EQ(body_of(u, "data"), src.data);
        }
    }
    EXPECT_TRUE(no_children_left());
}

// A filter that does not end once its input has ended is stopped after
// progs_timeout, and so is all it started.
TEST(Filters, FilterThatDoesNotEndIsStopped) {
    Source src;
    std::string pidfile = src.dir.file("pid");
    std::string lingers =
        script(src.dir, "lingers", "cat\nsleep 30 &\necho $! > " + pidfile + "\nexec sleep 30\n");
    Packed p =
        pack(src.desc("stop_on_error=n\nprogs_timeout=1\npostproc=" + lingers + "\npreproc=cat\n"));
    EXPECT_EQ(p.rv, FP_ST_FAILED);
    EXPECT_EQ(p.msgs,
              "filter: still running 1 s after its input ended; stopped\nfilter: ecode (0xf)\n");
    EXPECT_TRUE(gone(atol(readFile(pidfile).c_str())));
    EXPECT_TRUE(no_children_left());
}

// Stopping a filter ends its process group: also what it started, and also
// when it ignores the polite signal.
TEST(Filters, DisposeStopsARunningFilter) {
    TempDir dir;
    std::string pidfile = dir.file("pid");
    std::string sleeper = script(dir, "sleeper",
                                 "trap '' TERM\nsleep 30 &\necho $! > " + pidfile + ".tmp\nmv " +
                                     pidfile + ".tmp " + pidfile + "\nexec sleep 30\n");
    Source src;
    Packed p = pack(src.desc("postproc=cat\npreproc=" + sleeper + "\n"));
    ASSERT_EQ(p.rv, 0) << p.msgs;
    Ctxt r;
    r.input(p.out);
    fp_set_ptype(r.ct, FP_OP_INSTALL, FP_MOD_DEFAULT);
    ASSERT_EQ(guarded(r.ct, [&] { decode_header(r.ct); }), 0) << r.msgs();
    EXPECT_NE(r.ct->filter_pid, 0);
    for (int i = 0; i < 500 && access(pidfile.c_str(), F_OK) != 0; i++) usleep(10000);
    io_filter_dispose(r.ct);
    EXPECT_EQ(r.ct->filter_pid, 0);
    EXPECT_TRUE(no_children_left());
    EXPECT_TRUE(gone(atol(readFile(pidfile).c_str())));
}

TEST(CmdToArgs, SplitsAtBlanksAndTabs) {
    char text[] = "  gzip\t-dc  -q ";
    char* argv[4];
    ASSERT_EQ(cmd_to_args(text, 3, argv), 3);
    EXPECT_STREQ(argv[0], "gzip");
    EXPECT_STREQ(argv[1], "-dc");
    EXPECT_STREQ(argv[2], "-q");
    EXPECT_EQ(argv[3], nullptr);
    char four[] = "a b c d";
    EXPECT_EQ(cmd_to_args(four, 3, argv), -1);
}

testutil::RunResult fpack(std::vector<std::string> args) {
    args.insert(args.begin(), FPACK_BIN);
    return testutil::run(args);
}

TEST(FiltersProgram, GzipBlockInstalls) {
    TempDir dir;
    mkdir(dir.file("src").c_str(), 0755);
    mkdir(dir.file("dst").c_str(), 0755);
    dir.write("src/a.txt", "alpha\n");
    dir.write("src/b.txt", std::string(100000, 'b'));
    std::string desc = dir.write("pkg.fpd", "#*KFP-v2.07\nsrc_relpath=" + dir.file("src") +
                                                "\ndefault_dest=" + dir.file("dst") +
                                                "\npostproc=\"gzip -c\"\npreproc=\"gzip -dc\"\n"
                                                "do_checksum=y\n%\na.txt\nb.txt\n%\n%\n");
    std::string blk = dir.file("pkg.blk");
    testutil::RunResult p = fpack({"-f", blk, desc});
    ASSERT_EQ(p.status, 0) << p.err;
    // Install says which filter the block made it run.
    const std::string said = "messages:\npre-process: \"gzip -dc\"\n";
    testutil::RunResult u = fpack({"-u", blk});
    EXPECT_EQ(u.status, FP_EXIT_MSGS) << u.err;
    EXPECT_EQ(u.err, said);
    EXPECT_EQ(readFile(dir.file("dst/a.txt")), "alpha\n");
    EXPECT_TRUE(readFile(dir.file("dst/b.txt")) == std::string(100000, 'b'));
    // The same block on standard input.
    unlink(dir.file("dst/a.txt").c_str());
    u = testutil::run({"sh", "-c", std::string(FPACK_BIN) + " -u - < " + blk});
    EXPECT_EQ(u.status, FP_EXIT_MSGS) << u.err;
    EXPECT_EQ(u.err, said);
    EXPECT_EQ(readFile(dir.file("dst/a.txt")), "alpha\n");
}

// The administrator looks into a block that names its own filter: nothing
// runs unless allowed, and the refusal says how to allow it.
TEST(FiltersProgram, LookingIntoABlockRunsNotItsFilter) {
    TempDir dir;
    dir.write("a.txt", "alpha\n");
    std::string marker = dir.file("ran");
    std::string filt = script(dir, "filt", "echo >> " + marker + "\nexec cat\n");
    std::string desc =
        dir.write("pkg.fpd", "#*KFP-v2.07\nsrc_relpath=" + dir.path() +
                                 "\npostproc=cat\npreproc=" + filt + "\n%\na.txt\n%\n%\n");
    std::string blk = dir.file("pkg.blk");
    ASSERT_EQ(fpack({"-f", blk, desc}).status, 0);
    for (const char* op : {"-p", "-s", "-b"}) {
        testutil::RunResult r = fpack({"-u", op, blk});
        EXPECT_EQ(r.status, FP_EXIT_FAIL_MSGS) << op;
        EXPECT_NE(r.err.find("messages:\npre-process refused: \"" + filt +
                             "\" is not a known decompressor; set FPACK_ALLOW_PRE to this command "
                             "to run it\nFATAL.\n"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
    testutil::RunResult r =
        testutil::run({FPACK_BIN, "-u", "-p", blk}, "", {"FPACK_ALLOW_PRE=" + filt});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  a.txt\n"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(marker), "\n");
}

TEST(FiltersProgram, FailingInputFilterExitsWithMessages) {
    TempDir dir;
    mkdir(dir.file("dst").c_str(), 0755);
    dir.write("a.txt", "alpha\n");
    std::string filt = script(dir, "filt", "cat\necho broken >&2\nexit 3\n");
    std::string desc = dir.write(
        "pkg.fpd", "#*KFP-v2.07\nsrc_relpath=" + dir.path() + "\ndefault_dest=" + dir.file("dst") +
                       "\npostproc=cat\npreproc=" + filt + "\n%\na.txt\n%\n%\n");
    std::string blk = dir.file("pkg.blk");
    ASSERT_EQ(fpack({"-f", blk, desc}).status, 0);
    testutil::RunResult u = fpack({"-u", blk});
    EXPECT_EQ(u.status, FP_EXIT_FAIL_MSGS);
    EXPECT_NE(u.err.find("filter: stderr:\nbroken\n\nfilter: subcmd ecode(0003)\n"),
              std::string::npos)
        << u.err;
}

}  // namespace
