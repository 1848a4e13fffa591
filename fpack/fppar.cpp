// The description language: tokenizer, section readers, shell expansion of
// commands and patterns, the parse driver and the printed form.
#include "fppar.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fopt.h"
#include "io_chan.h"
#include "io_filter.h"
#include "keyw.h"
#include "log_msg.h"
#include "nestfp.h"
#include "pack.h"
#include "run_script.h"
#include "runcmd_if.h"
#include "zug.h"

namespace {

// Tail of the tokenizer's messages, quoting the offending line.
#define FP_LINE_HINT " in a line which contains the following characters:\n\t%s"
// A level-2 message: it ends the operation and never returns.
[[noreturn]] __attribute__((format(printf, 2, 3))) void fatal(fp_ctxt* ct, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vmsg(ct, FP_LOG_FATAL, fmt, ap);
    va_end(ap);
    fp_jump(ct, FP_JMP_FATAL);  // not reached: the level ends the operation
}

// Growth step of the word buffer.
const size_t kWordStep = 1024;
// Longest glob directory plus pattern.
const size_t kGlobMax = 1024;

// ---------------------------------------------------------------------------
// Tokenizer

// State of one call of the tokenizer: the words found so far (owned until
// they are returned), the word being built and the raw characters of the
// line for error messages.
struct tok {
    fp_ctxt* ct;
    ioch* ch;
    long* budget;  // characters still allowed, or null
    int eof;
    fp_word* words;
    int max, n;
    int overflow;  // a word past `max` started
    int open;      // a word is being built
    fp_word cur;
    char* buf;
    size_t len, cap;
    char raw[FP_ERR_LINE_MAX + 1];
    long rawlen;  // characters of the line read (may exceed the buffer)
    int start_line;
};

// The raw line for a message: its first characters up to the first line end.
const char* tok_raw(tok* t) {
    long n = t->rawlen < FP_ERR_LINE_MAX ? t->rawlen : FP_ERR_LINE_MAX;
    t->raw[n] = '\0';
    t->raw[strcspn(t->raw, "\r\n")] = '\0';
    return t->raw;
}

void tok_release(tok* t) {
    par_free(t->words, t->n);
    t->n = 0;
    free(t->buf);
    t->buf = nullptr;
}

// Frees what the tokenizer holds and reports the error.
[[noreturn]] __attribute__((format(printf, 2, 3))) void tok_fail(tok* t, const char* fmt, ...) {
    char msg[FP_ERR_LINE_MAX + 256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    tok_release(t);
    parse_err(t->ct, "%s", msg);
}

int tgetc(tok* t) {
    if (t->eof) return -1;
    int c = ioch_getc(t->ch);
    if (c < 0) {
        t->eof = 1;
        return -1;
    }
    if (t->budget) {
        if (*t->budget <= 0)
            tok_fail(t, "shell command output longer than %ld bytes" FP_LINE_HINT,
                     FP_CMD_OUTPUT_MAX, tok_raw(t));
        --*t->budget;
    }
    if (t->rawlen < FP_ERR_LINE_MAX) t->raw[t->rawlen] = static_cast<char>(c);
    t->rawlen++;
    if (c == '\n') t->ct->line++;
    return c;
}

void tungetc(tok* t, int c) {
    ioch_ungetc(t->ch);
    t->rawlen--;
    if (t->budget) ++*t->budget;
    if (c == '\n') t->ct->line--;
}

void word_open(tok* t) {
    if (t->open) return;
    t->open = 1;
    t->len = 0;
    t->cur = fp_word{nullptr, -1, 0, 0, 0};
    if (t->n >= t->max) t->overflow = 1;
}

void word_put(tok* t, int c) {
    word_open(t);
    if (t->overflow) return;
    if (t->len >= FP_WORD_MAX)
        tok_fail(t, "word too long (max %d)" FP_LINE_HINT, FP_WORD_MAX, tok_raw(t));
    if (t->len >= t->cap) {
        char* nb = static_cast<char*>(realloc(t->buf, t->cap + kWordStep));
        if (!nb) tok_fail(t, "out of memory");
        t->buf = nb;
        t->cap += kWordStep;
    }
    t->buf[t->len++] = static_cast<char>(c);
}

void word_close(tok* t) {
    if (!t->open) return;
    t->open = 0;
    if (t->overflow) return;
    char* text = static_cast<char*>(malloc(t->len + 1));
    if (!text) tok_fail(t, "out of memory");
    if (t->len) memcpy(text, t->buf, t->len);
    text[t->len] = '\0';
    t->cur.text = text;
    t->words[t->n++] = t->cur;
}

// After a carriage return: a newline that follows belongs to it.
void tok_after_cr(tok* t) {
    int d = tgetc(t);
    if (d >= 0 && d != '\n') tungetc(t, d);
}

// After a backslash: the next character is literal; a line end joins lines.
void tok_backslash(tok* t) {
    int c = tgetc(t);
    if (c < 0 || c == '\n') return;
    if (c == '\r') {
        tok_after_cr(t);
        return;
    }
    t->cur.quoted = 1;
    if (c != '\0') word_put(t, c);
}

// After a backslash: true when a line end follows (consumed), else the
// character is put back.
bool tok_line_join(tok* t) {
    int c = tgetc(t);
    if (c == '\n') return true;
    if (c == '\r') {
        tok_after_cr(t);
        return true;
    }
    if (c >= 0) tungetc(t, c);
    return false;
}

enum { kLineEnd = 0, kInputEnd = 1 };

int skip_comment(tok* t) {
    for (;;) {
        int c = tgetc(t);
        if (c < 0) return kInputEnd;
        if (c == '\n' || c == '\0') return kLineEnd;
        if (c == '\r') {
            tok_after_cr(t);
            return kLineEnd;
        }
    }
}

// Reads one logical line into the words; returns kLineEnd or kInputEnd.
int tok_line(tok* t) {
    int quote = 0, quote_line = 0;
    for (;;) {
        int c = tgetc(t);
        if (quote) {
            if (c < 0 || c == '\0') {
                t->ct->line = quote_line;
                tok_fail(t, "Unterminated quote (%c)" FP_LINE_HINT, quote, tok_raw(t));
            }
            if (c == '\\') {
                word_open(t);
                tok_backslash(t);
            } else if (c == quote) {
                quote = 0;
            } else {
                word_put(t, c);
            }
            continue;
        }
        switch (c) {
            case -1:
                word_close(t);
                return kInputEnd;
            case '\0':
            case '\n':
                word_close(t);
                return kLineEnd;
            case '\r':
                tok_after_cr(t);
                word_close(t);
                return kLineEnd;
            case ' ':
            case '\t':
                word_close(t);
                continue;
            case '\\':
                // Between words a backslash-newline only joins the lines, so
                // that a continuation line may be indented.
                if (!t->open && tok_line_join(t)) continue;
                word_open(t);
                tok_backslash(t);
                continue;
            case '"':
            case '\'':
                word_open(t);
                t->cur.quoted = 1;
                quote = c;
                quote_line = t->ct->line;
                continue;
            default:
                break;
        }
        if (!t->open && c == '#') return skip_comment(t);
        if (!t->open && c == '`') {
            word_open(t);
            t->cur.command = 1;
            quote = c;
            quote_line = t->ct->line;
            continue;
        }
        word_open(t);
        if (c == '*' || c == '?' || c == '[') t->cur.pattern = 1;
        if (c == '=' && t->cur.eq < 0) t->cur.eq = static_cast<int>(t->len);
        word_put(t, c);
    }
}

// The tokenizer proper; *start_line receives the line the words began on.
int par_line(fp_ctxt* ct, fp_word* words, int max, long* budget, int* start_line) {
    if (ct->line < 1) ct->line = 1;
    *start_line = ct->line;
    if (!ct->ip) return 0;
    tok t;
    memset(&t, 0, sizeof t);
    t.ct = ct;
    t.ch = ct->ip;
    t.budget = budget;
    t.words = words;
    t.max = max;
    for (;;) {
        t.rawlen = 0;
        t.start_line = ct->line;
        int end = tok_line(&t);
        if (t.overflow) {
            ct->line = t.start_line;
            tok_fail(&t, "too many words (max %d)" FP_LINE_HINT, max, tok_raw(&t));
        }
        if (t.n > 0) {
            free(t.buf);
            *start_line = t.start_line;
            return t.n;
        }
        if (end == kInputEnd) break;
    }
    free(t.buf);
    int err = 0;
    ioch_get_error(ct->ip, &err, nullptr);
    if (err) parse_err(ct, "I/O error (%d)" FP_LINE_HINT, err, tok_raw(&t));
    return 0;
}

}  // namespace

int par(fp_ctxt* ct, fp_word* words, int max) {
    int line;
    return par_line(ct, words, max, nullptr, &line);
}

void par_free(fp_word* words, int n) {
    for (int i = 0; i < n; i++) {
        free(words[i].text);
        words[i].text = nullptr;
    }
}

namespace {

// After a carriage return: a newline that follows belongs to it.
void eat_newline(fp_ctxt* ct) {
    int d = ioch_getc(ct->ip);
    if (d == '\n') {
        ct->line++;
    } else if (d >= 0) {
        ioch_ungetc(ct->ip);
    }
}

[[noreturn]] void channel_error(fp_ctxt* ct, int err) {
    parse_err(ct, "I/O error (%d)", err);
}

int channel_failed(fp_ctxt* ct) {
    int err = 0;
    ioch_get_error(ct->ip, &err, nullptr);
    return err;
}

}  // namespace

int par_str(fp_ctxt* ct, char* buf, int size) {
    if (ct->line < 1) ct->line = 1;
    if (!ct->ip || size < 1) return -1;
    int len = 0, c, any = 0;
    while ((c = ioch_getc(ct->ip)) >= 0) {
        any = 1;
        if (c == '\n') {
            ct->line++;
            break;
        }
        if (c == '\r') {
            eat_newline(ct);
            break;
        }
        if (len < size - 1) buf[len++] = static_cast<char>(c);
    }
    buf[len] = '\0';
    if (c < 0 && !any) {
        if (int err = channel_failed(ct)) channel_error(ct, err);
        return -1;
    }
    return len;
}

// ---------------------------------------------------------------------------
// Signature

int read_signature(fp_ctxt* ct) {
    if (ct->line < 1) ct->line = 1;
    if (!ct->ip) return 0;
    int c;
    while ((c = ioch_getc(ct->ip)) == ' ' || c == '\t' || c == '\n' || c == '\r')
        if (c == '\n') ct->line++;
    if (c != '#') {
        if (c >= 0) {
            ioch_ungetc(ct->ip);
        } else if (int err = channel_failed(ct)) {
            channel_error(ct, err);
        }
        return 0;
    }
    int sig_line = ct->line;
    char sig[FP_SIG_MAX + 1];
    int len = 0;
    sig[len++] = '#';
    while ((c = ioch_getc(ct->ip)) >= 0 && c != '\n' && c != '\r')
        if (len < FP_SIG_MAX) sig[len++] = static_cast<char>(c);
    sig[len] = '\0';
    if (c == '\n') ct->line++;
    if (c == '\r') eat_newline(ct);
    if (c < 0)
        if (int err = channel_failed(ct)) channel_error(ct, err);
    size_t plen = strlen(FP_SIG_PREFIX);
    if (strncmp(sig, FP_SIG_PREFIX, plen) != 0) return 0;
    int major, minor;
    if (fp_parse_version(sig + plen, &major, &minor) != 0 || major != 2) {
        ct->line = sig_line;  // for the caller's message
        return -1;
    }
    snprintf(ct->version, sizeof ct->version, "v%d.%2.2d", major, minor);
    return 1;
}

// ---------------------------------------------------------------------------
// Keyword section

namespace {

// The words of one line, kept so that an error can free them first.
struct line_words {
    fp_word w[FP_MAX_WORDS];
    int n;
    int line;
};

// Frees the line's words and reports the error at the line they came from.
[[noreturn]] __attribute__((format(printf, 3, 4))) void line_fail(fp_ctxt* ct, line_words* lw,
                                                                  const char* fmt, ...) {
    char msg[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    par_free(lw->w, lw->n);
    lw->n = 0;
    ct->line = lw->line;
    parse_err(ct, "%s", msg);
}

// Reads the next line; 0 at the end of the section ("%" or end of input).
int next_line(fp_ctxt* ct, line_words* lw, long* budget) {
    lw->n = par_line(ct, lw->w, FP_MAX_WORDS, budget, &lw->line);
    if (lw->n == 1 && !lw->w[0].quoted && strcmp(lw->w[0].text, "%") == 0) {
        par_free(lw->w, lw->n);
        lw->n = 0;
    }
    return lw->n;
}

[[noreturn]] void missing_equals(fp_ctxt* ct, line_words* lw, const char* word) {
    line_fail(ct, lw, "Expected '=' assignment for\tthe '%s' key.", word ? word : "<null>");
}

// A new copy of text converted from UTF-8 to the local code set.
char* from_utf8(const char* text) {
    size_t len = strlen(text);
    char* out = static_cast<char*>(malloc(2 * len + 1));
    if (!out) return nullptr;
    size_t n = zug_from_utf8(nullptr, text, len, out, 2 * len + 1);
    out[n] = '\0';
    return out;
}

// The words after `first` joined with single blanks onto `value`.
char* join_rest(const char* value, const line_words* lw, int first) {
    size_t len = strlen(value) + 1;
    for (int i = first; i < lw->n; i++) len += strlen(lw->w[i].text) + 1;
    char* out = static_cast<char*>(malloc(len));
    if (!out) return nullptr;
    strcpy(out, value);
    for (int i = first; i < lw->n; i++) {
        strcat(out, " ");
        strcat(out, lw->w[i].text);
    }
    return out;
}

// How a keyword section is read.
struct kw_mode {
    int convert;       // values are UTF-8
    int rest_of_line;  // prog_env takes the rest of its line (override text)
    int plain_mtime;   // default_mtime may be a plain number of seconds
};

// default_mtime as the library reader takes it: a date, else all digits
// as seconds, else unset.
void set_plain_mtime(fp_keyws* conf, const char* value) {
    long v;
    if (str_to_time(value, &v) == 0) {
        conf->default_mtime = v;
        return;
    }
    errno = 0;
    char* end;
    v = strtol(value, &end, 10);
    bool digits = value[0] >= '0' && value[0] <= '9' && *end == '\0' && errno != ERANGE;
    conf->default_mtime = digits ? v : -1;
}

// Assigns one key=value; returns 0, or -1 when set_keyw rejects it.
int assign(fp_ctxt* ct, const char* key, const char* value, const kw_mode* mode) {
    if (mode->plain_mtime && strcmp(key, "default_mtime") == 0) {
        if (*value) set_plain_mtime(ct->conf, value);
        return 0;
    }
    return set_keyw(ct->conf, key, value);
}

void keyword_line(fp_ctxt* ct, line_words* lw, const kw_mode* mode) {
    for (int i = 0; i < lw->n; i++) {
        fp_word* w = &lw->w[i];
        if (w->eq < 0) missing_equals(ct, lw, w->text);
        w->text[w->eq] = '\0';
        const char* key = w->text;
        const char* raw = w->text + w->eq + 1;
        bool rest = mode->rest_of_line && strcmp(key, "prog_env") == 0;
        char* value = rest            ? join_rest(raw, lw, i + 1)
                      : mode->convert ? from_utf8(raw)
                                      : strdup(raw);
        if (!value) line_fail(ct, lw, "out of memory");
        int rc = assign(ct, key, value, mode);
        if (rc != 0) {
            // Formatted before the words and the value are freed.
            char msg[1100];
            char* known = keyw_to_str(ct->conf, key);
            if (known) {
                snprintf(msg, sizeof msg, "Invalid value '%.1000s' for the '%s' key.", value, key);
            } else {
                snprintf(msg, sizeof msg, "Unknown key '%.1000s'.", key);
            }
            free(known);
            free(value);
            line_fail(ct, lw, "%s", msg);
        }
        free(value);
        if (rest) break;
    }
}

void read_keyword_section(fp_ctxt* ct, int reset, const kw_mode* mode) {
    if (reset) {
        set_dflt_keyws(ct->conf);
        if (ct->version[0] && fp_set_keyw_signature(ct->conf, ct->version) != 0)
            fatal(ct, "out of memory");
    }
    line_words lw;
    while (next_line(ct, &lw, nullptr)) {
        keyword_line(ct, &lw, mode);
        par_free(lw.w, lw.n);
    }
}

}  // namespace

int read_keywords_utf8(fp_ctxt* ct, int reset, int convert) {
    kw_mode mode = {convert, 0, 0};
    read_keyword_section(ct, reset, &mode);
    return 0;
}

int read_keywords(fp_ctxt* ct, int reset) {
    kw_mode mode = {0, 0, 1};
    read_keyword_section(ct, reset, &mode);
    return 0;
}

namespace {

void override_body(fp_ctxt* ct, void* arg) {
    const kw_mode* mode = static_cast<const kw_mode*>(arg);
    read_keyword_section(ct, 0, mode);
}

}  // namespace

void fp_apply_override(fp_ctxt* ct) {
    const char* text = ct->conf_override;
    if (!text || !*text) return;
    ioch* ch = ioch_data_init(text, static_cast<long>(strlen(text)));
    if (!ch) fatal(ct, "out of memory");
    ioch* saved_ip = ct->ip;
    int saved_line = ct->line;
    ct->ip = ch;
    ct->line = 1;
    kw_mode mode = {0, strstr(text, "prog_env") != nullptr, 0};
    int rc = fp_guarded(ct, override_body, &mode);
    ioch_dispose(ch);
    ct->ip = saved_ip;
    ct->line = saved_line;
    if (rc) fp_jump(ct, rc);
}

// ---------------------------------------------------------------------------
// File list

namespace {

bool is_relative(const char* name) {
    return name[0] != '/' && !(name[0] && name[1] == ':');
}

// The concatenation of the texts up to a null, in a new text.
char* cat_strs(const char* first, ...) {
    va_list ap;
    size_t len = 0;
    va_start(ap, first);
    for (const char* s = first; s; s = va_arg(ap, const char*)) len += strlen(s);
    va_end(ap);
    char* out = static_cast<char*>(malloc(len + 1));
    if (!out) return nullptr;
    char* p = out;
    va_start(ap, first);
    for (const char* s = first; s; s = va_arg(ap, const char*)) {
        size_t n = strlen(s);
        memcpy(p, s, n);
        p += n;
    }
    va_end(ap);
    *p = '\0';
    return out;
}

// dir, a "/" unless dir ends with one, and name.
char* join_path(const char* dir, const char* name) {
    size_t dl = strlen(dir);
    return cat_strs(dir, dl && dir[dl - 1] == '/' ? "" : "/", name, nullptr);
}

// The text in single quotes for /bin/sh.
char* sh_quote(const char* text) {
    size_t len = 2;
    for (const char* p = text; *p; p++) len += *p == '\'' ? 4 : 1;
    char* out = static_cast<char*>(malloc(len + 1));
    if (!out) return nullptr;
    char* o = out;
    *o++ = '\'';
    for (const char* p = text; *p; p++) {
        if (*p == '\'') {
            memcpy(o, "'\\''", 4);
            o += 4;
        } else {
            *o++ = *p;
        }
    }
    *o++ = '\'';
    *o = '\0';
    return out;
}

// Where the records of a file list go: shared by a list and the lists that
// its commands print.
struct rec_sink {
    fp_frec** tail;  // slot of the next record
    long count;      // records appended so far
};

struct flist {
    rec_sink* out;
    int depth;             // back-quoted commands around this list
    int expand, convert;   // run commands and patterns; names are UTF-8
    const char* dflt_src;  // source directory of records without their own
    long* budget;          // characters still allowed (command output)
    long count_limit;      // out->count allowed (command output), or 0
};

void append_rec(fp_ctxt* ct, const flist* fl, fp_frec* rec) {
    *fl->out->tail = rec;
    fl->out->tail = &rec->next;
    if (++fl->out->count > fl->count_limit && fl->count_limit)
        parse_err(ct, "shell command printed more than %ld names", FP_CMD_NAMES_MAX);
}

// A plain name: under the record's source directory when relative.
void add_named(fp_ctxt* ct, const flist* fl, fp_frec* rec, char* name) {
    if (rec->path && is_relative(name)) {
        char* full = join_path(rec->path, name);
        free(name);
        if (!full) {
            dispose_frec(rec);
            fatal(ct, "out of memory");
        }
        name = full;
    }
    free(rec->path);
    rec->path = name;
    append_rec(ct, fl, rec);
}

void read_file_lines(fp_ctxt* ct, const flist* fl);

// A shell command whose output becomes records.
struct sh_job {
    const flist* fl;
    flist sub;      // where the command's records go
    fp_frec* tmpl;  // the command's or pattern's own record
    char* command;
    char* prefix;  // null: the output is a file list; else literal names
    pid_t pid;
    ioch* ch;
    ioch* saved_ip;
    int saved_line;
    char* name;  // literal name being read
    size_t name_len, name_cap;
};

// Starts /bin/sh -c command in its own process group, standard input from
// /dev/null, standard output into a pipe whose read end goes to *fd.
pid_t spawn_sh(const char* command, int* fd) {
    int p[2];
    if (pipe(p) != 0) return -1;
    fcntl(p[0], F_SETFD, FD_CLOEXEC);
    pid_t pid = runcmd_fork();
    if (pid < 0) {
        close(p[0]);
        close(p[1]);
        return -1;
    }
    if (pid == 0) {
        if (p[1] != STDOUT_FILENO) {
            dup2(p[1], STDOUT_FILENO);
            close(p[1]);
        }
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd > STDIN_FILENO) {
            dup2(null_fd, STDIN_FILENO);
            close(null_fd);
        }
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(p[1]);
    *fd = p[0];
    return pid;
}

void restore_input(fp_ctxt* ct, sh_job* job) {
    if (!job->ch) return;
    ct->ip = job->saved_ip;
    ct->line = job->saved_line;
    ioch_dispose(job->ch);
    job->ch = nullptr;
}

void sh_cleanup(fp_ctxt* ct, sh_job* job) {
    restore_input(ct, job);
    // Reading stopped early: the command's output is no longer wanted.
    if (job->pid > 0) runcmd_stop(job->pid, SIGKILL);
    dispose_frec(job->tmpl);
    free(job->command);
    free(job->prefix);
    free(job->name);
}

void add_literal(fp_ctxt* ct, sh_job* job) {
    job->name[job->name_len] = '\0';
    job->name_len = 0;
    fp_frec* rec = new_frec();
    if (!rec) fatal(ct, "new_frec: out of memory");
    rec->path = *job->prefix ? join_path(job->prefix, job->name) : strdup(job->name);
    if (!rec->path) {
        dispose_frec(rec);
        fatal(ct, "out of memory");
    }
    append_rec(ct, &job->sub, rec);
}

void name_put(fp_ctxt* ct, sh_job* job, int c) {
    if (job->name_len >= FP_WORD_MAX) {
        job->name[FP_ERR_LINE_MAX] = '\0';  // the message quotes its start
        parse_err(ct, "word too long (max %d)" FP_LINE_HINT, FP_WORD_MAX, job->name);
    }
    if (job->name_len + 1 >= job->name_cap) {
        char* nb = static_cast<char*>(realloc(job->name, job->name_cap + kWordStep));
        if (!nb) fatal(ct, "out of memory");
        job->name = nb;
        job->name_cap += kWordStep;
    }
    job->name[job->name_len++] = static_cast<char>(c);
}

// A pattern's output: names ended by NUL bytes, taken literally (a name
// may hold blanks, quotes, "=" or line ends).
void read_names(fp_ctxt* ct, sh_job* job, long* budget) {
    int c;
    do {
        c = ioch_getc(ct->ip);
        if (c >= 0 && --*budget < 0)
            parse_err(ct, "shell command output longer than %ld bytes", FP_CMD_OUTPUT_MAX);
        if (c > 0) {
            name_put(ct, job, c);
        } else if (job->name_len) {
            add_literal(ct, job);
        }
    } while (c >= 0);
    if (int err = channel_failed(ct)) channel_error(ct, err);
}

// Records added by a command take the options they did not set themselves
// from the command's own record.
void inherit(fp_ctxt* ct, const fp_frec* tmpl, fp_frec* first) {
    for (fp_frec* r = first; r; r = r->next) {
        if (!r->dest && tmpl->dest && !(r->dest = strdup(tmpl->dest)))
            fatal(ct, "Insufficient memory\tto copy\td=%s", tmpl->dest);
        int* const mine[] = {&r->dir_mode, &r->file_mode, &r->dir_uid,
                             &r->file_uid, &r->dir_gid,   &r->file_gid};
        const int theirs[] = {tmpl->dir_mode, tmpl->file_mode, tmpl->dir_uid,
                              tmpl->file_uid, tmpl->dir_gid,   tmpl->file_gid};
        for (size_t i = 0; i < sizeof theirs / sizeof theirs[0]; i++)
            if (*mine[i] == -1) *mine[i] = theirs[i];
        if (r->mtime == -1) r->mtime = tmpl->mtime;
        if (!r->opt_flags) r->opt_flags = tmpl->opt_flags;
    }
}

void sh_body(fp_ctxt* ct, void* arg) {
    sh_job* job = static_cast<sh_job*>(arg);
    log_msg(ct, FP_LOG_INFO, "Creating file list from shell commmand:\n %s", job->command);
    int fd;
    pid_t pid = spawn_sh(job->command, &fd);
    if (pid < 0) {
        log_msg(ct, FP_LOG_WARN, "popen(%s) failed.", job->command);
        return;
    }
    job->pid = pid;
    job->ch = ioch_fd_init(fd);
    if (!job->ch) {
        close(fd);
        fatal(ct, "popen(%s) failed.", job->command);
    }
    fp_frec** first = job->fl->out->tail;
    job->saved_ip = ct->ip;
    job->saved_line = ct->line;
    ct->ip = job->ch;
    ct->line = 1;
    // The output is text of this host: no conversion from UTF-8.
    long budget = FP_CMD_OUTPUT_MAX;
    const flist* fl = job->fl;
    job->sub = flist{
        fl->out, fl->depth + 1, 1, 0, job->tmpl->path, &budget, fl->out->count + FP_CMD_NAMES_MAX};
    if (job->prefix) {
        read_names(ct, job, &budget);
    } else {
        read_file_lines(ct, &job->sub);
    }
    restore_input(ct, job);
    int status = runcmd_wait(job->pid);
    job->pid = 0;
    inherit(ct, job->tmpl, *first);
    if (status != 0)
        log_msg(ct, FP_LOG_WARN,
                "Shell command (%s) failed.\nNo matches found for specified wild\tcard\nor file "
                "list length exceeds shell\tlimit.",
                job->command);
}

// Runs a command for a file list; owns tmpl, command and prefix.
void file_list_from_sh(fp_ctxt* ct, const flist* fl, fp_frec* tmpl, char* command, char* prefix) {
    sh_job job;
    memset(&job, 0, sizeof job);
    job.fl = fl;
    job.tmpl = tmpl;
    job.command = command;
    job.prefix = prefix;
    int rc = fp_guarded(ct, sh_body, &job);
    sh_cleanup(ct, &job);
    if (rc) fp_jump(ct, rc);
}

// Where a relative pattern is expanded and what its matches are put under,
// so that the names find the same files as plain names do: a record's own
// source directory (itself under src_relpath when relative), else
// src_relpath, whose matches are named under it only when it is absolute
// (relative names are looked up under it anyway).
struct glob_dir {
    char* cd;      // directory to expand in (owned), or null
    char* prefix;  // put in front of each match (owned)
};

int glob_dir_of(const fp_ctxt* ct, const fp_frec* rec, const char* pattern, glob_dir* g) {
    const char* rel =
        ct->conf->src_relpath && *ct->conf->src_relpath ? ct->conf->src_relpath : nullptr;
    const char* cd = nullptr;
    const char* prefix = "";
    if (is_relative(pattern) && rec->path) {
        prefix = rec->path;
        cd = rec->path;
    } else if (is_relative(pattern) && rel) {
        prefix = is_relative(rel) ? "" : rel;
        cd = rel;
    }
    bool under_rel = cd == rec->path && cd && rel && is_relative(cd);
    g->cd = !cd ? nullptr : under_rel ? join_path(rel, cd) : strdup(cd);
    g->prefix = strdup(prefix);
    return (cd && !g->cd) || !g->prefix ? -1 : 0;
}

// A pattern: the shell expands it and prints each match ended by a NUL.
void expand_pattern(fp_ctxt* ct, const flist* fl, fp_frec* rec, char* pattern, int line) {
    glob_dir g;
    bool ok = glob_dir_of(ct, rec, pattern, &g) == 0;
    if (ok && g.cd && strlen(g.cd) + strlen(pattern) > kGlobMax) {
        free(g.cd);
        free(g.prefix);
        dispose_frec(rec);
        free(pattern);
        ct->line = line;
        parse_err(ct, "glob path too long\n");
    }
    char* quoted = ok && g.cd ? sh_quote(g.cd) : nullptr;
    ok = ok && (!g.cd || quoted);
    char* command =
        ok ? cat_strs(g.cd ? "cd " : "", g.cd ? quoted : "", g.cd ? " && " : "", "for file in ",
                      pattern, "; do printf '%s\\0' \"$file\"; done", nullptr)
           : nullptr;
    free(quoted);
    free(g.cd);
    free(pattern);
    if (!command) {
        free(g.prefix);
        dispose_frec(rec);
        fatal(ct, "out of memory");
    }
    file_list_from_sh(ct, fl, rec, command, g.prefix);
}

void file_line(fp_ctxt* ct, line_words* lw, const flist* fl) {
    if (lw->w[0].eq >= 0) line_fail(ct, lw, "Unexpected '='.");
    fp_frec* rec = new_frec();
    if (!rec) {
        par_free(lw->w, lw->n);
        fatal(ct, "new_frec: out of memory");
    }
    for (int i = 1; i < lw->n; i++) {
        fp_word* w = &lw->w[i];
        if (w->eq < 0) {
            dispose_frec(rec);
            missing_equals(ct, lw, w->text);
        }
        w->text[w->eq] = '\0';
        const char* value = w->text + w->eq + 1;
        int arg_is_key;
        const char* err = fopt_apply(rec, w->text, value, &arg_is_key);
        if (err) {
            dispose_frec(rec);
            line_fail(ct, lw, err, arg_is_key ? w->text : value);
        }
    }
    const fp_word* w0 = &lw->w[0];
    char* name = fl->convert ? from_utf8(w0->text) : strdup(w0->text);
    bool command = fl->expand && w0->command;
    bool pattern = fl->expand && w0->pattern;
    int line = lw->line;
    par_free(lw->w, lw->n);
    if (!name) {
        dispose_frec(rec);
        fatal(ct, "out of memory");
    }
    if (!rec->path && fl->dflt_src && !(rec->path = strdup(fl->dflt_src))) {
        dispose_frec(rec);
        free(name);
        fatal(ct, "Insufficient memory\tto copy\ts=%s", fl->dflt_src);
    }
    if (command) {
        file_list_from_sh(ct, fl, rec, name, nullptr);
    } else if (pattern) {
        expand_pattern(ct, fl, rec, name, line);
    } else {
        add_named(ct, fl, rec, name);
    }
}

void read_file_lines(fp_ctxt* ct, const flist* fl) {
    if (fl->depth > FP_CMD_NEST_MAX) parse_err(ct, "too many\tlevels of cmd nesting");
    line_words lw;
    while (next_line(ct, &lw, fl->budget)) file_line(ct, &lw, fl);
}

}  // namespace

void read_filelist(fp_ctxt* ct, int depth, int expand, int convert) {
    rec_sink out = {&ct->files, 0};
    while (*out.tail) out.tail = &(*out.tail)->next;
    flist fl = {&out, depth, expand, convert, nullptr, nullptr, 0};
    read_file_lines(ct, &fl);
}

// ---------------------------------------------------------------------------
// String lists

namespace {

fp_strlist** list_tail(fp_strlist** list) {
    while (*list) list = &(*list)->next;
    return list;
}

// Appends text (owned) to the list; null when memory fails.
fp_strlist** append_str(fp_strlist** tail, char* text) {
    fp_strlist* e = static_cast<fp_strlist*>(malloc(sizeof *e));
    if (!e) return nullptr;
    e->str = text;
    e->next = nullptr;
    *tail = e;
    return &e->next;
}

[[noreturn]] void strlist_oom(fp_ctxt* ct) {
    fatal(ct, "strlist: out of\tmemory");
}

}  // namespace

void read_strlist(fp_ctxt* ct, fp_strlist** list) {
    fp_strlist** tail = list_tail(list);
    line_words lw;
    while (next_line(ct, &lw, nullptr)) {
        for (int i = 0; i < lw.n; i++) {
            fp_strlist** next = append_str(tail, lw.w[i].text);
            if (!next) {
                par_free(lw.w, lw.n);
                strlist_oom(ct);
            }
            lw.w[i].text = nullptr;
            tail = next;
        }
    }
}

void read_raw_strlist(fp_ctxt* ct, fp_strlist** list) {
    fp_strlist** tail = list_tail(list);
    char buf[FP_ERR_LINE_MAX];
    while (par_str(ct, buf, sizeof buf) >= 0 && strcmp(buf, "%") != 0) {
        char* text = strdup(buf);
        fp_strlist** next = text ? append_str(tail, text) : nullptr;
        if (!next) {
            free(text);
            strlist_oom(ct);
        }
        tail = next;
    }
}

// ---------------------------------------------------------------------------
// The whole description

namespace {

// src_relpath with a trailing "/" into the context's relative-path buffer.
void set_relpath(fp_ctxt* ct) {
    const char* rp = ct->conf->src_relpath;
    if (!rp || !*rp) return;
    size_t len = strlen(rp);
    if (len + 2 > sizeof ct->relpath) fatal(ct, "%s: path too long", rp);
    memcpy(ct->relpath, rp, len);
    if (rp[len - 1] != '/') ct->relpath[len++] = '/';
    ct->relpath[len] = '\0';
}

// The keywords as the operation uses them: the override text (-C, -D) is
// applied before the file list is read, so that it also governs where
// patterns are expanded. Parsing only keeps the description's own.
void settle_keywords(fp_ctxt* ct) {
    if (ct->ptype == FP_OP_PARSE) return;
    fp_apply_override(ct);
    set_relpath(ct);
}

void read_description(fp_ctxt* ct) {
    int sig = read_signature(ct);
    if (sig < 0) parse_err(ct, "bad file signature");
    int expand = ct->ptype != FP_OP_PARSE;
    if (sig == 0) {
        if (ct->ptype != FP_OP_FLIST && ct->ptype != FP_OP_FLIST_OPTS)
            log_msg(ct, FP_LOG_INFO, "filelist only.  Using default fp config");
        settle_keywords(ct);
        read_filelist(ct, 0, expand, 1);
        return;
    }
    read_keywords_utf8(ct, 1, 1);
    settle_keywords(ct);
    read_filelist(ct, 0, expand, 1);
    read_strlist(ct, &ct->nested);
    read_strlist(ct, &ct->excludes);
}

// The scripts of the source side and the description's own settings:
// the script environment, then the source-side before script.
void prepare_scripts(fp_ctxt* ct) {
    fp_scripts_setup(ct);
    const fp_keyws* kw = ct->conf;
    if (kw->src_before_prog_path != nullptr && (ct->modifiers & FP_MOD_D) &&
        fp_run_src_before(ct) != 0)
        fatal(ct, "src_before: failure\n");
}

// Everything after the description is read: the events, the nested
// packages and the files, then the end of the stream.
void drive(fp_ctxt* ct, void*) {
    // Parsing only leaves scripts and nested packages as entries.
    bool parse_only = ct->ptype == FP_OP_PARSE;
    if (!parse_only) prepare_scripts(ct);
    ct->fn(ct, FP_EV_START, nullptr, nullptr, nullptr);
    if (!parse_only && ct->conf->nested_first) process_nested(ct);
    ct->fn(ct, FP_EV_CNTL, nullptr, nullptr, nullptr);
    if (ct->modifiers & FP_MOD_D) process_file_records(ct);
    ct->fn(ct, FP_EV_END, nullptr, nullptr, nullptr);
    if (!parse_only && !ct->conf->nested_first) process_nested(ct);
    if (ct->nest_level == 0) {
        fp_send_eof(ct);
        out_stream_eof(ct);
    }
}

}  // namespace

int parse_fp(fp_ctxt* ct, fp_node_fn fn) {
    if (fn) ct->fn = fn;
    FP_ASSERT(ct, ct->fn != nullptr, "ct->fn != ((void *)0)");
    FP_ASSERT(ct, ct->ip != nullptr, "ct->ip != ((void *)0)");
    read_description(ct);
    fp_close_input(ct);
    // The scripts' state and a filter end with the operation, also when it
    // fails.
    int jumped = fp_guarded(ct, drive, nullptr);
    fp_scripts_dispose(ct);
    if (jumped != 0) {
        io_filter_dispose(ct);
        fp_jump(ct, jumped);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Printed form

namespace {

// Characters that make a text need quotes; a leading back-quote would
// start a command stretch.
bool needs_quotes(const char* text, size_t n) {
    if (n == 0 || strcmp(text, "%") == 0 || text[0] == '`') return true;
    for (size_t i = 0; i < n;) {
        int len = zug_mblen(nullptr, text + i, n - i);
        if (len <= 1 && strchr(" \t#'\"\\=\r\n", text[i])) return true;
        i += len < 1 ? 1 : len;
    }
    return false;
}

// Line length at which the printed form gets a backslash-newline break.
const size_t kBreakEvery = 200;

// Inserts a backslash-newline at o, before the backslashes that end out.
void insert_break(char* out, size_t* o) {
    size_t k = *o;
    while (k > 0 && out[k - 1] == '\\') k--;
    memmove(out + k + 2, out + k, *o - k);
    out[k] = '\\';
    out[k + 1] = '\n';
    *o += 2;
}

}  // namespace

char* escape_str(const char* text) {
    if (!text) return strdup("");
    size_t n = strlen(text);
    bool quote = needs_quotes(text, n);
    // Every byte may double; a break (2 bytes) comes at most every 199.
    size_t cap = 2 * n + 3 + 2 * ((2 * n + 2) / (kBreakEvery - 1) + 1);
    char* out = static_cast<char*>(malloc(cap));
    if (!out) return nullptr;
    size_t o = 0;
    if (quote) out[o++] = '"';
    for (size_t i = 0; i < n;) {
        if (o > kBreakEvery && o % kBreakEvery <= 1 && text[i] != '\n' && text[i] != '\r')
            insert_break(out, &o);
        int len = zug_mblen(nullptr, text + i, n - i);
        if (len < 1) len = 1;
        if (len == 1 && quote && (text[i] == '"' || text[i] == '\\')) out[o++] = '\\';
        memcpy(out + o, text + i, len);
        o += len;
        i += len;
    }
    if (quote) out[o++] = '"';
    out[o] = '\0';
    return out;
}

namespace {

// Prints a string list, one escaped entry per line; false when memory fails.
bool print_strlist(FILE* out, const fp_strlist* list) {
    for (; list; list = list->next) {
        char* text = escape_str(list->str);
        if (!text) return false;
        fprintf(out, "%s\n", text);
        free(text);
    }
    return true;
}

bool print_files(FILE* out, const fp_frec* rec) {
    for (; rec; rec = rec->next) {
        if (!rec->path) continue;
        char* line = prt_fopt(rec);
        if (!line) return false;
        if (*line) fprintf(out, "%s\n", line);
        free(line);
    }
    return true;
}

}  // namespace

void output_fp(fp_ctxt* ct) {
    char* keywords;
    if (prt_keywlist(ct->conf, &keywords) != 0) fatal(ct, "prt_keywlist: out of memory");
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    bool ok = out != nullptr;
    if (ok) {
        fprintf(out, "%s%%\n", keywords);
        ok = print_files(out, ct->files);
        fputs("%\n", out);
        ok = ok && print_strlist(out, ct->nested);
        fputs("%\n", out);
        ok = ok && print_strlist(out, ct->excludes);
        ok = !ferror(out) && ok;
        ok = fclose(out) == 0 && ok;
    }
    free(keywords);
    if (!ok) {
        free(text);
        fatal(ct, "output_fp: out of memory");
    }
    long written = ct->op ? ioch_write(ct->op, text, static_cast<long>(len)) : 0;
    free(text);
    if (ct->op && written != static_cast<long>(len))
        fatal(ct, "out_stream write error (cnt=%d)", static_cast<int>(written));
    fp_send_eof(ct);
}
