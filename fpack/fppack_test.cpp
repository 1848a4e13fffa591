#include "fppack.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ctxt_test_util.h"
#include "keyw.h"
#include "tests/test_util.h"

namespace {

using fptest::Ctxt;
using fptest::guarded;

const char kBanner[] = " KFPB-v2.07 Velkar\tFilepack Block.\t";

// `rest` behind its "%6d" length field.
std::string with_len(const std::string& rest) {
    char len[8];
    snprintf(len, sizeof len, "%6d", (int)(rest.size() + 6));
    return len + rest;
}

// The encoded header a writer produces with these options.
std::string header_line(const std::string& options) {
    return with_len(kBanner + options + "\n");
}

std::string encode(Ctxt& w) {
    w.to_memory();
    EXPECT_EQ(guarded(w.ct, [&] { encode_header(w.ct); }), 0) << w.msgs();
    return w.output();
}

TEST(EncodeHeader, OptionsInOrderAndLengthField) {
    Ctxt w;
    fp_set_name(w.ct, "pkg");
    fp_set_size(w.ct, 1234);
    w.ct->conf->do_checksum = 1;
    w.ct->conf->do_compress = 1;
    std::string line = encode(w);
    EXPECT_EQ(line, header_line(" fpname=\"pkg\" fpsize=\"1234\" cksum=md5 compress=native"));
    EXPECT_EQ(std::stoi(line.substr(0, 6)), (int)line.size());
}

TEST(EncodeHeader, NoNameNoSizeNoLayers) {
    Ctxt w;
    EXPECT_EQ(encode(w), header_line(""));
}

TEST(EncodeHeader, RefusesWhatTheLineCannotCarry) {
    struct Case {
        const char* name;
        const char* postproc;
        const char* preproc;
        const char* msg;
    };
    std::string long_name(240, 'n');
    const Case cases[] = {
        {long_name.c_str(), nullptr, nullptr, "encoded header longer than 256 bytes\nFATAL.\n"},
        {"a\"b", nullptr, nullptr, "fpname value cannot be encoded: a\"b\nFATAL.\n"},
        {"p", "gzip", nullptr, "no preproc given\nFATAL.\n"},
        {"p", nullptr, "gunzip", "no postproc given\nFATAL.\n"},
        {"p", "/nonexistent/gzip", "gunzip", "post-process failed (err 3)\nFATAL.\n"},
    };
    for (const Case& c : cases) {
        Ctxt w;
        w.to_memory();
        fp_set_name(w.ct, c.name);
        if (c.postproc) set_keyw(w.ct->conf, "postproc", c.postproc);
        if (c.preproc) set_keyw(w.ct->conf, "preproc", c.preproc);
        EXPECT_EQ(guarded(w.ct, [&] { encode_header(w.ct); }), FP_JMP_FATAL);
        EXPECT_EQ(w.msgs(), c.msg);
    }
}

// Decodes `bytes` with a context whose caller set `name` (or none).
struct Decoded {
    int rv;
    std::string name, version, msgs, cntl_dir;
    long size;
    int compressed, checked;
};

Decoded decode(const std::string& bytes, const char* name = nullptr) {
    Ctxt r;
    r.input(bytes);
    r.ct->conf->stop_on_error = 0;
    if (name) fp_set_name(r.ct, name);
    Decoded d{};
    EXPECT_EQ(guarded(r.ct, [&] { d.rv = decode_header(r.ct); }), 0);
    d.name = r.ct->name ? r.ct->name : "";
    d.version = r.ct->version;
    d.msgs = r.msgs();
    d.cntl_dir = r.ct->cntl_dir;
    d.size = r.ct->size;
    d.compressed = r.ct->ip->compressed;
    d.checked = r.ct->ip->ck_len != 0;
    return d;
}

TEST(DecodeHeader, ReadsWhatEncodeWrote) {
    Ctxt w;
    fp_set_name(w.ct, "my pkg");
    fp_set_size(w.ct, 99);
    w.ct->conf->do_checksum = 1;
    Decoded d = decode(encode(w));
    EXPECT_EQ(d.rv, 0);
    EXPECT_EQ(d.name, "my pkg");
    EXPECT_EQ(d.size, 99);
    EXPECT_EQ(d.version, "v2.07");
    EXPECT_EQ(d.checked, 1);
    EXPECT_EQ(d.compressed, 0);
    EXPECT_EQ(d.cntl_dir, "VelkarCntlDir");
}

TEST(DecodeHeader, DashNameKeepsTheCallersName) {
    std::string dash = header_line(" fpname=\"-\"");
    std::string named = header_line(" fpname=\"real\"");
    EXPECT_EQ(decode(dash, "caller").name, "caller");
    EXPECT_EQ(decode(dash).name, "-");
    EXPECT_EQ(decode(named, "caller").name, "real");
}

TEST(DecodeHeader, LengthLimitIs256) {
    std::string base = header_line(" x=\"");
    std::string fill256(256 - base.size() - 1, 'y');
    std::string at256 = header_line(" x=\"" + fill256 + "\"");
    ASSERT_EQ(at256.size(), 256u);
    EXPECT_EQ(decode(at256 + "070702").rv, 0);
    std::string at257 = header_line(" x=\"" + fill256 + "y\"");
    ASSERT_EQ(at257.size(), 257u);
    EXPECT_EQ(decode(at257).rv, -1);
}

TEST(DecodeHeader, BadHeaders) {
    struct Case {
        std::string bytes;
        const char* msgs;
    };
    const Case cases[] = {
        {with_len(" no signature here at all\n"), "no FP signature.\n"},
        {with_len(" KFPB-v3.00 x\n"), "unsupported version: \"v3.00\" (current is v2.07)\n"},
        {"   12 KFPB-", ""},
        {"abcdef KFPB-v2.07\n", ""},
        {"     3", ""},
    };
    for (const Case& c : cases) {
        Decoded d = decode(c.bytes);
        EXPECT_EQ(d.rv, -1) << c.bytes;
        EXPECT_EQ(d.msgs, c.msgs) << c.bytes;
    }
}

TEST(DecodeHeader, OldestVersionUsesTheTemporaryControlDirectory) {
    Decoded d = decode(with_len(" KFPB-2 banner\n"));
    EXPECT_EQ(d.rv, 0);
    EXPECT_EQ(d.version, "2");
    EXPECT_EQ(d.cntl_dir, "/tmp/VelkarCntlDir");
}

std::string odc_node(const char* name, const std::string& body) {
    char hdr[80];
    snprintf(hdr, sizeof hdr, "070707%06o%06o%06o%06o%06o%06o%06o%011o%06o%011o", 1, 2, 0100644, 3,
             4, 1, 0, 0, (unsigned)strlen(name) + 1, (unsigned)body.size());
    return std::string(hdr) + name + std::string(1, '\0') + body;
}

TEST(DecodeHeader, PlainOldArchiveIsReadNodeByNode) {
    std::string arc = odc_node("abc", "xyz") + odc_node(FP_TRAILER_NAME, "");
    Decoded d = decode(arc);
    EXPECT_EQ(d.rv, 0);
    EXPECT_EQ(d.msgs, "non-Velkar cpio archive\n");
    auto nodes = fptest::read_block(arc);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].name, "abc");
    EXPECT_EQ(nodes[0].body, "xyz");
    EXPECT_EQ(nodes[0].st.st_mode, 0100644u);
    EXPECT_EQ(nodes[0].st.st_uid, 3u);
    EXPECT_EQ(nodes[0].st.st_ino, 2u);
}

TEST(PutHeader, FieldsNameAndNoPadding) {
    Ctxt w;
    w.to_memory();
    struct stat st = {};
    st.st_ino = 0x12345;
    st.st_mode = 0100644;
    st.st_uid = 1000;
    st.st_gid = 100;
    st.st_nlink = 2;
    st.st_mtime = 0x5f000000;
    st.st_dev = 0x0803;
    st.st_rdev = 0x1234;
    EXPECT_EQ(guarded(w.ct, [&] { putheader(w.ct, "./dir/file", &st, 0xdeadbeef, 5); }), 0);
    std::string want = std::string("070702") + "00012345" + "000081a4" + "000003e8" + "00000064" +
                       "00000002" + "5f000000" + "00000005" + "00000008" + "00000003" + "00000012" +
                       "00000034" + "00000009" + "deadbeef" + "dir/file" + std::string(1, '\0');
    EXPECT_EQ(w.output(), want);
    EXPECT_EQ(w.ct->out_count, (long long)want.size());
}

TEST(PutHeader, NullStatIsTrailerStyle) {
    Ctxt w;
    w.to_memory();
    EXPECT_EQ(guarded(w.ct, [&] { putheader(w.ct, "c", nullptr, 0, 7); }), 0);
    EXPECT_EQ(w.output(), std::string("070702") + "00000000" + "00008100" + "00000000" +
                              "00000000" + "00000001" + "00000000" + "00000007" + "00000000" +
                              "00000000" + "00000000" + "00000000" + "00000002" + "00000000" + "c" +
                              std::string(1, '\0'));
}

TEST(PutHeader, NameLimit) {
    Ctxt w;
    w.to_memory();
    std::string ok(FP_NAME_MAX, 'a'), too_long(FP_NAME_MAX + 1, 'a');
    int r1 = 0, r2 = 0;
    EXPECT_EQ(guarded(w.ct,
                      [&] {
                          r1 = putheader(w.ct, ok.c_str(), nullptr, 0, 0);
                          r2 = putheader(w.ct, too_long.c_str(), nullptr, 0, 0);
                      }),
              0);
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(w.ct->out_count, (long long)(FP_NODE_HDR_LEN + FP_NAME_MAX + 1));
}

TEST(Trailer, PadsTheNodeStreamToAMultipleOf512) {
    for (long pre : {0L, 1L, 500L, 512L - 121L, 1000L}) {
        Ctxt w;
        w.to_memory();
        EXPECT_EQ(guarded(w.ct,
                          [&] {
                              fp_out_zeros(w.ct, pre);
                              dotrailer(w.ct);
                          }),
                  0);
        std::string out = w.output();
        long with_trailer = pre + FP_NODE_HDR_LEN + 11;
        long want = (with_trailer / 512 + 1) * 512;
        EXPECT_EQ((long)out.size(), want) << pre;
        EXPECT_EQ(out.substr((size_t)pre + FP_NODE_HDR_LEN, 11), std::string("TRAILER!!!", 11));
        EXPECT_EQ(out.find_first_not_of('\0', (size_t)with_trailer), std::string::npos);
    }
}

TEST(GetHeader, RoundTripAndFailures) {
    Ctxt w;
    w.to_memory();
    struct stat st = {};
    st.st_mode = 040755;
    st.st_nlink = 3;
    st.st_mtime = 1000;
    st.st_dev = 0x1a2b;
    EXPECT_EQ(guarded(w.ct, [&] { putheader(w.ct, "d", &st, 42, 0); }), 0);
    std::string good = w.output();

    Ctxt r;
    r.input(good);
    struct stat got;
    unsigned long check;
    char name[FP_NAME_MAX + 1];
    EXPECT_EQ(getheader(r.ct, &got, &check, name), 0);
    EXPECT_STREQ(name, "d");
    EXPECT_EQ(got.st_mode, 040755u);
    EXPECT_EQ(got.st_nlink, 3u);
    EXPECT_EQ(got.st_dev, 0x1a2bu);
    EXPECT_EQ(check, 42u);
    EXPECT_EQ(r.ct->node_count, 1);

    std::string big_name = good;
    big_name.replace(6 + 8 * 11, 8, "00000401");
    std::string unterminated = good;
    unterminated.back() = 'x';
    std::string not_hex = good;
    not_hex[10] = 'g';
    const std::pair<std::string, const char*> bad[] = {
        {"0707", "header: short read\n"}, {"xxxxxx", "header: out of phase (xxxxxx)\n"},
        {big_name, "header: damaged\n"},  {unterminated, "header: damaged\n"},
        {not_hex, "header: damaged\n"},   {"070707" + std::string(70, '9'), "header: damaged\n"},
    };
    for (const auto& b : bad) {
        Ctxt x;
        x.input(b.first);
        x.ct->conf->stop_on_error = 0;
        int rv = 0;
        EXPECT_EQ(guarded(x.ct, [&] { rv = getheader(x.ct, &got, &check, name); }), 0);
        EXPECT_EQ(rv, -1) << b.second;
        EXPECT_EQ(x.msgs(), b.second);
    }
}

TEST(FileCksum, FirstFourDigestBytesOfContentsOrLinkText) {
    testutil::TempDir dir;
    std::string file = dir.write("f", "abc");
    std::string link = dir.file("l");
    ASSERT_EQ(symlink("abc", link.c_str()), 0);
    Ctxt x;
    struct stat fst, lst;
    ASSERT_EQ(stat(file.c_str(), &fst), 0);
    ASSERT_EQ(lstat(link.c_str(), &lst), 0);
    // MD5("abc") = 900150983cd24fb0...
    EXPECT_EQ(get_file_cksum(x.ct, file.c_str(), &fst), 0x90015098L);
    EXPECT_EQ(get_file_cksum(x.ct, link.c_str(), &lst), 0x90015098L);
    x.ct->conf->stop_on_error = 0;
    std::string gone = dir.file("gone");
    long rv = 0;
    EXPECT_EQ(guarded(x.ct, [&] { rv = get_file_cksum(x.ct, gone.c_str(), &fst); }), 0);
    EXPECT_EQ(rv, -1);
    EXPECT_EQ(x.msgs(), "open: " + gone + ": No such file or directory\n");
}

}  // namespace
