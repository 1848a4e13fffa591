#include "keyw.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "ctxt_test_util.h"
#include "fppar.h"

namespace {

// A keyword set with its defaults, freed at the end of the test.
struct Keyws {
    fp_keyws set;
    Keyws() {
        memset(&set, 0, sizeof set);
        set_dflt_keyws(&set);
    }
    ~Keyws() { dispose_keyws(&set); }
    Keyws(const Keyws&) = delete;
    Keyws& operator=(const Keyws&) = delete;

    std::string printed() {
        char* text = nullptr;
        EXPECT_EQ(prt_keywlist(&set, &text), 0);
        std::string s = text ? text : "";
        free(text);
        return s;
    }
    std::string value(const char* key) {
        char* v = keyw_to_str(&set, key);
        std::string s = v ? v : "<null>";
        free(v);
        return s;
    }
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

// ---------------------------------------------------------------------------
// The table

TEST(KeywTable, HasTheEntriesInWireOrderWithTheirTypes) {
    struct Case {
        int index;
        const char* name;
        fp_keyw_type type;
    };
    const Case cases[] = {
        {0, "postproc", FP_KT_STR},
        {4, "modifiers", FP_KT_MODS},
        {6, "default_mtime", FP_KT_TIME},
        {20, "file_cksums", FP_KT_BOOL},
        {21, "unix_platform_prefix", FP_KT_STR},
        {30, "unix_default_file_uid", FP_KT_UID},
        {33, "unix_default_dir_gid", FP_KT_GID},
        {35, "default_dir_mode", FP_KT_MODE},
        {42, "src_after_as_uid", FP_KT_UID},
        {43, "unix_before_prog_path", FP_KT_PATH},
        {47, "unix_before_skip_non_zero", FP_KT_BOOL},
        {48, "unix_before_as_uid", FP_KT_UID},
        {49, "unix_after_prog_path", FP_KT_PATH},
        {53, "unix_after_as_uid", FP_KT_UID},
        {63, "unix_commit_as_uid", FP_KT_UID},
        {64, "nw_trustee_rights", FP_KT_TRUSTEES},
        {67, "nw_login_prog_path", FP_KT_STR},
        {68, "nw_before_prog_path", FP_KT_STR},
        {72, "nw_before_skip_non_zero", FP_KT_BOOL},
        {73, "nw_after_prog_path", FP_KT_STR},
        {84, "nw_commit_input_from_src", FP_KT_BOOL},
        {85, "dos_before_prog_path", FP_KT_PATH},
        {89, "dos_before_skip_non_zero", FP_KT_BOOL},
        {94, "dos_after_option", FP_KT_DOS_OPT},
        {104, "dos_commit_option", FP_KT_DOS_OPT},
        {106, "win_optional_dist_timeout", FP_KT_INT},
        {126, "win_commit_option", FP_KT_WIN_OPT},
        {130, "prog_env", FP_KT_STR},
        {150, "nt_commit_option", FP_KT_WIN_OPT},
        {170, "os2_commit_option", FP_KT_DOS_OPT},
        {171, "unix_after_removal_prog_path", FP_KT_PATH},
        {180, "unix_on_error_as_uid", FP_KT_UID},
        {186, "nw_broadcast_message", FP_KT_STR},
        {187, "nw_after_removal_prog_path", FP_KT_STR},
        {194, "nw_on_error_input_from_src", FP_KT_BOOL},
        {204, "dos_on_error_option", FP_KT_DOS_OPT},
        {214, "win_on_error_option", FP_KT_WIN_OPT},
        {224, "nt_on_error_option", FP_KT_WIN_OPT},
        {234, "os2_on_error_option", FP_KT_DOS_OPT},
        {235, "win95_platform_prefix", FP_KT_STR},
        {237, "win95_optional_dist_timeout", FP_KT_INT},
        {242, "win95_before_skip_non_zero", FP_KT_BOOL},
        {267, "win95_on_error_option", FP_KT_WIN_OPT},
        {268, "log_file_uid", FP_KT_UID},
        {270, "log_file_mode", FP_KT_LOGMODE},
        {271, "progs_timeout", FP_KT_INT},
        {272, "os400_platform_prefix", FP_KT_STR},
        {302, "os400_on_error_option", FP_KT_WIN_OPT},
        {303, "os400_translate_to_ebcdic", FP_KT_BOOL},
        {305, "stderr_size", FP_KT_INT},
        {307, "up_dirs_hops", FP_KT_INT},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(keyset[c.index].name, c.name) << c.index;
        EXPECT_EQ(keyset[c.index].type, c.type) << c.name;
    }
    std::set<std::string> names;
    for (const fp_keyw_entry& e : keyset) names.insert(e.name);
    EXPECT_EQ(names.size(), static_cast<size_t>(FP_NKEYWS));
}

// ---------------------------------------------------------------------------
// Converters

struct NumCase {
    const char* text;
    int rc;
    long value;
};

void check_num(int (*conv)(const char*, long*), const std::vector<NumCase>& cases) {
    for (const NumCase& c : cases) {
        long v = -12345;
        EXPECT_EQ(conv(c.text, &v), c.rc) << "\"" << c.text << "\"";
        EXPECT_EQ(v, c.rc == 0 ? c.value : -12345) << "\"" << c.text << "\"";
    }
}

TEST(KeywConvert, Booleans) {
    std::vector<NumCase> cases;
    for (const char* y : {"y", "Y", "yes", "Yes", "YES", "1", "true", "TRUE"})
        cases.push_back({y, 0, 1});
    for (const char* n : {"n", "N", "no", "No", "NO", "0", "false", "FALSE"})
        cases.push_back({n, 0, 0});
    for (const char* bad : {"", "yES", "True", "on", "2", "yes ", " no", "nope"})
        cases.push_back({bad, -1, 0});
    check_num(str_to_bool, cases);
}

TEST(KeywConvert, IntsMustBeConsumedWhole) {
    check_num(str_to_int, {{"42", 0, 42},
                           {"-5", 0, -5},
                           {"+7", 0, 7},
                           {"0", 0, 0},
                           {"2147483647", 0, 2147483647L},
                           {"12abc", -1, 0},
                           {"", -1, 0},
                           {" 5", -1, 0},
                           {"5 ", -1, 0},
                           {"-", -1, 0},
                           {"0x10", -1, 0},
                           {"2147483648", -1, 0},
                           {"99999999999999999999", -1, 0}});
}

TEST(KeywConvert, ModesAllowLeadingZerosThenFourOctalDigits) {
    check_num(str_to_mode, {{"644", 0, 0644},
                            {"000644", 0, 0644},
                            {"0", 0, 0},
                            {"00000", 0, 0},
                            {"7777", 0, 07777},
                            {"00007777", 0, 07777},
                            {"12345", -1, 0},
                            {"0012345", -1, 0},
                            {"8", -1, 0},
                            {"0649", -1, 0},
                            {"", -1, 0},
                            {"-1", -1, 0},
                            {"0x1", -1, 0},
                            {"64 ", -1, 0}});
}

// Local broken-down time of a converted value.
struct tm local_of(long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    localtime_r(&tt, &tm);
    return tm;
}

TEST(KeywConvert, TimesAreTenDigitsWithTheCenturySplitAt50) {
    struct Case {
        const char* text;
        int year, mon, day, hour, min;
    };
    const Case good[] = {
        {"0102030405", 2005, 1, 2, 3, 4},     {"0101000050", 1950, 1, 1, 0, 0},
        {"1231235949", 2049, 12, 31, 23, 59}, {"0615120099", 1999, 6, 15, 12, 0},
        {"0229120000", 2000, 2, 29, 12, 0},
    };
    for (const Case& c : good) {
        long t = -1;
        ASSERT_EQ(str_to_time(c.text, &t), 0) << c.text;
        struct tm tm = local_of(t);
        EXPECT_EQ(tm.tm_year + 1900, c.year) << c.text;
        EXPECT_EQ(tm.tm_mon + 1, c.mon) << c.text;
        EXPECT_EQ(tm.tm_mday, c.day) << c.text;
        EXPECT_EQ(tm.tm_hour, c.hour) << c.text;
        EXPECT_EQ(tm.tm_min, c.min) << c.text;
        char back[16];
        ASSERT_EQ(fp_time_to_str(t, back, sizeof back), 0);
        EXPECT_STREQ(back, c.text);
    }
    for (const char* bad : {"010203040", "01020304051", "", "1302030405", "0002030405",
                            "0100030405", "0132030405", "0102240405", "0102036005", "0230120000",
                            "0229120001", "01020304ab", " 102030405", "+102030405"}) {
        long t = -7;
        EXPECT_EQ(str_to_time(bad, &t), -1) << bad;
        EXPECT_EQ(t, -7) << bad;
    }
}

TEST(KeywConvert, UidsAndGidsByNumberOrName) {
    check_num(
        str_to_uid,
        {{"0", 0, 0}, {"root", 0, 0}, {"1234", 0, 1234}, {"no_such_user_q7", -1, 0}, {"", -1, 0}});
    check_num(
        str_to_gid,
        {{"0", 0, 0}, {"root", 0, 0}, {"4321", 0, 4321}, {"no_such_group_q7", -1, 0}, {"", -1, 0}});
}

TEST(KeywConvert, RebootAndRestartOptions) {
    std::vector<NumCase> dos, win;
    for (const char* w : {"Reboot", "b", "B", "boot", "Boot", "BOOT", "reboot", "REBOOT"}) {
        dos.push_back({w, 0, 1});
        win.push_back({w, 0, 1});
    }
    for (const char* w : {"Restart", "r", "R", "restart", "RESTART"}) {
        dos.push_back({w, -1, 0});
        win.push_back({w, 0, 2});
    }
    for (const char* w : {"", "rb", "ReBoot", "1"}) {
        dos.push_back({w, -1, 0});
        win.push_back({w, -1, 0});
    }
    check_num(str_to_dos_opt, dos);
    check_num(str_to_win_opt, win);
}

TEST(KeywConvert, TrusteesAreThreePartEntriesWithValidRights) {
    struct Case {
        const char* text;
        int rc;
    };
    const Case cases[] = {
        {"alice/ctx/RW", 0}, {"a/b/RWCEAFMS-,c/d/R", 0},
        {"a/b/", 0},         {"//R", 0},
        {"a/b", -1},         {"a/b/c/d", -1},
        {"a/b/RX", -1},      {"a/b/rw", -1},
        {"a/b/RW,", -1},     {",a/b/RW", -1},
        {"a/b/RW,c/d", -1},
    };
    for (const Case& c : cases) {
        char* out = nullptr;
        EXPECT_EQ(str_to_trustees(c.text, &out), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_STREQ(out, c.text);
        } else {
            EXPECT_EQ(out, nullptr) << c.text;
        }
        free(out);
    }
    EXPECT_EQ(validate_rights("RWCEAFMS-"), 0);
    EXPECT_EQ(validate_rights(""), 0);
    EXPECT_EQ(validate_rights("RWx"), -1);
    EXPECT_EQ(validate_rights(nullptr), -1);
}

TEST(KeywConvert, StringsAndPaths) {
    char* out = nullptr;
    ASSERT_EQ(str_to_str("", &out), 0);
    EXPECT_STREQ(out, "");
    free(out);
    // An empty path would make relative names absolute.
    out = nullptr;
    EXPECT_EQ(str_to_path("", &out), -1);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(str_to_path("/a b", &out), 0);
    EXPECT_STREQ(out, "/a b");
    free(out);
}

TEST(KeywVersion, ParsesBothForms) {
    struct Case {
        const char* text;
        int rc, major, minor;
    };
    const Case cases[] = {
        {"v2.07", 0, 2, 7},  {"2", 0, 2, 0},      {"2.5x", 0, 2, 0}, {"v2.3", 0, 2, 3},
        {"v3.00", 0, 3, 0},  {"v02.07", 0, 2, 7}, {"v2", -1, 0, 0},  {"v2.", -1, 0, 0},
        {"x2.07", -1, 0, 0}, {"v2.-1", -1, 0, 0}, {"", -1, 0, 0},    {"v99999999999.1", -1, 0, 0},
    };
    for (const Case& c : cases) {
        int major = 0, minor = 0;
        EXPECT_EQ(fp_parse_version(c.text, &major, &minor), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_EQ(major, c.major) << c.text;
            EXPECT_EQ(minor, c.minor) << c.text;
        }
    }
}

// ---------------------------------------------------------------------------
// Assigning and defaults

TEST(KeywSet, DefaultsAfterReset) {
    Keyws k;
    EXPECT_STREQ(k.set.signature, "#*KFP-v2.07");
    EXPECT_EQ(k.set.stop_on_error, 1);
    EXPECT_EQ(k.set.create_dirs, 1);
    EXPECT_EQ(k.set.follow_links, 1);
    EXPECT_EQ(k.set.post_notice, 1);
    EXPECT_EQ(k.set.append_log, 1);
    EXPECT_EQ(k.set.win_optional_dist_timeout, 120);
    EXPECT_EQ(k.set.stderr_size, 1024);
    EXPECT_EQ(k.set.log_file_mode, 0600);
    EXPECT_EQ(k.set.descend_dirs, 0);
    EXPECT_EQ(k.set.progs_timeout, 0);
    EXPECT_EQ(k.set.unix_default_file_uid, -1);
    EXPECT_EQ(k.set.log_file_gid, -1);
    EXPECT_EQ(k.set.default_dir_mode, -1);
    EXPECT_EQ(k.set.default_mtime, -1);
    EXPECT_EQ(k.set.win_after_option, 0);
    EXPECT_EQ(k.set.postproc, nullptr);

    ASSERT_EQ(set_keyw(&k.set, "postproc", "gzip -c"), 0);
    ASSERT_EQ(set_keyw(&k.set, "stop_on_error", "n"), 0);
    ASSERT_EQ(fp_set_keyw_signature(&k.set, "v2.03"), 0);
    set_dflt_keyws(&k.set);
    EXPECT_EQ(k.set.postproc, nullptr);
    EXPECT_EQ(k.set.stop_on_error, 1);
    EXPECT_STREQ(k.set.signature, "#*KFP-v2.07");
}

TEST(KeywSet, AssignsThroughTheConverters) {
    Keyws k;
    EXPECT_EQ(set_keyw(&k.set, "stop_on_error", "no"), 0);
    EXPECT_EQ(k.set.stop_on_error, 0);
    EXPECT_EQ(set_keyw(&k.set, "stop_on_error", "maybe"), -1);
    EXPECT_EQ(k.set.stop_on_error, 0);
    EXPECT_EQ(set_keyw(&k.set, "create_dirs", ""), 0);  // empty: unchanged
    EXPECT_EQ(k.set.create_dirs, 1);
    EXPECT_EQ(set_keyw(&k.set, "create_dirs", nullptr), -1);
    EXPECT_EQ(set_keyw(&k.set, "no_such_key", "1"), -1);
    EXPECT_EQ(set_keyw(&k.set, "", "1"), -1);

    EXPECT_EQ(set_keyw(&k.set, "default_file_mode", "000644"), 0);
    EXPECT_EQ(k.set.default_file_mode, 0644);
    EXPECT_EQ(set_keyw(&k.set, "default_file_mode", "12345"), -1);
    EXPECT_EQ(k.set.default_file_mode, 0644);
    EXPECT_EQ(set_keyw(&k.set, "unix_default_file_uid", "root"), 0);
    EXPECT_EQ(k.set.unix_default_file_uid, 0);
    EXPECT_EQ(set_keyw(&k.set, "win_optional_dist_timeout", "30s"), -1);
    EXPECT_EQ(k.set.win_optional_dist_timeout, 120);
    EXPECT_EQ(set_keyw(&k.set, "modifiers", "16777216"), 0);
    EXPECT_EQ(k.set.modifiers, 0x1000000);
    EXPECT_EQ(set_keyw(&k.set, "win_after_option", "Restart"), 0);
    EXPECT_EQ(k.set.win_after_option, 2);
    EXPECT_EQ(set_keyw(&k.set, "dos_after_option", "Restart"), -1);
    EXPECT_EQ(set_keyw(&k.set, "nw_trustee_rights", "a/b/RX"), -1);
    EXPECT_EQ(k.set.nw_trustee_rights, nullptr);

    // A new string replaces the old one (ASan sees a leak otherwise).
    EXPECT_EQ(set_keyw(&k.set, "postproc", "one"), 0);
    EXPECT_EQ(set_keyw(&k.set, "postproc", "two"), 0);
    EXPECT_STREQ(k.set.postproc, "two");
}

TEST(KeywSet, StderrSizeIsClamped) {
    Keyws k;
    struct Case {
        const char* text;
        long value;
    } cases[] = {{"100000", 65536}, {"65536", 65536}, {"-5", 0}, {"0", 0}, {"512", 512}};
    for (const Case& c : cases) {
        EXPECT_EQ(set_keyw(&k.set, "stderr_size", c.text), 0) << c.text;
        EXPECT_EQ(k.set.stderr_size, c.value) << c.text;
    }
}

TEST(KeywSet, NegativeProgsTimeoutOnlyFillsAnUnsetOne) {
    Keyws k;
    EXPECT_EQ(set_keyw(&k.set, "progs_timeout", "-1"), 0);
    EXPECT_EQ(k.set.progs_timeout, -1);
    EXPECT_EQ(set_keyw(&k.set, "progs_timeout", "30"), 0);
    EXPECT_EQ(k.set.progs_timeout, 30);
    EXPECT_EQ(set_keyw(&k.set, "progs_timeout", "-1"), 0);
    EXPECT_EQ(k.set.progs_timeout, 30);
}

// ---------------------------------------------------------------------------
// Printing

TEST(KeywPrint, ValueTexts) {
    Keyws k;
    EXPECT_EQ(k.value("stop_on_error"), "y");
    EXPECT_EQ(k.value("descend_dirs"), "n");
    EXPECT_EQ(k.value("unix_default_file_uid"), "");
    EXPECT_EQ(k.value("default_file_mode"), "");
    EXPECT_EQ(k.value("log_file_mode"), "0600");
    EXPECT_EQ(k.value("default_mtime"), "");
    EXPECT_EQ(k.value("win_after_option"), "");
    EXPECT_EQ(k.value("postproc"), "");
    EXPECT_EQ(k.value("modifiers"), "0");
    EXPECT_EQ(k.value("progs_timeout"), "0");
    EXPECT_EQ(k.value("no_such_key"), "<null>");

    set_keyw(&k.set, "default_file_mode", "644");
    set_keyw(&k.set, "default_mtime", "0102030405");
    set_keyw(&k.set, "win_after_option", "r");
    set_keyw(&k.set, "dos_after_option", "boot");
    set_keyw(&k.set, "postproc", "gzip -c");
    set_keyw(&k.set, "progs_timeout", "-1");
    set_keyw(&k.set, "unix_default_dir_gid", "0");
    EXPECT_EQ(k.value("default_file_mode"), "0644");
    EXPECT_EQ(k.value("default_mtime"), "0102030405");
    EXPECT_EQ(k.value("win_after_option"), "Restart");
    EXPECT_EQ(k.value("dos_after_option"), "Reboot");
    EXPECT_EQ(k.value("postproc"), "\"gzip -c\"");
    EXPECT_EQ(k.value("progs_timeout"), "-1");
    EXPECT_EQ(k.value("unix_default_dir_gid"), "0");
    // Option values other than 1 or 2 and a boolean of -1 print as nothing.
    k.set.win_after_option = 3;
    k.set.descend_dirs = -1;
    EXPECT_EQ(k.value("win_after_option"), "");
    EXPECT_EQ(k.value("descend_dirs"), "");
}

TEST(KeywPrint, CurrentSetPrintsEveryEntry) {
    Keyws k;
    std::vector<std::string> lines = lines_of(k.printed());
    ASSERT_EQ(lines.size(), static_cast<size_t>(FP_NKEYWS + 1));
    EXPECT_EQ(lines[0], "#*KFP-v2.07\tVelkar Filepack (version v2.07)");
    EXPECT_EQ(lines[1], "postproc=");
    EXPECT_EQ(lines[9], "stop_on_error=y");
    EXPECT_EQ(lines[272], "progs_timeout=0");
    EXPECT_EQ(lines[271], "log_file_mode=0600");
    EXPECT_EQ(lines[308], "up_dirs_hops=0");
}

TEST(KeywPrint, EachVersionPrintsWhatItKnew) {
    struct Case {
        const char* signature;  // null: none
        const char* version;
        int entries;
        const char* last;
    };
    const Case cases[] = {
        {nullptr, "2", 127, "win_commit_option="},
        {"junk", "2", 127, "win_commit_option="},
        {"#*KFP-v2.01", "v2.01", 171, "os2_commit_option="},
        {"#*KFP-v2.02", "v2.02", 271, "log_file_mode=0600"},
        {"#*KFP-v2.03", "v2.03", 272, "progs_timeout=0"},
        {"#*KFP-v2.04", "v2.04", 304, "os400_translate_to_ebcdic=n"},
        {"#*KFP-v2.05", "v2.05", 305, "ozk_inst_sw_comp_handle="},
        {"#*KFP-v2.06", "v2.06", 306, "stderr_size=1024"},
        {"#*KFP-v2.00", "v2.07", 308, "up_dirs_hops=0"},
        {"#*KFP-v2.09", "v2.07", 308, "up_dirs_hops=0"},
        {"#*KFP-2", "v2.07", 308, "up_dirs_hops=0"},
    };
    for (const Case& c : cases) {
        Keyws k;
        free(k.set.signature);
        k.set.signature = c.signature ? strdup(c.signature) : nullptr;
        std::vector<std::string> lines = lines_of(k.printed());
        ASSERT_EQ(lines.size(), static_cast<size_t>(c.entries + 1)) << c.version;
        EXPECT_EQ(lines[0], std::string("#*KFP-") + c.version + "\tVelkar Filepack (version " +
                                c.version + ")");
        EXPECT_EQ(lines.back(), c.last) << c.version;
    }
}

TEST(KeywPrint, OtherMajorVersionsFail) {
    for (const char* sig : {"#*KFP-v3.00", "#*KFP-v1.07", "#*KFP-x"}) {
        Keyws k;
        free(k.set.signature);
        k.set.signature = strdup(sig);
        char* text = reinterpret_cast<char*>(1);
        EXPECT_EQ(prt_keywlist(&k.set, &text), -1) << sig;
        EXPECT_EQ(text, nullptr);
    }
}

// A value of the entry's type that differs from the default.
std::string sample_value(const fp_keyw_entry& e, int i) {
    std::string n = e.name;
    switch (e.type) {
        case FP_KT_INT:
            return std::to_string(1000 + i);
        case FP_KT_STR:
            return "v " + n +
                   " \"q\" 'x' # \\b\\ =" + (i % 3 == 0 ? std::string(300, 'L') + "\\\\ tail" : "");
        case FP_KT_PATH:
            return "/p/" + n + (i % 2 ? " space" : "");
        case FP_KT_BOOL:
            return i % 2 ? "y" : "n";
        case FP_KT_UID:
            return std::to_string(100 + i);
        case FP_KT_GID:
            return std::to_string(200 + i);
        case FP_KT_MODE:
            return "0751";
        case FP_KT_TIME:
            return "0102030405";
        case FP_KT_TRUSTEES:
            return "a/b/RW,c/d/-";
        case FP_KT_DOS_OPT:
            return "Reboot";
        case FP_KT_WIN_OPT:
            return i % 2 ? "Reboot" : "Restart";
        case FP_KT_MODS:
            return "33554439";
        case FP_KT_LOGMODE:
            return "0640";
    }
    return "";
}

// Reads a printed keyword section back into a fresh context.
std::string reparse(const std::string& text, fp_keyws** out_conf, fptest::Ctxt& c) {
    c.input(text);
    int rv = fptest::guarded(c.ct, [&] {
        EXPECT_EQ(read_signature(c.ct), 1);
        read_keywords_utf8(c.ct, 1, 0);
    });
    EXPECT_EQ(rv, 0) << c.msgs();
    *out_conf = c.ct->conf;
    char* again = nullptr;
    EXPECT_EQ(prt_keywlist(c.ct->conf, &again), 0);
    std::string s = again ? again : "";
    free(again);
    return s;
}

TEST(KeywPrint, PrintedSetParsesBackToTheSameSet) {
    Keyws k;
    for (int i = 0; i < FP_NKEYWS; i++) {
        std::string v = sample_value(keyset[i], i);
        ASSERT_EQ(set_keyw(&k.set, keyset[i].name, v.c_str()), 0) << keyset[i].name << "=" << v;
    }
    std::string printed = k.printed();
    fptest::Ctxt c;
    fp_keyws* back = nullptr;
    std::string again = reparse(printed, &back, c);
    EXPECT_EQ(again, printed);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->signature, k.set.signature);
    for (const fp_keyw_entry& e : keyset) {
        const char* a = reinterpret_cast<const char*>(&k.set) + e.offset;
        const char* b = reinterpret_cast<const char*>(back) + e.offset;
        if (e.type == FP_KT_STR || e.type == FP_KT_PATH || e.type == FP_KT_TRUSTEES) {
            EXPECT_STREQ(*reinterpret_cast<char* const*>(b), *reinterpret_cast<char* const*>(a))
                << e.name;
        } else {
            EXPECT_EQ(*reinterpret_cast<const long*>(b), *reinterpret_cast<const long*>(a))
                << e.name;
        }
    }
}

TEST(KeywPrint, DefaultSetParsesBackToTheSameSet) {
    Keyws k;
    set_keyw(&k.set, "progs_timeout", "-1");
    std::string printed = k.printed();
    fptest::Ctxt c;
    fp_keyws* back = nullptr;
    EXPECT_EQ(reparse(printed, &back, c), printed);
    EXPECT_EQ(back->progs_timeout, -1);
    EXPECT_EQ(back->default_mtime, -1);
    EXPECT_EQ(back->unix_default_file_uid, -1);
}

}  // namespace
