// The message formatter: a default text (which a translated catalogue or a
// recorded failure may bring) bound with arguments of every kind, an
// embedded message among them. Argument texts come from hosts and media
// too (paths, host names, error output).
//
// Input: the format first, then the arguments as FuzzedDataProvider takes
// them; a plain text is a format without arguments.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "framework/qrx_msg.h"
#include "no_side_effects.h"

namespace {

const char kCatalog[] = "InstallCatalog";
const size_t kMaxArgs = 8;
const size_t kMaxListItems = 8;
const size_t kMaxText = 256;

// The argument texts live here while the message is made from views.
struct Args {
    std::vector<QRX_MsgArg> args;
    std::vector<std::string> texts;
    std::vector<std::vector<const char*>> lists;
    std::vector<QRX_Types_XOpenMessage*> embedded;
    ~Args() {
        for (QRX_Types_XOpenMessage* m : embedded) qrx_msg_destroy(m);
    }
};

QRX_Types_XOpenMessage* makeMessage(FuzzedDataProvider& in, const std::string& format, int depth);

void addArgs(FuzzedDataProvider& in, Args& a, int depth) {
    size_t count = in.ConsumeIntegralInRange<size_t>(0, kMaxArgs);
    // Texts first: the views below point into vectors that no longer grow.
    a.texts.reserve(count * (kMaxListItems + 1));
    a.lists.reserve(count);
    for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                a.texts.push_back(in.ConsumeRandomLengthString(kMaxText));
                a.args.push_back(qrx_arg_text(a.texts.back().c_str()));
                break;
            case 1:
                a.args.push_back(qrx_arg_number(in.ConsumeIntegral<long>()));
                break;
            case 2: {
                a.lists.emplace_back();
                size_t items = in.ConsumeIntegralInRange<size_t>(0, kMaxListItems);
                for (size_t k = 0; k < items; ++k) {
                    a.texts.push_back(in.ConsumeRandomLengthString(kMaxText));
                    a.lists.back().push_back(a.texts.back().c_str());
                }
                a.args.push_back(qrx_arg_list(a.lists.back().data(), a.lists.back().size()));
                break;
            }
            default:
                if (depth >= 2) break;
                a.embedded.push_back(
                    makeMessage(in, in.ConsumeRandomLengthString(kMaxText), depth + 1));
                a.args.push_back(qrx_arg_message(a.embedded.back()));
                break;
        }
    }
}

QRX_Types_XOpenMessage* makeMessage(FuzzedDataProvider& in, const std::string& format, int depth) {
    Args a;
    addArgs(in, a, depth);
    return qrx_msg_new(kCatalog, format.c_str(), 1, a.args.data(), a.args.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NoSideEffects guard;
    FuzzedDataProvider in(data, size);
    std::string format = in.ConsumeRandomLengthString(size);
    QRX_Types_XOpenMessage* m = makeMessage(in, format, 0);
    // A second record: the list binds as both texts in turn.
    qrx_msg_append(m, makeMessage(in, in.ConsumeRandomLengthString(kMaxText), 1));
    free(qrx_msg_bind(m, "\n", QRX_MSG_BIND_DEFAULT_TEXT));
    qrx_msg_destroy(m);
    return 0;
}
