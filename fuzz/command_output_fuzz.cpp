// What a host sends back for a command: the framed output, cut out between
// the stream markers, and the engine's error report, filtered down to what
// the scripts and the engine said.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core_state.h"
#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "no_side_effects.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzCoreStart();
    NoSideEffects guard;
    const Str raw(std::string(reinterpret_cast<const char*>(data), size));
    // Whatever came, the output is cut from it: nothing longer, apart from
    // the mark of a truncated one.
    Str output = unframe(raw);
    if (output.length() > raw.length() + OUTPUT_TRUNCATED.length()) {
        fprintf(stderr, "framed output of %d bytes gave %d\n", raw.length(), output.length());
        abort();
    }
    Str report = NonCourierSpeak(raw);
    if (report.length() > raw.length() + 1) {
        fprintf(stderr, "engine report of %d bytes gave %d\n", raw.length(), report.length());
        abort();
    }
    return 0;
}
