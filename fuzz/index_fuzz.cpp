// A product index (an ".IND" file of a medium) and what is asked of it:
// the entry serving each declared type on a few architectures and the
// printed summary. The catalogue of a valid index, read as an index from
// an empty type table, must give the same catalogue again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <string>

#include "core_state.h"
#include "engine/Args.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"
#include "no_side_effects.h"

namespace {

const char* const kArchs[] = {"linux-ix86", "solaris2", "w32-ix86", "generic"};

class NullBuf : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

void ask(const OperationInfo& info) {
    NullBuf sink;
    std::ostream out(&sink);
    out << info;
    for (int i = 0; i < InstallType::data.length(); ++i) {
        InstallType type(i);
        for (const char* arch : kArchs) {
            out << info.filePack(type, arch).dump() << info.script(type, arch).dump();
            out << info.kind(type, arch);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (argInfo.kind = 1, true);
    (void)ready;
    fuzzCoreStart();
    NoSideEffects guard;

    const std::string text(reinterpret_cast<const char*>(data), size);
    OperationInfo info(text.c_str(), "");
    ask(info);
    if (!info.IsValid()) return 0;

    const Str catalog = info.catalog();
    fuzzCoreStart();
    OperationInfo again(catalog.chars(), "");
    const Str recatalog = again.catalog();
    if (!again.IsValid() || recatalog != catalog) {
        fprintf(stderr, "catalogue reads back as another index:\n%s\n---\n%s\n", catalog.chars(),
                recatalog.chars());
        abort();
    }
    return 0;
}
