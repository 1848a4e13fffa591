// A configuration text (as -z, -Z or -R read one) and the @name@
// translation over it: the whole text is translated as a template, and so
// is every name it defines, for no host and for a host whose type has
// entries of its own. The dump of what was read must read back as the same
// entries, dumping to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "core_state.h"
#include "engine/Args.h"
#include "hosts/InstallHost.h"
#include "model/Configuration.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"
#include "no_side_effects.h"

namespace {

// Names translated per input, so that a text of many entries stays fast.
const int kNamesTranslated = 32;

// Install types whose names the translation treats specially (paths, the
// +ROOT forms, subdirectory templates that translate in turn).
const char kIndex[] =
    "QRX:id:BIN:Binaries:server::default=/opt/qrx/bin:@Arch@\n"
    "QRX:id:DB:Database:server::default=/var/qrx/db:@HostName@.db\n"
    "QRX:id:MAN:Manual pages:server::default=/usr/share/man\n";

void setUp() {
    argInfo.index = OperationInfo(kIndex, "QRX");
    argInfo.kind = 1;
    argInfo.serverName = "srv";
    argInfo.installPassword = "secret";
}

Str dumpOf(const std::string& text, Configuration& config) {
    std::istringstream in(text);
    config.parse(in);
    return config.dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (setUp(), true);
    (void)ready;
    fuzzCoreStart();
    static InstallHost* host = new InstallHost("fuzzhost", "solaris2", "root", "", TRUSTED_HOST);
    NoSideEffects guard;

    const std::string text(reinterpret_cast<const char*>(data), size);
    argInfo.config = Configuration();
    Str dumped = dumpOf(text, argInfo.config);
    const Configuration& config = argInfo.config;

    config.translate(nullptr, Str(text));
    const Array<ConfigurationItem>& items = config.items();
    for (int i = 0; i < items.length() && i < kNamesTranslated; ++i) {
        config.lookup(nullptr, items[i].id);
        config.lookup(host, items[i].id);
    }

    Configuration again;
    Str redumped = dumpOf(dumped.str(), again);
    if (redumped != dumped) {
        fprintf(stderr, "dump reads back as another:\n%s\n---\n%s\n", dumped.chars(),
                redumped.chars());
        abort();
    }
    return 0;
}
