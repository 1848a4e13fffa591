// Package scripts: slots, environment, and running them as children.
#include "run_script.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cntl_files.h"
#include "fppar.h"
#include "keyw.h"
#include "log_msg.h"
#include "runcmd_if.h"

// clang-format off
#define FP_KIND(K, WORD)                                                        \
    {#K, WORD, &fp_keyws::unix_##K##_prog_path, &fp_keyws::unix_##K##_prog_from_src, \
     &fp_keyws::unix_##K##_input_path, &fp_keyws::unix_##K##_input_from_src,     \
     &fp_keyws::unix_##K##_as_uid, "ct->conf.unix_" #K "_prog_from_src != 0",    \
     "ct->conf.unix_" #K "_input_from_src != 0"}
// clang-format on
const fp_script_kind fp_script_kinds[FP_SCR_KINDS] = {
    FP_KIND(before, "before"),
    FP_KIND(after, "after"),
    FP_KIND(removal, "removal"),
    FP_KIND(commit, "commit"),
    FP_KIND(after_removal, "after_removal"),
    FP_KIND(on_error, nullptr),
};
#undef FP_KIND

namespace {

// Words after the program: the argument word and, for the source side, the
// destination type.
const int kMaxArgs = 4;

[[noreturn]] void oom(fp_ctxt* ct) {
    log_msg(ct, FP_LOG_FATAL, "Out of memory");
    fp_jump(ct, FP_JMP_FATAL);  // not reached: the level ends the operation
}

fp_scripts* scripts_of(fp_ctxt* ct) {
    if (ct->scripts == nullptr) fp_scripts_setup(ct);
    return ct->scripts;
}

void free_list(fp_script* s) {
    while (s != nullptr) {
        fp_script* next = s->next;
        free(s->path);
        free(s);
        s = next;
    }
}

// ---- environment ------------------------------------------------------------

struct env_words {
    fp_word w[FP_ENV_MAX];
    int n;
};

// Every word must be an assignment, as on a keyword line.
void tokenize(fp_ctxt* ct, void* arg) {
    env_words* e = (env_words*)arg;
    e->n = par(ct, e->w, FP_ENV_MAX);
    for (int i = 0; i < e->n; i++) {
        if (e->w[i].eq > 0) continue;
        char name[FP_NAME_MAX + 1];
        snprintf(name, sizeof name, "%s", e->w[i].text);
        par_free(e->w, e->n);
        e->n = 0;
        parse_err(ct, "Expected '=' assignment for\tthe '%s' key.", name);
    }
}

// The words of prog_env, read by the description tokenizer.
void env_tokens(fp_ctxt* ct, const char* text, env_words* e) {
    e->n = 0;
    fp_with_text_input(ct, text, (long)strlen(text), tokenize, e);
}

bool is_keyword(const char* name) {
    for (const fp_keyw_entry& e : keyset)
        if (strcmp(e.name, name) == 0) return true;
    return false;
}

// The value of one entry as the script sees it, in a new text (null when
// memory fails).
char* expand_value(fp_ctxt* ct, const char* value) {
    if (value[0] != '$') return strdup(value);
    if (value[1] == '$') return strdup(value + 1);
    const char* key = value + 1;
    if (strcmp(key, "fpname") == 0) return strdup(ct->name != nullptr ? ct->name : "");
    return keyw_to_str(ct->conf, key);
}

// "NAME=value" of one word; null when it names an unknown keyword.
char* env_entry(fp_ctxt* ct, const fp_word* w) {
    const char* raw = w->text + w->eq + 1;
    if (raw[0] == '$' && raw[1] != '$' && strcmp(raw + 1, "fpname") != 0 && !is_keyword(raw + 1))
        return nullptr;
    char* value = expand_value(ct, raw);
    size_t len = value != nullptr ? (size_t)w->eq + 1 + strlen(value) + 1 : 0;
    char* entry = value != nullptr ? (char*)malloc(len) : nullptr;
    if (entry == nullptr) oom(ct);
    snprintf(entry, len, "%.*s%s", w->eq + 1, w->text, value);
    free(value);
    return entry;
}

void build_env(fp_ctxt* ct, fp_scripts* s) {
    const char* text = ct->conf->prog_env;
    if (text == nullptr || *text == '\0') return;
    env_words e;
    env_tokens(ct, text, &e);
    for (int i = 0; i < e.n; i++) {
        fp_word* w = &e.w[i];
        char* entry = env_entry(ct, w);
        if (entry == nullptr) {
            char name[FP_NAME_MAX + 1];
            snprintf(name, sizeof name, "%s", w->text + w->eq + 2);
            par_free(e.w, e.n);
            log_msg(ct, FP_LOG_FATAL, "Cannot expand keyword: \"%s\"", name);
        }
        s->env[s->nenv++] = entry;
    }
    par_free(e.w, e.n);
}

// ---- slots ------------------------------------------------------------------

void add_entry(fp_ctxt* ct, fp_script** list, const char* path, int index) {
    fp_script** at = list;
    while (*at != nullptr && (*at)->index < index) at = &(*at)->next;
    char* copy = strdup(path);
    if (copy == nullptr) oom(ct);
    if (*at != nullptr && (*at)->index == index) {
        free((*at)->path);
        (*at)->path = copy;
        return;
    }
    fp_script* s = (fp_script*)malloc(sizeof *s);
    if (s == nullptr) {
        free(copy);
        oom(ct);
    }
    s->path = copy;
    s->index = index;
    s->next = *at;
    *at = s;
}

const char* input_of(const fp_scripts* s, int kind, int index) {
    for (const fp_script* in = s->slot[2 * kind + 1]; in != nullptr; in = in->next)
        if (in->index == index) return in->path;
    return nullptr;
}

// Runs the programs of one kind's slots; see fp_run_scripts.
int run_slot(fp_ctxt* ct, int kind, const char* const* args, long uid, bool stop) {
    if (ct->scripts == nullptr) return 0;
    for (const fp_script* p = ct->scripts->slot[2 * kind]; p != nullptr; p = p->next) {
        int rv = run_script(ct, p->path, input_of(ct->scripts, kind, p->index), args, uid);
        if (rv != 0 && stop) return rv;
    }
    return 0;
}

const char* dtype_name(int dtype) {
    switch (dtype) {
        case FP_DT_BLOCK:
            return "block";
        case FP_DT_LIST:
            return "list";
        case FP_DT_SIZE:
            return "size";
        default:
            return "none";
    }
}

void run_on_error(fp_ctxt* ct, void*) {
    const char* word = ct->ptype == FP_OP_UNINSTALL ? "on_error_uninstall" : "on_error_install";
    const char* args[] = {word, nullptr};
    run_slot(ct, FP_SCR_ON_ERROR, args, ct->conf->unix_on_error_as_uid, true);
}

// ---- one script -------------------------------------------------------------

// An unlinked private file for a script's error output; -1 when none.
int err_file() {
    const char* dir = getenv("TMPDIR");
    char path[FP_PATH_MAX + 1];
    int n = snprintf(path, sizeof path, "%s/errXXXXXX", dir != nullptr && *dir ? dir : "/tmp");
    if (n < 0 || (size_t)n >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0) unlink(path);
    return fd;
}

// Takes on the identity of `uid` with its groups (none beyond its own when
// it has no account), so that a script run as another user keeps nothing
// of the engine's group rights.
bool switch_user(long uid) {
    struct passwd* pw = getpwuid((uid_t)uid);
    if (pw != nullptr) {
        if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0) return false;
    } else if (setgroups(0, nullptr) != 0) {
        return false;
    }
    return setuid((uid_t)uid) == 0;
}

[[noreturn]] void script_child(fp_ctxt* ct, const char* program, const char* input,
                               const char* const* args, long uid, int err_fd) {
    // Error output first, so that the reasons below reach the script's
    // error report.
    if (dup2(err_fd, 2) != 2) _exit(5);
    if (uid >= 0 && !switch_user(uid)) {
        perror("setuid");
        _exit(1);
    }
    int in = open(input != nullptr ? input : "/dev/null", O_RDONLY);
    if (in < 0) _exit(2);
    if (dup2(in, 0) != 0) _exit(3);
    int out = open("/dev/null", O_WRONLY);
    if (out < 0 || dup2(out, 1) != 1) _exit(3);
    runcmd_close_from(3);
    signal(SIGPIPE, SIG_DFL);
    if (ct->scripts != nullptr)
        for (int i = 0; i < ct->scripts->nenv; i++) putenv(ct->scripts->env[i]);
    const char* argv[kMaxArgs + 2];
    int n = 0;
    argv[n++] = program;
    for (int i = 0; args[i] != nullptr && i < kMaxArgs; i++) argv[n++] = args[i];
    argv[n] = nullptr;
    execv(program, (char* const*)argv);
    perror(program);
    _exit(6);
}

enum wait_result { kExited, kTimedOut, kWaitFailed };

// Waits for the script, which ends with everything it started; with a
// timeout (seconds) its process group is killed at the deadline.
wait_result script_wait(pid_t pid, long timeout, int* status) {
    int r = runcmd_wait_for(pid, timeout > 0 ? timeout * 1000 : -1, status);
    if (r == 0) return kExited;
    if (r < 0) return kWaitFailed;
    *status = runcmd_stop(pid, SIGKILL);
    return kTimedOut;
}

// The last stderr_size - 1 bytes of the error file into ct->buffer;
// returns their count, or -1 when the file cannot be read.
long read_tail(fp_ctxt* ct, int fd) {
    long keep = ct->conf->stderr_size - 1;
    if (keep > FP_BUFSIZE) keep = FP_BUFSIZE;
    if (keep <= 0) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    off_t from = st.st_size > keep ? st.st_size - keep : 0;
    long got = 0, want = (long)(st.st_size - from);
    while (got < want) {
        ssize_t n = pread(fd, ct->buffer + got, (size_t)(want - got), from + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    return got;
}

}  // namespace

void fp_scripts_setup(fp_ctxt* ct) {
    fp_scripts_dispose(ct);
    fp_scripts* s = (fp_scripts*)calloc(1, sizeof *s);
    if (s == nullptr) oom(ct);
    ct->scripts = s;
    build_env(ct, s);
}

void fp_add_script(fp_ctxt* ct, int slot, const char* path, int index) {
    add_entry(ct, &scripts_of(ct)->slot[slot], path, index);
}

void fp_each_script(fp_ctxt* ct, const char* list,
                    void (*fn)(fp_ctxt* ct, const char* path, int index, void* arg), void* arg) {
    if (list == nullptr) return;
    int index = 0;
    for (const char* p = list;; index++) {
        size_t len = strcspn(p, ",");
        if (len > 0) {
            char path[FP_PATH_MAX + 1];
            const char* under = p[0] == '/' ? "" : ct->relpath;
            int n = snprintf(path, sizeof path, "%s%.*s", under, (int)len, p);
            if (n < 0 || (size_t)n >= sizeof path)
                log_msg(ct, FP_LOG_WARN, "%.*s: path too long", (int)len, p);
            else
                fn(ct, path, index, arg);
        }
        if (p[len] == '\0') break;
        p += len + 1;
    }
}

namespace {

void add_to_slot(fp_ctxt* ct, const char* path, int index, void* slot) {
    fp_add_script(ct, *(int*)slot, path, index);
}

}  // namespace

void fp_add_script_list(fp_ctxt* ct, int slot, const char* list) {
    fp_each_script(ct, list, add_to_slot, &slot);
}

void fp_fill_slots(fp_ctxt* ct) {
    const fp_keyws* kw = ct->conf;
    for (int k = 0; k < FP_SCR_KINDS; k++) {
        const fp_script_kind* sk = &fp_script_kinds[k];
        if (!(kw->*sk->prog_from_src)) fp_add_script_list(ct, 2 * k, kw->*sk->prog);
        if (!(kw->*sk->input_from_src)) fp_add_script_list(ct, 2 * k + 1, kw->*sk->input);
    }
    scripts_of(ct)->ready = 1;
}

int fp_run_scripts(fp_ctxt* ct, int kind) {
    if (!fp_changes_disk(ct)) return 0;
    const fp_script_kind* sk = &fp_script_kinds[kind];
    const char* args[] = {sk->word, nullptr};
    bool stop = kind != FP_SCR_BEFORE || ct->conf->unix_before_skip_non_zero;
    if (kind == FP_SCR_ON_ERROR) {
        run_on_error(ct, nullptr);
        return 0;
    }
    return run_slot(ct, kind, args, ct->conf->*sk->uid, stop);
}

int fp_run_src_before(fp_ctxt* ct) {
    const fp_keyws* kw = ct->conf;
    fp_scripts* s = scripts_of(ct);
    free_list(s->slot[0]);
    free_list(s->slot[1]);
    s->slot[0] = s->slot[1] = nullptr;
    fp_add_script_list(ct, 0, kw->src_before_prog_path);
    fp_add_script_list(ct, 1, kw->src_before_input_path);
    const char* args[] = {"before", dtype_name(ct->dtype), nullptr};
    return run_slot(ct, FP_SCR_BEFORE, args, kw->src_before_as_uid,
                    kw->src_before_skip_non_zero != 0);
}

void fp_on_error(fp_ctxt* ct) {
    bool runs = ct->scripts != nullptr && ct->scripts->ready && fp_changes_disk(ct) &&
                (ct->modifiers & FP_MOD_D);
    // A fatal error inside has been reported by the fatal path already;
    // the caller's fatal path goes on from here.
    if (runs) fp_guarded(ct, run_on_error, nullptr);
    unpack_cntl_end(ct);
}

int run_script(fp_ctxt* ct, const char* program, const char* input, const char* const* args,
               long uid) {
    if (ct->modifiers & FP_MOD_N) return 0;
    log_msg(ct, FP_LOG_INFO, "starting script: %s", program);
    int err_fd = err_file();
    if (err_fd < 0) {
        log_msg(ct, FP_LOG_ERR, "tempnam: ");
        return -1;
    }
    fflush(nullptr);
    pid_t pid = runcmd_fork();
    if (pid == 0) script_child(ct, program, input, args, uid, err_fd);
    if (pid < 0) {
        int err = errno;
        close(err_fd);
        errno = err;
        log_msg(ct, FP_LOG_ERR, "fork: ");
        return -1;
    }
    int status = -1;
    wait_result w = script_wait(pid, ct->conf->progs_timeout, &status);
    int wait_err = errno;
    long kept = read_tail(ct, err_fd);
    int read_err = errno;
    close(err_fd);
    if (kept < 0) {
        errno = read_err;
        log_msg(ct, FP_LOG_ERR, "open: ");
    } else if (kept > 0) {
        log_msg(ct, FP_LOG_LONG, "script stderr: [%.*s]", (int)kept, ct->buffer);
    }
    if (w == kTimedOut) log_msg(ct, FP_LOG_WARN, "script interrupted or timeout expired");
    if (w == kWaitFailed) {
        errno = wait_err;
        log_msg(ct, FP_LOG_ERR, "waitpid: ");
        return -1;
    }
    log_msg(ct, FP_LOG_INFO, "script complete: status = %x", (unsigned)status);
    return w == kExited && status == 0 ? 0 : -1;
}

int fp_tmp_script_path(fp_ctxt* ct, const char* name, char* buf, size_t size) {
    fp_scripts* s = scripts_of(ct);
    if (s->tmp_dir == nullptr) {
        const char* dir = getenv("TMPDIR");
        char tmpl[FP_PATH_MAX + 1];
        int n =
            snprintf(tmpl, sizeof tmpl, "%s/fpscrXXXXXX", dir != nullptr && *dir ? dir : "/tmp");
        // Others may pass through (a script run as another user), not list
        // or add entries.
        if (n > 0 && (size_t)n < sizeof tmpl && mkdtemp(tmpl) != nullptr && chmod(tmpl, 0711) == 0)
            s->tmp_dir = strdup(tmpl);
        if (s->tmp_dir == nullptr) {
            log_msg(ct, FP_LOG_WARN, "can't make tempname");
            return -1;
        }
    }
    int n = snprintf(buf, size, "%s/%s", s->tmp_dir, name);
    if (n < 0 || (size_t)n >= size) {
        log_msg(ct, FP_LOG_WARN, "can't make tempname");
        return -1;
    }
    fp_strlist* e = (fp_strlist*)malloc(sizeof *e);
    char* copy = strdup(buf);
    if (e == nullptr || copy == nullptr) {
        free(e);
        free(copy);
        oom(ct);
    }
    e->str = copy;
    e->next = ct->scripts_list;
    ct->scripts_list = e;
    return 0;
}

void remove_tmp_scripts(fp_ctxt* ct) {
    for (fp_strlist* e = ct->scripts_list; e != nullptr; e = e->next) unlink(e->str);
    fp_dispose_strlist(ct->scripts_list);
    ct->scripts_list = nullptr;
    if (ct->scripts != nullptr && ct->scripts->tmp_dir != nullptr) {
        rmdir(ct->scripts->tmp_dir);
        free(ct->scripts->tmp_dir);
        ct->scripts->tmp_dir = nullptr;
    }
}

void fp_scripts_dispose(fp_ctxt* ct) {
    fp_scripts* s = ct->scripts;
    if (ct->on_error == fp_on_error) ct->on_error = nullptr;
    if (s == nullptr) return;
    ct->scripts = nullptr;
    for (int i = 0; i < FP_NSLOTS; i++) free_list(s->slot[i]);
    for (int i = 0; i < s->nenv; i++) free(s->env[i]);
    if (s->tmp_dir != nullptr) rmdir(s->tmp_dir);
    free(s->tmp_dir);
    free(s);
}
