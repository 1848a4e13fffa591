// The description parser and its printer, as -I runs them: the input is
// parsed without walking its files, and what it prints must parse again
// and print the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fpack.h"
#include "io_chan.h"
#include "no_side_effects.h"
#include "runcmd_if.h"

namespace {

// Parses text and prints it as -I does. False when the parse failed.
bool reprint(const std::string& text, std::string* printed) {
    fp_ctxt* ct = fp_new_ctxt();
    if (ct == nullptr) abort();
    fp_set_input(ct, ioch_data_init(text.data(), long(text.size())));
    fp_set_output(ct, ioch_new());
    fp_set_name(ct, "description");
    fp_desc desc = {};
    bool parsed = fp_read_fp_desc(ct, &desc) == 0;
    bool written = fp_write_fp_desc(ct, &desc) == 0;
    const unsigned char* out;
    long len;
    if (ioch_get_data(ct->op, &out, &len) != 0) abort();
    printed->assign(reinterpret_cast<const char*>(out), size_t(len));
    char* msgs;
    size_t mlen;
    fp_get_msgbuf(ct, &msgs, &mlen);
    free(msgs);
    fp_dispose_ctxt(ct);
    return parsed && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Parsing alone runs nothing; should it try, the start is refused.
    static const bool refused = (runcmd_refuse_children(), true);
    (void)refused;
    NoSideEffects guard;
    std::string first, second;
    if (!reprint(std::string(reinterpret_cast<const char*>(data), size), &first)) return 0;
    if (!reprint(first, &second)) {
        fprintf(stderr, "printed description does not parse:\n%s\n", first.c_str());
        abort();
    }
    if (second != first) {
        fprintf(stderr, "printed description reads back as another:\n%s\n---\n%s\n", first.c_str(),
                second.c_str());
        abort();
    }
    return 0;
}
