// A block read by the operations that only look into it: the listing
// (-u -p -P), the size (-u -s) and the mask with its second pass (-u -b -p),
// each with the modifiers the command line gives it. Whatever the block
// says, they write nothing and start nothing (no script, no filter).
//
// The last byte of the input chooses the reading (its value modulo 3): in
// a block it is padding after the trailer, so one block serves all three.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fpack.h"
#include "io_chan.h"
#include "no_side_effects.h"
#include "runcmd_if.h"

namespace {

// The smallest record size: small seeds, and records end often. The seed
// blocks are packed with it (make_block_seeds.sh).
const char kRecordSize[] = "512";

struct Reading {
    int code;
    long mods;
    int dtype;
};

// The first pass of -u -b and the listings and size of the command line.
const Reading kList = {FP_OP_UNPACK_LIST, FP_MOD_DEFAULT | FP_MOD_N | FP_MOD_CNTL | FP_MOD_K,
                       FP_DT_LIST};
const Reading kSize = {FP_OP_UNPACK_SIZE, FP_MOD_DEFAULT | FP_MOD_N, FP_DT_SIZE};
const Reading kBits = {FP_OP_LIST_BITS, FP_MOD_DEFAULT, FP_DT_LIST};
// The second pass of -u -b -p: the block listed again through the mask.
const Reading kMaskedList = {FP_OP_UNPACK_LIST, FP_MOD_D | FP_MOD_A, FP_DT_LIST};

// Reads the block once; the mask of the first pass of -b is handed in and
// out through bits/words.
void readBlock(const uint8_t* data, size_t size, const Reading& r, uint32_t** bits, int* words) {
    fp_ctxt* ct = fp_new_ctxt();
    if (ct == nullptr) abort();
    fp_set_input(ct, ioch_data_init(reinterpret_cast<const char*>(data), long(size)));
    fp_set_output(ct, ioch_new());
    fp_set_name(ct, "block");
    fp_set_dtype(ct, r.dtype);
    if (*words > 0 && fp_set_hdr_bits(ct, *bits, *words) != 0) abort();
    fp_operation(ct, r.code, r.mods);
    if (r.code == FP_OP_LIST_BITS) {
        const uint32_t* mask;
        fp_get_hdr_bits(ct, &mask, words);
        *bits = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * size_t(*words + 1)));
        if (*words > 0) memcpy(*bits, mask, sizeof(uint32_t) * size_t(*words));
    }
    char* text;
    size_t len;
    fp_get_msgbuf(ct, &text, &len);
    free(text);
    fp_dispose_ctxt(ct);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready =
        (runcmd_refuse_children(), setenv("TRELL_BUF_SIZE", kRecordSize, 1), true);
    (void)ready;
    NoSideEffects guard;
    uint32_t* bits = nullptr;
    int words = 0;
    switch (size > 0 ? data[size - 1] % 3 : 0) {
        case 0:
            readBlock(data, size, kList, &bits, &words);
            break;
        case 1:
            readBlock(data, size, kSize, &bits, &words);
            break;
        default:
            readBlock(data, size, kBits, &bits, &words);
            readBlock(data, size, kMaskedList, &bits, &words);
            break;
    }
    free(bits);
    return 0;
}
