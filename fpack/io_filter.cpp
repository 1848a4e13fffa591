// Stream filters through pipes and child processes.
#include "io_filter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io_chan.h"
#include "keyw.h"
#include "log_msg.h"
#include "runcmd_if.h"

namespace {

// Error output of a filter that is quoted in its message.
const int kErrQuote = 1024;
// Output of an input filter read past after the last package.
const long kDrainMax = 16L * FP_BUFSIZE;

// An unlinked private file for a filter's error output or output copy;
// -1 when none can be made.
int private_file() {
    const char* dir = getenv("TMPDIR");
    char path[FP_PATH_MAX + 1];
    int n = snprintf(path, sizeof path, "%s/fpfiltXXXXXX", dir != nullptr && *dir ? dir : "/tmp");
    if (n < 0 || (size_t)n >= sizeof path) return -1;
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0) unlink(path);
    return fd;
}

void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// A writer on a dead filter gets EPIPE, not a signal that ends the engine.
void ignore_sigpipe() {
    signal(SIGPIPE, SIG_IGN);
}

// The command split into words (in ct->buffer, which is free while the
// encoded header is handled). Fatal: "too many args", an empty command.
void split_command(fp_ctxt* ct, const char* command, char** argv, const char* which) {
    snprintf(ct->buffer, FP_BUFSIZE, "%s", command);
    int n = cmd_to_args(ct->buffer, FP_FILTER_ARGS, argv);
    if (n < 0) log_msg(ct, FP_LOG_FATAL, "too many args");
    if (n == 0) log_msg(ct, FP_LOG_FATAL, "%s failed (err %d)", which, RUNCMD_CANT_START);
}

// Programs that only turn standard input into standard output when given
// nothing but flag words of kDecompressFlags.
const char* const kDecompressors[] = {
    "gzip",    "gunzip", "zcat",  "bzip2",  "bunzip2", "bzcat",    "xz",
    "unxz",    "xzcat",  "lzma",  "unlzma", "lzcat",   "zstd",     "unzstd",
    "zstdcat", "lz4",    "unlz4", "lz4cat", "lzop",    "compress", "uncompress",
};
// Letters of a flag word: decompress, to standard output, quietly.
const char kDecompressFlags[] = "dcq";

bool is_decompress_flag(const char* word) {
    if (strcmp(word, "--decompress") == 0 || strcmp(word, "--stdout") == 0 ||
        strcmp(word, "--quiet") == 0)
        return true;
    return word[0] == '-' && word[1] != '\0' &&
           strspn(word + 1, kDecompressFlags) == strlen(word + 1);
}

// A decompressor named bare (found in PATH, never a path the block
// chooses) with flag words only.
bool is_known_decompressor(char* const* argv) {
    bool known = false;
    for (const char* name : kDecompressors)
        if (strcmp(argv[0], name) == 0) known = true;
    for (int i = 1; known && argv[i] != nullptr; i++) known = is_decompress_flag(argv[i]);
    return known;
}

// Install and uninstall run the block's own scripts, so they run its
// filter too, and say which. Every other operation (listing, sizing,
// masks, repacking, previews) runs only a known decompressor, or exactly
// the command the administrator names in FP_ALLOW_PRE_ENV; anything else
// ends the operation.
void check_block_filter(fp_ctxt* ct, const char* command, char* const* argv) {
    bool installs =
        (ct->ptype == FP_OP_INSTALL || ct->ptype == FP_OP_UNINSTALL) && !(ct->modifiers & FP_MOD_N);
    if (installs) {
        log_msg(ct, FP_LOG_INFO, "pre-process: \"%s\"", command);
        return;
    }
    const char* allowed = getenv(FP_ALLOW_PRE_ENV);
    if (is_known_decompressor(argv) || (allowed != nullptr && strcmp(allowed, command) == 0))
        return;
    log_msg(ct, FP_LOG_FATAL,
            "pre-process refused: \"%s\" is not a known decompressor; set %s to this command "
            "to run it",
            command, FP_ALLOW_PRE_ENV);
}

// Forks a child that writes the unread rest of a memory channel into a
// pipe and returns the pipe's reading end, or -1.
int feed_memory(fp_ctxt* ct, const ioch* ip) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    pid_t pid = runcmd_fork();
    if (pid == 0) {
        // Only the pipe stays open: holding its reading end would keep a
        // write to a dead filter from failing, holding another filter's
        // pipe would keep that one from its end of file.
        if (dup2(p[1], 3) != 3) _exit(1);
        runcmd_close_from(4);
        const unsigned char* d = ip->data + ip->data_pos;
        long left = ip->data_len - ip->data_pos;
        while (left > 0) {
            ssize_t w = write(3, d, (size_t)left);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) _exit(1);
            d += w;
            left -= w;
        }
        _exit(0);
    }
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        return -1;
    }
    ct->filter_feeder = (int)pid;
    return p[0];
}

// Copies the private output file of a filter into the memory channel.
bool copy_back(fp_ctxt* ct, int fd) {
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    for (;;) {
        ssize_t n = read(fd, ct->buffer, FP_BUFSIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (ioch_raw_write(ct->op, ct->buffer, n) != n) return false;
    }
}

// Puts the output channel back on its own transport. Returns the
// descriptor of a memory channel's private output copy (-1 otherwise).
int restore_output(fp_ctxt* ct) {
    int copy = -1;
    if (ct->op != nullptr) {
        close_fd(&ct->op->fd);
        ct->op->type = ct->filter_type;
        if (ct->filter_type == 'F')
            ct->op->fd = ct->filter_out_fd;
        else
            copy = ct->filter_out_fd;
    } else {
        close_fd(&ct->filter_out_fd);
    }
    ct->filter_out_fd = -1;
    return copy;
}

// Milliseconds a filter (or its feeder) may go on after its input ended:
// progs_timeout when set, else FP_FILTER_END_SECONDS.
long end_limit_ms(const fp_ctxt* ct) {
    long s = ct->conf->progs_timeout > 0 ? ct->conf->progs_timeout : FP_FILTER_END_SECONDS;
    return s * 1000;
}

// The child's wait status once it has ended, within the end limit; one
// that goes on is stopped (logged). Never waits without a bound.
int wait_bounded(fp_ctxt* ct, pid_t pid, const char* what) {
    int status = -1;
    int r = runcmd_wait_for(pid, end_limit_ms(ct), &status);
    if (r == 1) {
        add_msg(&ct->msg, FP_LOG_INFO, "%s: still running %ld s after its input ended; stopped",
                what, end_limit_ms(ct) / 1000);
        status = runcmd_stop(pid, SIGTERM);
    }
    return r < 0 ? -1 : status;
}

// sig 0: the feeder has written everything or met a closed pipe; else it
// is stopped.
void reap_feeder(fp_ctxt* ct, int sig) {
    if (ct->filter_feeder == 0) return;
    if (sig != 0)
        runcmd_stop(ct->filter_feeder, sig);
    else
        wait_bounded(ct, ct->filter_feeder, "filter feeder");
    ct->filter_feeder = 0;
}

// The filter's error output, exit report and status; every finding is
// recorded and the level's effect applied once, by the last. Closes the
// error file. Returns 0, or -1 when anything was found.
int read_filter_errs(fp_ctxt* ct, int status) {
    char err[kErrQuote];
    ssize_t n = 0;
    if (ct->filter_err_fd >= 0 && lseek(ct->filter_err_fd, 0, SEEK_SET) == 0)
        n = read(ct->filter_err_fd, err, sizeof err);
    close_fd(&ct->filter_err_fd);
    char found[3][kErrQuote + 32];
    int nfound = 0;
    if (n > 0) snprintf(found[nfound++], sizeof found[0], "filter: stderr:\n%.*s", (int)n, err);
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        char report[8];
        snprintf(report, sizeof report, "%04x", WEXITSTATUS(status));
        snprintf(found[nfound++], sizeof found[0], "filter: subcmd ecode(%.4s)", report);
    } else if (status == -1 || !WIFEXITED(status)) {
        snprintf(found[nfound++], sizeof found[0], "filter: ecode (0x%x)", (unsigned)status);
    }
    for (int i = 0; i + 1 < nfound; i++) add_msg(&ct->msg, FP_LOG_WARN, "%s", found[i]);
    if (nfound > 0) log_msg(ct, FP_LOG_WARN, "%s", found[nfound - 1]);
    return nfound > 0 ? -1 : 0;
}

// Reads what is left of the filter's output, up to kDrainMax bytes.
void drain(fp_ctxt* ct, int fd) {
    for (long total = 0; total < kDrainMax;) {
        ssize_t n = read(fd, ct->buffer, FP_BUFSIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        total += n;
    }
}

// Clears the filter state before reporting, so that a failure that ends
// the operation finds nothing left to stop.
int finish(fp_ctxt* ct, int status) {
    ct->filter_pid = 0;
    ct->filter_side = 0;
    return read_filter_errs(ct, status);
}

}  // namespace

void start_out_filter(fp_ctxt* ct) {
    const char* which = "post-process";
    char* argv[FP_FILTER_ARGS + 1];
    split_command(ct, ct->conf->postproc, argv, which);
    ioch* op = ct->op;
    if (op == nullptr) return;  // -n: nothing is written
    ignore_sigpipe();
    int p[2] = {-1, -1};
    int out = op->type == 'F' ? dup(op->fd) : private_file();
    int err_fd = private_file();
    int code = RUNCMD_CANT_START;
    pid_t pid = -1;
    if (out >= 0 && err_fd >= 0 && pipe2(p, O_CLOEXEC) == 0) {
        pid = runcmd_start(argv, p[0], out, err_fd, &code);
        close_fd(&p[0]);
    }
    if (pid < 0) {
        close_fd(&p[1]);
        close_fd(&out);
        close_fd(&err_fd);
        log_msg(ct, FP_LOG_FATAL, "%s failed (err %d)", which, code);
    }
    ct->filter_pid = (int)pid;
    ct->filter_side = 'o';
    ct->filter_err_fd = err_fd;
    ct->filter_type = op->type;
    if (op->type == 'F') {
        // The filter writes to the descriptor through its own copy.
        close(out);
        ct->filter_out_fd = op->fd;
    } else {
        ct->filter_out_fd = out;
        op->type = 'F';
    }
    op->fd = p[1];
}

void start_in_filter(fp_ctxt* ct, const char* command) {
    const char* which = "pre-process";
    char* argv[FP_FILTER_ARGS + 1];
    split_command(ct, command, argv, which);
    check_block_filter(ct, command, argv);
    // Before its files and pipes are made: a filter that cannot start
    // leaves nothing behind.
    if (runcmd_children_refused())
        log_msg(ct, FP_LOG_FATAL, "%s failed (err %d)", which, RUNCMD_CANT_START);
    ignore_sigpipe();
    ioch* ip = ct->ip;
    int in = ip->type == 'F' ? ip->fd : feed_memory(ct, ip);
    int p[2] = {-1, -1};
    int err_fd = private_file();
    int code = RUNCMD_CANT_START;
    pid_t pid = -1;
    ioch* nc = nullptr;
    if (in >= 0 && err_fd >= 0 && pipe2(p, O_CLOEXEC) == 0) {
        pid = runcmd_start(argv, in, p[1], err_fd, &code);
        close_fd(&p[1]);
        nc = pid > 0 ? ioch_fd_init(p[0]) : nullptr;
        if (nc == nullptr) close_fd(&p[0]);
    }
    if (ip->type != 'F' && in >= 0) close(in);
    if (nc == nullptr) {
        if (pid > 0) runcmd_stop(pid, SIGTERM);
        reap_feeder(ct, SIGTERM);
        close_fd(&err_fd);
        log_msg(ct, FP_LOG_FATAL, "%s failed (err %d)", which, code);
    }
    nc->framed = ip->framed;
    // The filter and the feeder hold what is left of the block.
    ioch_dispose(ip);
    ct->ip = nc;
    ct->filter_pid = (int)pid;
    ct->filter_side = 'i';
    ct->filter_err_fd = err_fd;
}

int out_stream_eof(fp_ctxt* ct) {
    if (ct->filter_pid == 0 || ct->filter_side != 'o') return 0;
    int copy = restore_output(ct);
    int status = wait_bounded(ct, ct->filter_pid, "filter");
    bool copied = copy < 0 || copy_back(ct, copy);
    close_fd(&copy);
    int rv = finish(ct, status);
    if (!copied) {
        log_msg(ct, FP_LOG_WARN, "ofilter: ioch_write");
        rv = -1;
    }
    return rv;
}

int in_stream_eof(fp_ctxt* ct) {
    if (ct->filter_pid == 0 || ct->filter_side != 'i') return 0;
    // The padding after the last trailer is still on its way; a filter that
    // goes on writing beyond that gets EPIPE and reports it.
    if (ct->ip != nullptr) {
        drain(ct, ct->ip->fd);
        close_fd(&ct->ip->fd);
    }
    int status = wait_bounded(ct, ct->filter_pid, "filter");
    reap_feeder(ct, 0);
    return finish(ct, status);
}

void io_filter_dispose(fp_ctxt* ct) {
    if (ct->filter_pid == 0) return;
    if (ct->filter_side == 'o') {
        int copy = restore_output(ct);
        close_fd(&copy);
    } else if (ct->ip != nullptr) {
        close_fd(&ct->ip->fd);
    }
    runcmd_stop(ct->filter_pid, SIGTERM);
    reap_feeder(ct, SIGTERM);
    close_fd(&ct->filter_err_fd);
    ct->filter_pid = 0;
    ct->filter_side = 0;
}
