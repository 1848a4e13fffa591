// The keyword set: the named settings that govern packing, installing,
// scripts and logging, their converters, defaults and printed form.
//
// The table below is the single list of keywords, in wire order: the index of
// an entry decides which keyword-set versions print it, so entries are only
// ever appended. It generates both the fields of `fp_keyws` and `keyset`.
#pragma once

#include <cstddef>

// Value types. Numeric fields are `long` (times need more than 32 bits for
// the years after 2037); string-like fields are owned heap copies or null.
enum fp_keyw_type {
    FP_KT_INT,       // decimal, printed "%d"
    FP_KT_STR,       // any text
    FP_KT_BOOL,      // y/n words, printed "y" or "n"
    FP_KT_PATH,      // any text
    FP_KT_UID,       // number or user name; -1 unset
    FP_KT_GID,       // number or group name; -1 unset
    FP_KT_MODE,      // octal, at most four digits after leading zeros; -1 unset
    FP_KT_TIME,      // MMDDhhmmYY local time; -1 unset
    FP_KT_TRUSTEES,  // a/b/rights[,a/b/rights...]
    FP_KT_DOS_OPT,   // reboot word -> 1
    FP_KT_WIN_OPT,   // reboot word -> 1, restart word -> 2
    FP_KT_MODS,      // decimal modifier mask, printed "%ld"
    FP_KT_LOGMODE,   // as MODE, default 0600
};

// Script group of platform prefix P and kind K: program and input paths with
// their from-source flags. PT is the type of the two paths.
#define FP_KS_CORE(X, P, K, PT)            \
    X(P##_##K##_prog_path, PT)             \
    X(P##_##K##_prog_from_src, FP_KT_BOOL) \
    X(P##_##K##_input_path, PT)            \
    X(P##_##K##_input_from_src, FP_KT_BOOL)
#define FP_KS_SKIP(X, P) X(P##_before_skip_non_zero, FP_KT_BOOL)

// unix groups end with the uid the script runs as.
#define FP_KS_UNIX(X, K) FP_KS_CORE(X, unix, K, FP_KT_PATH) X(unix_##K##_as_uid, FP_KT_UID)
#define FP_KS_UNIX_BEFORE(X) \
    FP_KS_CORE(X, unix, before, FP_KT_PATH) FP_KS_SKIP(X, unix) X(unix_before_as_uid, FP_KT_UID)
// nw groups carry plain strings and nothing else.
#define FP_KS_NW(X, K) FP_KS_CORE(X, nw, K, FP_KT_STR)
#define FP_KS_NW_BEFORE(X) FP_KS_NW(X, before) FP_KS_SKIP(X, nw)
// Other platforms: every kind but before ends with a reboot/restart option.
#define FP_KS_OPT(X, P, K, OT) FP_KS_CORE(X, P, K, FP_KT_PATH) X(P##_##K##_option, OT)
#define FP_KS_OPT_BEFORE(X, P) FP_KS_CORE(X, P, before, FP_KT_PATH) FP_KS_SKIP(X, P)
#define FP_KS_OPT_MAIN(X, P, OT) \
    FP_KS_OPT_BEFORE(X, P)       \
    FP_KS_OPT(X, P, after, OT) FP_KS_OPT(X, P, removal, OT) FP_KS_OPT(X, P, commit, OT)
#define FP_KS_OPT_LATE(X, P, OT) FP_KS_OPT(X, P, after_removal, OT) FP_KS_OPT(X, P, on_error, OT)

// The 308 keywords in table order (indices in the comments).
#define FP_KEYSET(X)                          \
    /* 0-20 */                                \
    X(postproc, FP_KT_STR)                    \
    X(preproc, FP_KT_STR)                     \
    X(do_checksum, FP_KT_BOOL)                \
    X(do_compress, FP_KT_BOOL)                \
    X(modifiers, FP_KT_MODS)                  \
    X(default_dest, FP_KT_PATH)               \
    X(default_mtime, FP_KT_TIME)              \
    X(rm_empty_dirs, FP_KT_BOOL)              \
    X(stop_on_error, FP_KT_BOOL)              \
    X(descend_dirs, FP_KT_BOOL)               \
    X(keep_paths, FP_KT_BOOL)                 \
    X(rm_extraneous, FP_KT_BOOL)              \
    X(follow_links, FP_KT_BOOL)               \
    X(create_dirs, FP_KT_BOOL)                \
    X(skip_older_src, FP_KT_BOOL)             \
    X(no_overwrite, FP_KT_BOOL)               \
    X(backup_fmt, FP_KT_STR)                  \
    X(list_path, FP_KT_PATH)                  \
    X(nested_first, FP_KT_BOOL)               \
    X(src_relpath, FP_KT_PATH)                \
    X(file_cksums, FP_KT_BOOL)                \
    /* 21-29 */                               \
    X(unix_platform_prefix, FP_KT_STR)        \
    X(nw_platform_prefix, FP_KT_STR)          \
    X(dos_platform_prefix, FP_KT_STR)         \
    X(win_platform_prefix, FP_KT_STR)         \
    X(post_notice, FP_KT_BOOL)                \
    X(mail_id, FP_KT_STR)                     \
    X(log_host, FP_KT_STR)                    \
    X(log_file, FP_KT_PATH)                   \
    X(append_log, FP_KT_BOOL)                 \
    /* 30-35 */                               \
    X(unix_default_file_uid, FP_KT_UID)       \
    X(unix_default_dir_uid, FP_KT_UID)        \
    X(unix_default_file_gid, FP_KT_GID)       \
    X(unix_default_dir_gid, FP_KT_GID)        \
    X(default_file_mode, FP_KT_MODE)          \
    X(default_dir_mode, FP_KT_MODE)           \
    /* 36-42 */                               \
    X(src_before_prog_path, FP_KT_PATH)       \
    X(src_before_input_path, FP_KT_PATH)      \
    X(src_before_skip_non_zero, FP_KT_BOOL)   \
    X(src_before_as_uid, FP_KT_UID)           \
    X(src_after_prog_path, FP_KT_PATH)        \
    X(src_after_input_path, FP_KT_PATH)       \
    X(src_after_as_uid, FP_KT_UID)            \
    /* 43-63 */                               \
    FP_KS_UNIX_BEFORE(X)                      \
    FP_KS_UNIX(X, after)                      \
    FP_KS_UNIX(X, removal)                    \
    FP_KS_UNIX(X, commit)                     \
    /* 64-67 */                               \
    X(nw_trustee_rights, FP_KT_TRUSTEES)      \
    X(nw_login_replace, FP_KT_BOOL)           \
    X(nw_login_get_from_src, FP_KT_BOOL)      \
    X(nw_login_prog_path, FP_KT_STR)          \
    /* 68-84 */                               \
    FP_KS_NW_BEFORE(X)                        \
    FP_KS_NW(X, after)                        \
    FP_KS_NW(X, removal)                      \
    FP_KS_NW(X, commit)                       \
    /* 85-104 */                              \
    FP_KS_OPT_MAIN(X, dos, FP_KT_DOS_OPT)     \
    /* 105-106 */                             \
    X(win_optional_dist, FP_KT_BOOL)          \
    X(win_optional_dist_timeout, FP_KT_INT)   \
    /* 107-126 */                             \
    FP_KS_OPT_MAIN(X, win, FP_KT_WIN_OPT)     \
    /* 127-130 */                             \
    X(install_progs, FP_KT_BOOL)              \
    X(nt_platform_prefix, FP_KT_STR)          \
    X(os2_platform_prefix, FP_KT_STR)         \
    X(prog_env, FP_KT_STR)                    \
    /* 131-170 */                             \
    FP_KS_OPT_MAIN(X, nt, FP_KT_WIN_OPT)      \
    FP_KS_OPT_MAIN(X, os2, FP_KT_DOS_OPT)     \
    /* 171-180 */                             \
    FP_KS_UNIX(X, after_removal)              \
    FP_KS_UNIX(X, on_error)                   \
    /* 181-186 */                             \
    X(nw_context, FP_KT_STR)                  \
    X(nw_tree, FP_KT_STR)                     \
    X(nw_bindery, FP_KT_BOOL)                 \
    X(nw_force_disconnect, FP_KT_BOOL)        \
    X(nw_broadcast_mode, FP_KT_BOOL)          \
    X(nw_broadcast_message, FP_KT_STR)        \
    /* 187-234 */                             \
    FP_KS_NW(X, after_removal)                \
    FP_KS_NW(X, on_error)                     \
    FP_KS_OPT_LATE(X, dos, FP_KT_DOS_OPT)     \
    FP_KS_OPT_LATE(X, win, FP_KT_WIN_OPT)     \
    FP_KS_OPT_LATE(X, nt, FP_KT_WIN_OPT)      \
    FP_KS_OPT_LATE(X, os2, FP_KT_DOS_OPT)     \
    /* 235-237 */                             \
    X(win95_platform_prefix, FP_KT_STR)       \
    X(win95_optional_dist, FP_KT_BOOL)        \
    X(win95_optional_dist_timeout, FP_KT_INT) \
    /* 238-267 */                             \
    FP_KS_OPT_MAIN(X, win95, FP_KT_WIN_OPT)   \
    FP_KS_OPT_LATE(X, win95, FP_KT_WIN_OPT)   \
    /* 268-272 */                             \
    X(log_file_uid, FP_KT_UID)                \
    X(log_file_gid, FP_KT_GID)                \
    X(log_file_mode, FP_KT_LOGMODE)           \
    X(progs_timeout, FP_KT_INT)               \
    X(os400_platform_prefix, FP_KT_STR)       \
    /* 273-302 */                             \
    FP_KS_OPT_MAIN(X, os400, FP_KT_WIN_OPT)   \
    FP_KS_OPT_LATE(X, os400, FP_KT_WIN_OPT)   \
    /* 303-307 */                             \
    X(os400_translate_to_ebcdic, FP_KT_BOOL)  \
    X(ozk_inst_sw_comp_handle, FP_KT_STR)     \
    X(stderr_size, FP_KT_INT)                 \
    X(alternate_dirs, FP_KT_STR)              \
    X(up_dirs_hops, FP_KT_INT)

#define FP_KW_FIELD_FP_KT_INT long
#define FP_KW_FIELD_FP_KT_STR char*
#define FP_KW_FIELD_FP_KT_BOOL long
#define FP_KW_FIELD_FP_KT_PATH char*
#define FP_KW_FIELD_FP_KT_UID long
#define FP_KW_FIELD_FP_KT_GID long
#define FP_KW_FIELD_FP_KT_MODE long
#define FP_KW_FIELD_FP_KT_TIME long
#define FP_KW_FIELD_FP_KT_TRUSTEES char*
#define FP_KW_FIELD_FP_KT_DOS_OPT long
#define FP_KW_FIELD_FP_KT_WIN_OPT long
#define FP_KW_FIELD_FP_KT_MODS long
#define FP_KW_FIELD_FP_KT_LOGMODE long

// A keyword set: its signature ("#*KFP-" plus the version, owned, or null)
// and one field per keyword, named after the key.
struct fp_keyws {
    char* signature;
#define FP_KW_DECLARE(name, type) FP_KW_FIELD_##type name;
    FP_KEYSET(FP_KW_DECLARE)
#undef FP_KW_DECLARE
};

#define FP_NKEYWS 308
// Signature prefix of descriptions and keyword sets.
#define FP_SIG_PREFIX "#*KFP-"

struct fp_keyw_entry {
    const char* name;
    size_t offset;  // of the field in fp_keyws
    fp_keyw_type type;
};
extern const fp_keyw_entry keyset[FP_NKEYWS];

// Assigns one keyword from its text. Returns 0, or -1 for an unknown key, a
// null value or a value the converter rejects (the set is then unchanged).
// An empty value leaves the field unchanged and returns 0.
int set_keyw(fp_keyws* set, const char* key, const char* value);
// Frees everything the set owns and applies the defaults, with the signature
// of the current version.
void set_dflt_keyws(fp_keyws* set);
// Frees the set's strings (signature included) and nulls them.
void dispose_keyws(fp_keyws* set);
// Replaces the set's signature with "#*KFP-" + version. 0, or -1 (no memory).
int fp_set_keyw_signature(fp_keyws* set, const char* version);
// A new text of one value as printed in a keyword list; null for an unknown
// key or when memory fails.
char* keyw_to_str(const fp_keyws* set, const char* key);
// The whole set as a description keyword section, signature line first, in
// a new text (*text, freed by the caller). Only the keywords the set's
// version knew are printed. Returns 0, or -1 (no memory, or a signature
// whose major version is not 2; *text is then null).
int prt_keywlist(const fp_keyws* set, char** text);

// Reads a version text as written after "#*KFP-" or "KFPB-": text beginning
// with "2" is version 2.0, otherwise "v<major>.<minor>". Returns 0, or -1
// when the text is neither.
int fp_parse_version(const char* text, int* major, int* minor);

// Converters: each returns 0 and stores the value, or -1 and stores nothing.
// String results are new heap copies.
int str_to_int(const char* text, long* out);
int str_to_str(const char* text, char** out);
int str_to_bool(const char* text, long* out);
int str_to_path(const char* text, char** out);
int str_to_uid(const char* text, long* out);
int str_to_gid(const char* text, long* out);
int str_to_mode(const char* text, long* out);
int str_to_time(const char* text, long* out);
int str_to_trustees(const char* text, char** out);
int str_to_dos_opt(const char* text, long* out);
int str_to_win_opt(const char* text, long* out);
// 0 when every character of the rights string is one of "RWCEAFMS-".
int validate_rights(const char* rights);
// Writes the MMDDhhmmYY text of a time (local) into buf (at least 11 bytes).
// Returns 0, or -1 when the time cannot be broken down.
int fp_time_to_str(long t, char* buf, size_t size);
