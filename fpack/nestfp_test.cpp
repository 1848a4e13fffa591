#include "nestfp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ctxt_test_util.h"
#include "tests/test_util.h"
#include "unpack_test_util.h"

namespace {

using fptest::Ctxt;
using testutil::readFile;
using testutil::TempDir;

struct NodeAt {
    std::string name, body;
};

// Every node of every package in a block, in stream order (the zero
// padding after a trailer is stepped over).
std::vector<NodeAt> scan(const std::string& block) {
    std::vector<NodeAt> out;
    size_t pos = block.find('\n');
    if (pos == std::string::npos) return out;
    pos++;
    while (pos + 110 <= block.size()) {
        if (block.compare(pos, 6, "070702") != 0) {
            while (pos < block.size() && block[pos] == '\0') pos++;
            if (pos + 110 > block.size() || block.compare(pos, 6, "070702") != 0) break;
        }
        unsigned long size = strtoul(block.substr(pos + 6 + 6 * 8, 8).c_str(), nullptr, 16);
        unsigned long namesize = strtoul(block.substr(pos + 6 + 11 * 8, 8).c_str(), nullptr, 16);
        NodeAt n;
        n.name = block.substr(pos + 110, namesize - 1);
        n.body = block.substr(pos + 110 + namesize, size);
        out.push_back(n);
        pos += 110 + namesize + size;
    }
    return out;
}

std::vector<std::string> names(const std::vector<NodeAt>& nodes) {
    std::vector<std::string> out;
    for (const NodeAt& n : nodes) out.push_back(n.name);
    return out;
}

// Descriptions in one directory, each packing its own file (named after
// the description) to dst.
struct Descs {
    TempDir dir;
    std::string dst = dir.file("dst");
    Descs() { uptest::mkdir_p(dst); }
    // Writes name.fpd packing file `name` and nesting `nested` entries.
    std::string write(const std::string& name, const std::string& keywords,
                      const std::vector<std::string>& nested = {}) {
        dir.write(name, "contents of " + name + "\n");
        std::string text = "#*KFP-v2.07\nsrc_relpath=" + dir.path() + "\ndefault_dest=" + dst +
                           "\n" + keywords + "%\n" + name + "\n%\n";
        for (const std::string& e : nested) text += e + "\n";
        return dir.write(name + ".fpd", text + "%\n");
    }
    std::string node(const std::string& name) const { return dst.substr(1) + "/" + name; }
};

struct Packed {
    int rv;
    std::string out, msgs;
    long rval;
};

Packed pack(const std::string& desc_path, int code = FP_OP_PACK, long mods = FP_MOD_DEFAULT) {
    Ctxt c;
    c.to_memory();
    std::string d = "F " + desc_path;
    fp_set_input(c.ct, ioch_mdata_init(d.data(), (long)d.size()));
    fp_set_name(c.ct, "outer");
    int rv = fp_operation(c.ct, code, mods);
    return {rv, c.output(), c.msgs(), fp_get_rval(c.ct)};
}

TEST(Nested, LocalPackagesShareTheStreamInEitherOrder) {
    for (bool first : {false, true}) {
        SCOPED_TRACE(first);
        Descs d;
        std::string inner = d.write("inner", "");
        std::string outer = d.write("outer", first ? "nested_first=y\n" : "", {"Lfile=" + inner});
        Packed p = pack(outer);
        ASSERT_EQ(p.rv, 0) << p.msgs;
        EXPECT_EQ(p.msgs, "--Nested File Package Start: Lfile=" + inner +
                              "\n--Nested File Package Finish: Lfile=" + inner + "\n");
        std::vector<std::string> in = {"VelkarCntlDir//inner.fpd/cntl", d.node("inner"),
                                       "TRAILER!!!"};
        std::vector<std::string> out = {"VelkarCntlDir/outer/cntl", d.node("outer"), "TRAILER!!!"};
        std::vector<std::string> want = first ? in : out;
        want.insert(want.end(), first ? out.begin() : in.begin(), first ? out.end() : in.end());
        EXPECT_EQ(names(scan(p.out)), want);
        // Every package's trailer pads the stream to a multiple of 512.
        EXPECT_EQ((p.out.size() - p.out.find('\n') - 1) % 512, 0u);

        // Unpacking the block installs both packages.
        uptest::Result r = uptest::unpack(p.out, FP_OP_INSTALL);
        EXPECT_EQ(r.rv, 0) << r.msgs;
        EXPECT_EQ(readFile(d.dst + "/inner"), "contents of inner\n");
        EXPECT_EQ(readFile(d.dst + "/outer"), "contents of outer\n");
    }
}

// A chain of n descriptions, each nesting the next; returns the first.
std::string chain(Descs& d, int n) {
    std::string next;
    for (int i = n - 1; i >= 0; i--) {
        std::vector<std::string> nested;
        if (!next.empty()) nested.push_back("Lfile=" + next);
        next = d.write("d" + std::to_string(i), "", nested);
    }
    return next;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(Nested, SixteenLevelsPackSeventeenFail) {
    Descs ok;
    Packed p = pack(chain(ok, 16));
    EXPECT_EQ(p.rv, 0) << p.msgs;
    size_t cntl = 0;
    for (const NodeAt& n : scan(p.out))
        cntl += n.name.size() > 5 && n.name.substr(n.name.size() - 5) == "/cntl";
    EXPECT_EQ(cntl, 16u);
    EXPECT_EQ(p.msgs.find("too many levels"), std::string::npos);

    Descs deep;
    std::string top = chain(deep, 17);
    Packed q = pack(top);
    EXPECT_EQ(q.rv, 1);
    EXPECT_EQ(count(q.msgs, "too many levels of fp nesting\nFATAL.\n"), 1u) << q.msgs;
    // The failure travels up through every level.
    EXPECT_EQ(count(q.msgs, "--Nested File Package Failure: "), 16u) << q.msgs;
    EXPECT_NE(q.msgs.find("--Nested File Package Failure: Lfile=" + deep.dir.file("d16.fpd")),
              std::string::npos);

    // A preview goes on past the failure.
    Packed list = pack(top, FP_OP_LIST, FP_MOD_D | FP_MOD_N);
    EXPECT_EQ(list.rv, 0) << list.msgs;
    EXPECT_EQ(count(list.msgs, "too many levels of fp nesting"), 1u);
    EXPECT_EQ(count(list.msgs, "--Nested File Package Finish: "), 16u) << list.msgs;
}

TEST(Nested, EntriesThatCannotBeProcessedFailCleanly) {
    Descs d;
    std::string missing = d.dir.file("missing.fpd");
    std::string outer =
        d.write("outer", "stop_on_error=n\n", {"framework_pkg", "Lfile=" + missing});
    Packed p = pack(outer);
    EXPECT_EQ(p.rv, FP_ST_FAILED);
    EXPECT_EQ(p.msgs,
              "--Nested File Package Start: framework_pkg\n"
              "--Nested File Package Failure: framework_pkg\n"
              "--Nested File Package Finish: framework_pkg\n"
              "--Nested File Package Start: Lfile=" +
                  missing + "\n" + "nested fp: open: " + missing + "No such file or directory\n" +
                  "--Nested File Package Failure: Lfile=" + missing + "\n" +
                  "--Nested File Package Finish: Lfile=" + missing + "\n");
    // The outer package is whole.
    EXPECT_EQ(names(scan(p.out)), (std::vector<std::string>{"VelkarCntlDir/outer/cntl",
                                                            d.node("outer"), "TRAILER!!!"}));

    // With stop_on_error a missing description ends the operation.
    std::string strict = d.write("strict", "", {"Lfile=" + missing});
    EXPECT_EQ(pack(strict).rv, 1);
}

TEST(Nested, SizesAddUp) {
    Descs d;
    std::string inner = d.write("inner", "");
    std::string outer = d.write("outer", "", {"Lfile=" + inner});
    Packed p = pack(outer, FP_OP_SIZE, FP_MOD_DEFAULT | FP_MOD_N);
    EXPECT_EQ(p.rv, 0) << p.msgs;
    EXPECT_EQ(p.rval, (long)(std::string("contents of inner\n").size() +
                             std::string("contents of outer\n").size()));
}

TEST(Nested, NoticeSettingsCarriedWithNestedFirst) {
    for (bool first : {false, true}) {
        SCOPED_TRACE(first);
        Descs d;
        std::string inner = d.write(
            "inner", "mail_id=inner@example\npost_notice=n\nlog_file_mode=0640\nlog_file_gid=7\n");
        std::string outer = d.write("outer",
                                    std::string(first ? "nested_first=y\n" : "") +
                                        "mail_id=\"ops team@example\"\npost_notice=y\n"
                                        "log_host=loghost\nlog_file_uid=42\n",
                                    {"Lfile=" + inner});
        Packed p = pack(outer);
        ASSERT_EQ(p.rv, 0) << p.msgs;
        std::string cntl;
        for (const NodeAt& n : scan(p.out))
            if (n.name == "VelkarCntlDir//inner.fpd/cntl") cntl = n.body;
        ASSERT_FALSE(cntl.empty());
        auto has = [&](const std::string& line) {
            return cntl.find("\n" + line + "\n") != std::string::npos;
        };
        EXPECT_EQ(has("mail_id=\"ops team@example\""), first) << cntl;
        EXPECT_EQ(has("mail_id=inner@example"), !first) << cntl;
        EXPECT_EQ(has("post_notice=y"), first);
        EXPECT_EQ(has("log_host=loghost"), first);
        EXPECT_EQ(has("log_file_uid=42"), first);
        EXPECT_EQ(has("log_file_mode=0640"), !first) << cntl;
        // Settings the outer package leaves unset stay the nested one's.
        EXPECT_TRUE(has("log_file_gid=7")) << cntl;
    }
}

}  // namespace
