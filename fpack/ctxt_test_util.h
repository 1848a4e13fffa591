// Test helpers for the engine: a context writing to memory, a reader of the
// blocks it writes, and running code with the context's jump point armed.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "fpack.h"
#include "fppack.h"
#include "io_chan.h"
#include "keyw.h"

namespace fptest {

struct Ctxt {
    fp_ctxt* ct;
    Ctxt() : ct(fp_new_ctxt()) {}
    ~Ctxt() { fp_dispose_ctxt(ct); }
    Ctxt(const Ctxt&) = delete;
    Ctxt& operator=(const Ctxt&) = delete;

    std::string msgs() const { return ct->msg.buf != nullptr ? ct->msg.buf : ""; }
    // Output into memory (a 'D' channel).
    void to_memory() { fp_set_output(ct, ioch_new()); }
    // Ends the output stream and returns everything written.
    std::string output() {
        ioch_write(ct->op, "", 0);
        const unsigned char* data;
        long len;
        ioch_get_data(ct->op, &data, &len);
        return std::string((const char*)data, (size_t)len);
    }
    void input(const std::string& bytes) {
        fp_set_input(ct, ioch_data_init(bytes.data(), (long)bytes.size()));
    }
};

// Runs f with the jump point armed; returns fp_guarded's result. f must not
// hold objects with destructors where it may jump out.
template <typename F>
int guarded(fp_ctxt* ct, F f) {
    return fp_guarded(
        ct, [](fp_ctxt*, void* arg) { (*(F*)arg)(); }, &f);
}

// One node read back from a block.
struct Node {
    std::string name;
    struct stat st;
    unsigned long check;
    std::string body;
};

// Reads the block in `bytes`: its encoded header, then every node up to and
// including the trailer (file bodies unless headers_only). Fails the test on a
// bad block.
inline std::vector<Node> read_block(const std::string& bytes, bool headers_only = false) {
    Ctxt r;
    r.input(bytes);
    r.ct->conf->stop_on_error = 0;  // report a bad node and return, not jump
    std::vector<Node> nodes;
    int rv = guarded(r.ct, [&] {
        if (decode_header(r.ct) != 0) return;
        for (;;) {
            Node n;
            char name[FP_NAME_MAX + 1];
            if (getheader(r.ct, &n.st, &n.check, name) != 0) return;
            n.name = name;
            // The control node keeps its body in a headers-only block.
            if ((!headers_only || nodes.empty()) && n.st.st_size > 0) {
                n.body.resize((size_t)n.st.st_size);
                if (ioch_read_exact(r.ct->ip, &n.body[0], n.st.st_size) != n.st.st_size) return;
            }
            nodes.push_back(n);
            if (n.name == FP_TRAILER_NAME) return;
        }
    });
    EXPECT_EQ(rv, 0) << r.msgs();
    EXPECT_FALSE(nodes.empty() || nodes.back().name != FP_TRAILER_NAME) << r.msgs();
    return nodes;
}

}  // namespace fptest
