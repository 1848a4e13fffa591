#include "fppar.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctxt_test_util.h"
#include "fopt.h"
#include "keyw.h"
#include "tests/test_util.h"
#include "zug.h"

namespace {

using fptest::Ctxt;
using fptest::guarded;

// One word as the tokenizer returned it.
struct Word {
    std::string text;
    int eq, pattern, command, quoted;
};

// Every logical line of `text`; *msgs gets the messages, *rv the jump value.
std::vector<std::vector<Word>> lines_of(const std::string& text, int* rv = nullptr,
                                        std::string* msgs = nullptr) {
    Ctxt c;
    c.input(text);
    std::vector<std::vector<Word>> out;
    int r = guarded(c.ct, [&] {
        fp_word w[FP_MAX_WORDS];
        for (int n; (n = par(c.ct, w, FP_MAX_WORDS)) > 0;) {
            std::vector<Word> line;
            for (int i = 0; i < n; i++)
                line.push_back({w[i].text, w[i].eq, w[i].pattern, w[i].command, w[i].quoted});
            par_free(w, n);
            out.push_back(line);
        }
    });
    if (rv) *rv = r;
    if (msgs) *msgs = c.msgs();
    EXPECT_TRUE(rv || r == 0) << c.msgs();
    return out;
}

std::vector<std::string> texts(const std::vector<Word>& line) {
    std::vector<std::string> out;
    for (const Word& w : line) out.push_back(w.text);
    return out;
}

// The first message line of a failed parse.
std::string first_error(const std::string& text) {
    int rv = 0;
    std::string msgs;
    lines_of(text, &rv, &msgs);
    EXPECT_EQ(rv, FP_JMP_FATAL) << text;
    return msgs.substr(0, msgs.find("\nFATAL."));
}

// ---------------------------------------------------------------------------
// Tokenizer

TEST(FpparTokenizer, WordsQuotesAndComments) {
    struct Case {
        const char* text;
        std::vector<std::vector<std::string>> lines;
    };
    const Case cases[] = {
        {"a b\tc\n", {{"a", "b", "c"}}},
        {"\"a b=c\" 'x#y' a\\ b\n", {{"a b=c", "x#y", "a b"}}},
        {"x # comment\n#whole line\ny#z\n", {{"x"}, {"y#z"}}},
        {"a\\\nb c\\\n\n", {{"ab", "c"}}},
        {"key=\"two words\"x\n", {{"key=two wordsx"}}},
        {"\n\n   \n\t\nx\n", {{"x"}}},
        {"a b\r\nc\rd\n", {{"a", "b"}, {"c"}, {"d"}}},
        {"\"multi\nline\" w\n", {{"multi\nline", "w"}}},
        {"'it''s' \"\\\"\\\\\"\n", {{"its", "\"\\"}}},
        {"last", {{"last"}}},
        {"\"\" x\n", {{"", "x"}}},
        // Between words a backslash-newline joins an indented next line.
        {"a \\\n    b\n", {{"a", "b"}}},
        {"a \\\r\n\tb\n", {{"a", "b"}}},
        {"\\\n  x=1 \\\n  y=2\nz\n", {{"x=1", "y=2"}, {"z"}}},
        {"a \\ b\n", {{"a", " b"}}},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<std::string>> got;
        for (const auto& line : lines_of(c.text)) got.push_back(texts(line));
        EXPECT_EQ(got, c.lines) << c.text;
    }
    // A NUL ends the line; what follows is the next line.
    std::vector<std::vector<std::string>> got;
    for (const auto& line : lines_of(std::string("a\0b\n", 4))) got.push_back(texts(line));
    EXPECT_EQ(got, (std::vector<std::vector<std::string>>{{"a"}, {"b"}}));
}

TEST(FpparTokenizer, WordFlags) {
    struct Case {
        const char* text;
        const char* word;
        int eq, pattern, command, quoted;
    };
    const Case cases[] = {
        {"plain", "plain", -1, 0, 0, 0},     {"k=v=w", "k=v=w", 1, 0, 0, 0},
        {"\"a b=c\"", "a b=c", -1, 0, 0, 1}, {"a\"=\"b=c", "a=b=c", 3, 0, 0, 1},
        {"*.c", "*.c", -1, 1, 0, 0},         {"x?", "x?", -1, 1, 0, 0},
        {"[ab]", "[ab]", -1, 1, 0, 0},       {"\"*.c\"", "*.c", -1, 0, 0, 1},
        {"a\\*", "a*", -1, 0, 0, 1},         {"`ls -l *.c`", "ls -l *.c", -1, 0, 1, 0},
        {"a`b`", "a`b`", -1, 0, 0, 0},       {"d=`x`", "d=`x`", 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        auto lines = lines_of(std::string(c.text) + "\n");
        ASSERT_EQ(lines.size(), 1u) << c.text;
        ASSERT_EQ(lines[0].size(), 1u) << c.text;
        const Word& w = lines[0][0];
        EXPECT_EQ(w.text, c.word) << c.text;
        EXPECT_EQ(w.eq, c.eq) << c.text;
        EXPECT_EQ(w.pattern, c.pattern) << c.text;
        EXPECT_EQ(w.command, c.command) << c.text;
        EXPECT_EQ(w.quoted, c.quoted) << c.text;
    }
}

std::string words_line(int n) {
    std::string s;
    for (int i = 1; i <= n; i++) s += (i > 1 ? " w" : "w") + std::to_string(i);
    return s;
}

TEST(FpparTokenizer, TwentyFiveWordsFitTwentySixFail) {
    auto lines = lines_of(words_line(25) + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 25u);
    EXPECT_EQ(first_error("ok\n" + words_line(26) + " \\\nmore\n"),
              "Error: Line 2:\ttoo many words (max 25) in a line which contains the following "
              "characters:\n\t" +
                  words_line(26) + " \\");
}

TEST(FpparTokenizer, UnterminatedQuoteIsReportedWhereItOpened) {
    EXPECT_EQ(first_error("ok\nx \"abc\ndef\nghi"),
              "Error: Line 2:\tUnterminated quote (\") in a line which contains the following "
              "characters:\n\tx \"abc");
    EXPECT_EQ(first_error("`ls"),
              "Error: Line 1:\tUnterminated quote (`) in a line which contains the following "
              "characters:\n\t`ls");
    EXPECT_EQ(first_error(std::string("'a\0b'\n", 6)),
              "Error: Line 1:\tUnterminated quote (') in a line which contains the following "
              "characters:\n\t'a");
}

TEST(FpparTokenizer, LongWordsAndLinesAreBounded) {
    // A word of the limit is kept whole.
    std::string big(FP_WORD_MAX, 'w');
    auto lines = lines_of("k=" + big.substr(2) + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0][0].text.size(), big.size());
    // One past it fails; the message quotes the line cut to 1,024 characters.
    std::string err = first_error(std::string(FP_WORD_MAX + 10, 'x') + "\n");
    EXPECT_EQ(err.rfind("Error: Line 1:\tword too long (max 65536) in a line which contains", 0),
              0u)
        << err.substr(0, 200);
    EXPECT_LE(err.size(), 1024u + 20);
}

TEST(FpparTokenizer, RawLinesKeepAtMost1023Characters) {
    Ctxt c;
    std::string longline(1500, 'r');
    c.input("first line\r\n" + longline + "\n\nlast");
    std::vector<std::string> got;
    int rv = guarded(c.ct, [&] {
        char buf[FP_ERR_LINE_MAX];
        for (int n; (n = par_str(c.ct, buf, sizeof buf)) >= 0;) {
            EXPECT_EQ(static_cast<size_t>(n), strlen(buf));
            got.push_back(buf);
        }
    });
    ASSERT_EQ(rv, 0) << c.msgs();
    EXPECT_EQ(got, (std::vector<std::string>{"first line", longline.substr(0, 1023), "", "last"}));
    EXPECT_EQ(c.ct->line, 4);
}

// ---------------------------------------------------------------------------
// Signature

struct SigResult {
    int rc;
    std::string version;
    std::string next;  // first word after the signature
};

SigResult signature_of(const std::string& text) {
    Ctxt c;
    c.input(text);
    SigResult r{-9, "", ""};
    int rv = guarded(c.ct, [&] {
        r.rc = read_signature(c.ct);
        fp_word w[FP_MAX_WORDS];
        int n = par(c.ct, w, FP_MAX_WORDS);
        if (n > 0) r.next = w[0].text;
        par_free(w, n);
    });
    EXPECT_EQ(rv, 0) << c.msgs();
    r.version = c.ct->version;
    return r;
}

TEST(FpparSignature, VersionsAndLengthLimit) {
    struct Case {
        std::string text;
        int rc;
        const char* version;
        const char* next;
    };
    const std::string zeros70(70, '0');
    const Case cases[] = {
        {"#*KFP-v2.03\tVelkar Filepack (version v2.03)\nk=v\n", 1, "v2.03", "k=v"},
        {"#*KFP-2\nk=v\n", 1, "v2.00", "k=v"},
        {"#*KFP-2.9\n", 1, "v2.00", ""},
        {"#*KFP-v2.5\r\nk=v\n", 1, "v2.05", "k=v"},
        {" \t\n\r\n#*KFP-v2.07\n", 1, "v2.07", ""},
        {"#*KFP-v3.00\n", -1, "v2.07", ""},
        {"#*KFP-v1.07\n", -1, "v2.07", ""},
        {"#*KFP-x\nk=v\n", -1, "v2.07", ""},
        {"# just a comment\nfile\n", 0, "v2.07", "file"},
        {"#*KFQ-v2.01\nfile\n", 0, "v2.07", "file"},
        {"file1 m=644\n", 0, "v2.07", "file1"},
        // 79 characters are kept: the digit at position 80 is cut off.
        {"#*KFP-v2." + zeros70 + "5 rest\nk\n", 1, "v2.00", "k"},
        {"#*KFP-v2." + zeros70.substr(1) + "5 rest\nk\n", 1, "v2.05", "k"},
    };
    for (const Case& c : cases) {
        SigResult r = signature_of(c.text);
        EXPECT_EQ(r.rc, c.rc) << c.text;
        EXPECT_EQ(r.version, c.version) << c.text;
        if (c.rc >= 0) {
            EXPECT_EQ(r.next, c.next) << c.text;
        }
    }
}

// ---------------------------------------------------------------------------
// Keyword section

struct Parse {
    Ctxt c;
    int rv = 0;
    template <typename F>
    Parse(const std::string& text, F f) {
        c.input(text);
        rv = guarded(c.ct, [&] { f(c.ct); });
    }
    std::string first_msg() const {
        std::string m = c.msgs();
        return m.substr(0, m.find('\n'));
    }
};

void sig_and_keywords(fp_ctxt* ct) {
    EXPECT_EQ(read_signature(ct), 1);
    read_keywords_utf8(ct, 1, 1);
}

TEST(FpparKeywords, AssignsUpToThePercentLine) {
    Parse p(
        "#*KFP-v2.03\nstop_on_error=no descend_dirs=y\n# note\ndefault_dest=\"/opt/a b\"\n"
        "%\nfile\n",
        sig_and_keywords);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    fp_keyws* k = p.c.ct->conf;
    EXPECT_EQ(k->stop_on_error, 0);
    EXPECT_EQ(k->descend_dirs, 1);
    EXPECT_STREQ(k->default_dest, "/opt/a b");
    EXPECT_STREQ(k->signature, "#*KFP-v2.03");
    // The file list is still unread.
    fp_word w[FP_MAX_WORDS];
    int n = par(p.c.ct, w, FP_MAX_WORDS);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(w[0].text, "file");
    par_free(w, n);
}

TEST(FpparKeywords, ContinuationLinesMayBeIndented) {
    Parse p("#*KFP-v2.07\ndo_checksum=y \\\n    do_compress=y \\\n\tdescend_dirs=y\n%\n",
            sig_and_keywords);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(p.c.ct->conf->do_checksum, 1);
    EXPECT_EQ(p.c.ct->conf->do_compress, 1);
    EXPECT_EQ(p.c.ct->conf->descend_dirs, 1);
}

TEST(FpparKeywords, ErrorsNameTheLineAndTheWord) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"#*KFP-v2.07\ncreate_dirs=y\nbogus\n",
         "Error: Line 3:\tExpected '=' assignment for\tthe 'bogus' key."},
        {"#*KFP-v2.07\nno_such_key=1\n", "Error: Line 2:\tUnknown key 'no_such_key'."},
        {"#*KFP-v2.07\n\nstop_on_error=maybe\n",
         "Error: Line 3:\tInvalid value 'maybe' for the 'stop_on_error' key."},
        {"#*KFP-v2.07\ndefault_file_mode=12345 \\\n create_dirs=n\n",
         "Error: Line 2:\tInvalid value '12345' for the 'default_file_mode' key."},
    };
    for (const Case& c : cases) {
        Parse p(c.text, sig_and_keywords);
        EXPECT_EQ(p.rv, FP_JMP_FATAL) << c.text;
        EXPECT_EQ(p.first_msg(), c.message) << p.c.msgs();
    }
}

TEST(FpparKeywords, ValuesAreConvertedFromUtf8) {
    testutil::ScopedEnv cs("ZUG_CODESET", "ISO88591");
    zug_uninit();
    Parse p("#*KFP-v2.07\nmail_id=caf\xc3\xa9\n", sig_and_keywords);
    zug_uninit();
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_STREQ(p.c.ct->conf->mail_id, "caf\xe9");
}

TEST(FpparKeywords, LibraryReaderTakesPlainSecondsForDefaultMtime) {
    struct Case {
        const char* value;
        long expect;
    } cases[] = {{"1104631440", 1104631440L}, {"12x", -1}, {"0102030405", -2}};
    for (const Case& c : cases) {
        Parse p(std::string("default_mtime=") + c.value + "\n",
                [](fp_ctxt* ct) { read_keywords(ct, 1); });
        ASSERT_EQ(p.rv, 0) << p.c.msgs();
        long want = c.expect;
        if (want == -2) {
            ASSERT_EQ(str_to_time(c.value, &want), 0);
        }
        EXPECT_EQ(p.c.ct->conf->default_mtime, want) << c.value;
    }
}

TEST(FpparKeywords, OverrideProgEnvTakesTheRestOfItsLine) {
    Ctxt c;
    fp_set_conf_override(c.ct, "prog_env=A=1 B=\"x y\"  C=3\nstop_on_error=n\n");
    int rv = guarded(c.ct, [&] { fp_apply_override(c.ct); });
    ASSERT_EQ(rv, 0) << c.msgs();
    EXPECT_STREQ(c.ct->conf->prog_env, "A=1 B=x y C=3");
    EXPECT_EQ(c.ct->conf->stop_on_error, 0);

    // An override error is reported like a description error.
    Ctxt bad;
    fp_set_conf_override(bad.ct, "src_relpath=/x\nnope\n");
    EXPECT_EQ(guarded(bad.ct, [&] { fp_apply_override(bad.ct); }), FP_JMP_FATAL);
    EXPECT_NE(bad.msgs().find("Expected '=' assignment for\tthe 'nope' key."), std::string::npos);
    EXPECT_STREQ(bad.ct->conf->src_relpath, "/x");
}

// ---------------------------------------------------------------------------
// File list

std::vector<std::string> paths_of(const fp_frec* r) {
    std::vector<std::string> out;
    for (; r; r = r->next) out.push_back(r->path ? r->path : "<null>");
    return out;
}

struct Events {
    std::vector<int> events;
    std::vector<std::string> names;
};
Events* g_events;

int record_node(fp_ctxt*, int event, const char* name, struct stat*, fp_frec*) {
    g_events->events.push_back(event);
    if (name) g_events->names.push_back(name);
    return 0;
}

struct DescRun {
    Ctxt c;
    Events ev;
    int rv;
    DescRun(const std::string& text, int ptype, long modifiers,
            const char* override_text = nullptr) {
        c.input(text);
        c.to_memory();
        if (override_text) fp_set_conf_override(c.ct, override_text);
        fp_set_ptype(c.ct, ptype, modifiers);
        g_events = &ev;
        rv = guarded(c.ct, [&] { parse_fp(c.ct, record_node); });
        g_events = nullptr;
    }
};

void filelist_expanded(fp_ctxt* ct) {
    read_filelist(ct, 0, 1, 1);
}
void filelist_literal(fp_ctxt* ct) {
    read_filelist(ct, 0, 0, 1);
}

TEST(FpparFileList, NamesOptionsAndSourceDirectories) {
    Parse p(
        "a.c\nb.c s=/src m=600\n/abs s=/src\nc s=/src/ d=/dst o=descend\n"
        "\"sp ace=x\"\na`b`\n\"%\"\n%\nafter\n",
        filelist_expanded);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(
        paths_of(p.c.ct->files),
        (std::vector<std::string>{"a.c", "/src/b.c", "/abs", "/src/c", "sp ace=x", "a`b`", "%"}));
    const fp_frec* b = p.c.ct->files->next;
    EXPECT_EQ(b->file_mode, 0600);
    const fp_frec* c = b->next->next;
    EXPECT_STREQ(c->dest, "/dst");
    EXPECT_EQ(c->opt_flags, FP_FOPT_DESCEND);
}

TEST(FpparFileList, Errors) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"ok\nkey=value\n", "Error: Line 2:\tUnexpected '='."},
        {"a m=644 mode\n", "Error: Line 1:\tExpected '=' assignment for\tthe 'mode' key."},
        {"a\n\nb m=999\n", "Error: Line 3:\t999: invalid mode"},
        {"a q=1\n", "Error: Line 1:\tq: illegal option"},
        {"a o=deep\n", "Error: Line 1:\tdeep: invalid option"},
    };
    for (const Case& c : cases) {
        Parse p(c.text, filelist_expanded);
        EXPECT_EQ(p.rv, FP_JMP_FATAL) << c.text;
        EXPECT_EQ(p.first_msg(), c.message) << p.c.msgs();
    }
}

TEST(FpparFileList, CommandOutputBecomesRecordsThatInheritOptions) {
    // A backslash in the description takes the next character literally, so
    // the command's own backslashes are doubled.
    Parse p("`printf 'x\\\\ny m=600 d=/own\\\\n\"z z\"\\\\n'` d=/dst u=7 o=nodescend\nlast\n",
            filelist_expanded);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(paths_of(p.c.ct->files), (std::vector<std::string>{"x", "y", "z z", "last"}));
    const fp_frec* x = p.c.ct->files;
    const fp_frec* y = x->next;
    EXPECT_STREQ(x->dest, "/dst");
    EXPECT_EQ(x->file_uid, 7);
    EXPECT_EQ(x->file_mode, -1);
    EXPECT_EQ(x->opt_flags, FP_FOPT_NODESCEND);
    EXPECT_STREQ(y->dest, "/own");
    EXPECT_EQ(y->file_mode, 0600);
    EXPECT_EQ(y->file_uid, 7);
    EXPECT_EQ(y->next->next->dest, nullptr);  // "last" is not from the command
    EXPECT_NE(p.c.msgs().find("Creating file list from shell commmand:\n printf"),
              std::string::npos);
}

TEST(FpparFileList, CommandRelativeNamesGoUnderItsSourceDirectory) {
    Parse p("`printf 'a\\\\n/b\\\\n'` s=/src\n", filelist_expanded);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(paths_of(p.c.ct->files), (std::vector<std::string>{"/src/a", "/b"}));
}

TEST(FpparFileList, CommandsDoNotReadTheDescriptionsInput) {
    // The command's standard input is /dev/null, not ours.
    Parse p("`cat; echo done`\n", filelist_expanded);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(paths_of(p.c.ct->files), (std::vector<std::string>{"done"}));
}

TEST(FpparFileList, FailingCommandIsReported) {
    const char* failed =
        "Shell command (echo a; exit 3) failed.\nNo matches found for specified wild\tcard\nor "
        "file list length exceeds shell\tlimit.";
    {
        Parse p("`echo a; exit 3` m=644\n", [](fp_ctxt* ct) {
            ct->conf->stop_on_error = 0;
            read_filelist(ct, 0, 1, 1);
        });
        EXPECT_EQ(p.rv, 0);
        EXPECT_EQ(p.c.ct->status, FP_ST_FAILED);
        EXPECT_NE(p.c.msgs().find(failed), std::string::npos) << p.c.msgs();
        ASSERT_NE(p.c.ct->files, nullptr);
        EXPECT_EQ(p.c.ct->files->file_mode, 0644);
    }
    {
        Parse p("`echo a; exit 3`\nnever\n", filelist_expanded);
        EXPECT_EQ(p.rv, FP_JMP_FATAL);
        EXPECT_NE(p.c.msgs().find(failed), std::string::npos) << p.c.msgs();
        EXPECT_NE(p.c.msgs().find("FATAL because stop_on_error is enabled."), std::string::npos);
    }
}

TEST(FpparFileList, ErrorInCommandOutputStopsTheCommand) {
    // The command would run for a minute; the error ends it at once.
    Parse p("`echo bad=1; exec sleep 60`\n", filelist_expanded);
    EXPECT_EQ(p.rv, FP_JMP_FATAL);
    EXPECT_EQ(p.first_msg().substr(0, 200).find("Creating file list"), 0u);
    EXPECT_NE(p.c.msgs().find("Error: Line 1:\tUnexpected '='."), std::string::npos);
    // The input channel is the description's again, so disposing is safe.
    EXPECT_NE(p.c.ct->ip, nullptr);
}

TEST(FpparFileList, CommandNestingStopsAfterSixteenLevels) {
    testutil::TempDir dir;
    // nest.sh N prints a back-quoted call of itself with N-1, and "leaf" at 0.
    std::string script = dir.write(
        "nest.sh",
        "n=$1\nif [ \"$n\" -gt 0 ]; then echo \"\\`sh $0 $((n - 1))\\`\"; else echo leaf; fi\n");
    {
        Parse p("`sh " + script + " 15`\n", filelist_expanded);
        ASSERT_EQ(p.rv, 0) << p.c.msgs();
        EXPECT_EQ(paths_of(p.c.ct->files), (std::vector<std::string>{"leaf"}));
    }
    {
        Parse p("`sh " + script + " 16`\n", filelist_expanded);
        EXPECT_EQ(p.rv, FP_JMP_FATAL);
        EXPECT_NE(p.c.msgs().find("Error: Line 1:\ttoo many\tlevels of cmd nesting"),
                  std::string::npos)
            << p.c.msgs();
    }
}

TEST(FpparFileList, RunawayCommandOutputIsBounded) {
    Parse p("`yes`\n", filelist_expanded);
    EXPECT_EQ(p.rv, FP_JMP_FATAL);
    EXPECT_NE(p.c.msgs().find("shell command printed more than 1000000 names"), std::string::npos)
        << p.c.msgs().substr(0, 500);
}

// A directory with a few files for pattern tests.
struct Tree {
    testutil::TempDir dir;
    Tree() {
        for (const char* n : {"a.c", "b.c", "c.h", "sp ace.c", "q\"uo m=4755 x=\".c"})
            dir.write(n, "");
    }
    std::string p(const std::string& n) const { return dir.path() + "/" + n; }
};

TEST(FpparFileList, PatternUnderSrcRelpathYieldsNamesUnderIt) {
    Tree t;
    Parse p("#*KFP-v2.07\nsrc_relpath=" + t.dir.path() + "\n%\n*.c m=644\n", [](fp_ctxt* ct) {
        sig_and_keywords(ct);
        read_filelist(ct, 0, 1, 1);
    });
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    // Names are taken literally: blanks, quotes and "=" set no options.
    std::vector<std::string> got = paths_of(p.c.ct->files);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{t.p("a.c"), t.p("b.c"), t.p("q\"uo m=4755 x=\".c"),
                                             t.p("sp ace.c")}));
    for (const fp_frec* r = p.c.ct->files; r; r = r->next) EXPECT_EQ(r->file_mode, 0644);
}

TEST(FpparFileList, PatternUnderTheRecordsSourceDirectoryOrAbsolute) {
    Tree t;
    Parse p("*.h s=" + t.dir.path() + "/\n" + t.p("[ab].c") + "\n" + t.p("*.none") + "\n",
            filelist_expanded);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(paths_of(p.c.ct->files),
              (std::vector<std::string>{t.p("c.h"), t.p("a.c"), t.p("b.c"), t.p("*.none")}));
}

// Runs the test body in another working directory.
struct Cwd {
    std::string old;
    explicit Cwd(const std::string& dir) {
        char buf[4096];
        old = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~Cwd() { EXPECT_EQ(chdir(old.c_str()), 0); }
};

TEST(FpparFileList, RelativePatternsNameWhatPlainNamesWould) {
    testutil::TempDir root;
    ASSERT_EQ(mkdir(root.file("src").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(root.file("src/sub").c_str(), 0755), 0);
    root.write("src/a.c", "");
    root.write("src/sub/s.c", "");
    Cwd cwd(root.path());
    // Relative names are looked up under src_relpath, so the matches of a
    // relative src_relpath are named relative to it, and a relative s= is
    // itself under src_relpath.
    DescRun r("#*KFP-v2.07\nsrc_relpath=src\n%\n*.c\n*.c s=sub\nplain.c s=sub\n", FP_OP_PACK, 0);
    ASSERT_EQ(r.rv, 0) << r.c.msgs();
    EXPECT_EQ(paths_of(r.c.ct->files), (std::vector<std::string>{"a.c", "sub/s.c", "sub/plain.c"}));
    EXPECT_STREQ(r.c.ct->relpath, "src/");
}

TEST(FpparFileList, OverrideSrcRelpathGovernsPatterns) {
    Tree t;
    DescRun r("#*KFP-v2.07\nsrc_relpath=/no/such/dir\n%\n*.h\n", FP_OP_PACK, 0,
              ("src_relpath=" + t.dir.path() + "\n").c_str());
    ASSERT_EQ(r.rv, 0) << r.c.msgs();
    EXPECT_EQ(paths_of(r.c.ct->files), (std::vector<std::string>{t.p("c.h")}));
}

TEST(FpparFileList, PatternsAreKeptLiterallyWithoutExpansion) {
    Parse p("*.c\n`ls`\n", filelist_literal);
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(paths_of(p.c.ct->files), (std::vector<std::string>{"*.c", "ls"}));
}

TEST(FpparFileList, GlobPathTooLong) {
    Parse p("a\n*.c s=/" + std::string(1022, 'd') + "\n", filelist_expanded);
    EXPECT_EQ(p.rv, FP_JMP_FATAL);
    EXPECT_EQ(p.c.msgs().rfind("Error: Line 2:\tglob path too long\n\n", 0), 0u) << p.c.msgs();
}

TEST(FpparFileList, NamesAreConvertedFromUtf8) {
    testutil::ScopedEnv cs("ZUG_CODESET", "ISO88591");
    zug_uninit();
    Parse p("caf\xc3\xa9\n", filelist_literal);
    zug_uninit();
    ASSERT_EQ(p.rv, 0) << p.c.msgs();
    EXPECT_EQ(paths_of(p.c.ct->files), (std::vector<std::string>{"caf\xe9"}));
}

TEST(FpparStrlist, WordsAndRawLines) {
    Parse words("a b\n\"c d\"\n%\ne\n", [](fp_ctxt* ct) { read_strlist(ct, &ct->nested); });
    ASSERT_EQ(words.rv, 0);
    std::vector<std::string> got;
    for (fp_strlist* e = words.c.ct->nested; e; e = e->next) got.push_back(e->str);
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "c d"}));

    Parse raw("a  b # c\n\n%\ne\n", [](fp_ctxt* ct) { read_raw_strlist(ct, &ct->excludes); });
    ASSERT_EQ(raw.rv, 0);
    got.clear();
    for (fp_strlist* e = raw.c.ct->excludes; e; e = e->next) got.push_back(e->str);
    EXPECT_EQ(got, (std::vector<std::string>{"a  b # c", ""}));
}

// ---------------------------------------------------------------------------
// Whole descriptions

TEST(FpparParse, BareFileListUsesTheDefaults) {
    DescRun r("a\nb\n", FP_OP_PACK, 0);
    ASSERT_EQ(r.rv, 0) << r.c.msgs();
    EXPECT_EQ(r.c.msgs(), "filelist only.  Using default fp config\n");
    EXPECT_EQ(paths_of(r.c.ct->files), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.ev.events, (std::vector<int>{FP_EV_START, FP_EV_CNTL, FP_EV_END}));
    EXPECT_EQ(r.c.ct->ip, nullptr);  // closed after reading
    EXPECT_EQ(r.c.ct->conf->stop_on_error, 1);

    DescRun l("a\n", FP_OP_FLIST, 0);
    ASSERT_EQ(l.rv, 0);
    EXPECT_EQ(l.c.msgs(), "");
}

TEST(FpparParse, Signatures) {
    DescRun bad("#*KFP-v3.00\tVelkar Filepack (version v3.00)\n%\n", FP_OP_PACK, 0);
    EXPECT_EQ(bad.rv, FP_JMP_FATAL);
    EXPECT_EQ(bad.c.msgs(), "Error: Line 1:\tbad file signature\nFATAL.\n");

    DescRun two("#*KFP-2\ncreate_dirs=n\n%\nf\n", FP_OP_PACK, 0);
    ASSERT_EQ(two.rv, 0) << two.c.msgs();
    EXPECT_STREQ(two.c.ct->version, "v2.00");
    EXPECT_EQ(two.c.ct->conf->create_dirs, 0);
    EXPECT_EQ(paths_of(two.c.ct->files), (std::vector<std::string>{"f"}));
}

TEST(FpparParse, SectionsOverridesAndRelpath) {
    const std::string text =
        "#*KFP-v2.07\nsrc_relpath=/from/desc\nstop_on_error=y\n%\nf1\n%\nLfile=/x.desc\n%\n"
        "*.o\ncore\n";
    DescRun r(text, FP_OP_PACK, 0, "src_relpath=/over\nstop_on_error=n\n");
    // The nested description does not exist: the entry fails, and the run
    // goes on (stop_on_error is off) with a failed status.
    EXPECT_EQ(r.rv, 0);
    EXPECT_EQ(r.c.ct->status, FP_ST_FAILED);
    EXPECT_EQ(paths_of(r.c.ct->files), (std::vector<std::string>{"f1"}));
    std::vector<std::string> ex;
    for (fp_strlist* e = r.c.ct->excludes; e; e = e->next) ex.push_back(e->str);
    EXPECT_EQ(ex, (std::vector<std::string>{"*.o", "core"}));
    EXPECT_STREQ(r.c.ct->relpath, "/over/");
    EXPECT_EQ(r.c.ct->conf->stop_on_error, 0);
    EXPECT_NE(r.c.msgs().find("--Nested File Package Failure: Lfile=/x.desc"), std::string::npos);

    // Parse-only applies no override.
    DescRun parse(text, FP_OP_PARSE, 0, "src_relpath=/over\n");
    EXPECT_EQ(parse.rv, 0) << parse.c.msgs();
    EXPECT_STREQ(parse.c.ct->conf->src_relpath, "/from/desc");
    EXPECT_STREQ(parse.c.ct->relpath, "");
}

TEST(FpparParse, WalksTheFilesWithTheDModifier) {
    testutil::TempDir dir;
    dir.write("one", "1");
    DescRun r("#*KFP-v2.07\nsrc_relpath=" + dir.path() + "\n%\none\n", FP_OP_PACK, FP_MOD_D);
    ASSERT_EQ(r.rv, 0) << r.c.msgs();
    EXPECT_EQ(r.ev.events, (std::vector<int>{FP_EV_START, FP_EV_CNTL, FP_EV_NODE, FP_EV_END}));
    ASSERT_EQ(r.ev.names.size(), 1u);
    EXPECT_NE(r.ev.names[0].find("one"), std::string::npos);
}

TEST(FpparParse, NeedsACallbackAndAnInput) {
    Ctxt c;
    c.input("a\n");
    EXPECT_EQ(guarded(c.ct, [&] { parse_fp(c.ct, nullptr); }), FP_JMP_FATAL);
    EXPECT_EQ(c.msgs(), "ct->fn != ((void *)0)\nFATAL.\n");
    Ctxt d;
    EXPECT_EQ(guarded(d.ct, [&] { parse_fp(d.ct, record_node); }), FP_JMP_FATAL);
    EXPECT_EQ(d.msgs(), "ct->ip != ((void *)0)\nFATAL.\n");
}

// ---------------------------------------------------------------------------
// Printed form

TEST(FpparEscape, QuotesWhatTheTokenizerWouldSplit) {
    struct Case {
        const char* text;
        const char* out;
    } cases[] = {
        {"abc", "abc"},         {"", "\"\""},
        {"a b", "\"a b\""},     {"a\tb", "\"a\tb\""},
        {"#x", "\"#x\""},       {"it's", "\"it's\""},
        {"a\"b", "\"a\\\"b\""}, {"a\\b", "\"a\\\\b\""},
        {"a=b", "\"a=b\""},     {"%", "\"%\""},
        {"%%", "%%"},           {"a\nb", "\"a\nb\""},
        {"*.c", "*.c"},         {"/p/x-y_z.1", "/p/x-y_z.1"},
        {"``x", "\"``x\""},     {"a`b`", "a`b`"},
    };
    for (const Case& c : cases) {
        char* out = escape_str(c.text);
        EXPECT_STREQ(out, c.out) << c.text;
        free(out);
    }
    char* null_out = escape_str(nullptr);
    EXPECT_STREQ(null_out, "");
    free(null_out);
}

TEST(FpparEscape, LongTextsGetLineBreaksBeforeTrailingBackslashes) {
    char* out = escape_str(std::string(450, 'x').c_str());
    EXPECT_EQ(std::string(out), std::string(201, 'x') + "\\\n" + std::string(197, 'x') + "\\\n" +
                                    std::string(52, 'x'));
    free(out);
    // '"', ' ', 197 x and an escaped backslash make 201: the break goes
    // before the escape.
    std::string text = " " + std::string(197, 'x') + "\\y";
    out = escape_str(text.c_str());
    EXPECT_EQ(std::string(out), "\" " + std::string(197, 'x') + "\\\n\\\\y\"");
    free(out);
}

// Escapes the text as a keyword value and reads it back.
std::string through_tokenizer(const std::string& text) {
    char* esc = escape_str(text.c_str());
    auto lines = lines_of(std::string("k=") + esc + "\n");
    free(esc);
    EXPECT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines.empty() ? 0u : lines[0].size(), 1u) << text;
    return lines.empty() || lines[0].empty() ? "<none>" : lines[0][0].text.substr(2);
}

TEST(FpparEscape, EscapedTextsReadBackUnchanged) {
    std::vector<std::string> texts = {"plain",       "two words", "q\"uo\"te", "back\\slash\\",
                                      "line\nend\r", "#hash",     "=eq",       "'single'",
                                      "%",           ""};
    for (int n = 190; n <= 215; n++) {
        texts.push_back(std::string(n, '\\') + " x");
        texts.push_back(" " + std::string(n, 'a') + "\\\\\"" + std::string(n, 'b'));
    }
    texts.push_back(std::string(5000, 'z'));
    for (const std::string& t : texts) EXPECT_EQ(through_tokenizer(t), t) << t.substr(0, 40);
}

TEST(FpparOutput, PrintsTheDescriptionAndReadsBackTheSame) {
    const std::string text =
        "#*KFP-v2.03\ndefault_dest=\"/opt/my app\"\ndefault_mtime=0102030405\n%\n"
        "\"a b\" m=644 d=/x\n*.c o=descend\n`ls`\n%\nLfile=/n.desc\n%\ncore\n\"x y\"\n";
    auto print = [](const std::string& in) {
        Ctxt c;
        c.input(in);
        c.to_memory();
        fp_set_ptype(c.ct, FP_OP_PARSE, 0);
        int rv = guarded(c.ct, [&] {
            sig_and_keywords(c.ct);
            read_filelist(c.ct, 0, 0, 1);
            read_strlist(c.ct, &c.ct->nested);
            read_strlist(c.ct, &c.ct->excludes);
            output_fp(c.ct);
        });
        EXPECT_EQ(rv, 0) << c.msgs();
        const unsigned char* data;
        long len;
        ioch_get_data(c.ct->op, &data, &len);
        return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
    };
    std::string out = print(text);
    size_t files = out.find("%\n");
    ASSERT_NE(files, std::string::npos);
    EXPECT_EQ(out.rfind("#*KFP-v2.03\tVelkar Filepack (version v2.03)\n", 0), 0u);
    EXPECT_NE(out.find("\ndefault_dest=\"/opt/my app\"\n"), std::string::npos);
    EXPECT_NE(out.find("\ndefault_mtime=0102030405\n"), std::string::npos);
    EXPECT_NE(out.find("\nprogs_timeout=0\n%\n"), std::string::npos);  // v2.03 ends there
    EXPECT_EQ(out.substr(files),
              "%\n\"a b\" d=/x m=644\n*.c o=descend\nls\n%\n\"Lfile=/n.desc\"\n%\ncore\n\"x y\"\n");
    EXPECT_EQ(print(out), out);
}

}  // namespace
