// What a host's scout writes back: status lines per install type and the
// "DF_DATA" disk probe lines, turned into states, planned operations and
// failures (then printed as the to-do list and the failure report), and
// every line of it read as a disk probe by hosts of each kind, for no type
// and for a type being placed.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>

#include "core_state.h"
#include "engine/Args.h"
#include "engine/FileSystemInfo.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "hosts/InstallHost.h"
#include "model/Configuration.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"
#include "model/config_data.h"
#include "no_side_effects.h"

namespace {

// The sample product's types and packages, and a type for each of the
// database checks of Windows hosts.
const char kIndex[] =
    "QRX:id:BIN:Binaries:both::default=/opt/qrx/bin:@Arch@\n"
    "QRX:id:LIB:Libraries:both::default=/opt/qrx/lib\n"
    "QRX:id:ZPIDB:Database:server::default=/var/qrx/db\n"
    "QRX:id:MAN:Manual pages:client::default=/usr/share/man\n"
    "QRX:fp:BIN:linux-ix86:bin/qsstat:400:1\n"
    "QRX:fp:BIN:w32-ix86:bin/qsstat.exe:400:2\n"
    "QRX:fp:LIB:generic:qslib.sh:100:3\n"
    "QRX:fp:ZPIDB:generic:qrx.conf:10:4\n"
    "QRX:fp:MAN:unique:man1/qsstat.1:10:5\n";

// Host names the scout lines can name, and a type of each kind.
const char* const kHosts[][2] = {
    {"srv", "linux-ix86"}, {"peer", "linux-ix86"}, {"nt", "w32-ix86"}, {"warp", "os2-ix86"}};

class NullBuf : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

void setUp() {
    argInfo.config = Configuration(config_data);
    argInfo.index = OperationInfo(kIndex, "QRX");
    argInfo.kind = 1;
    argInfo.serverName = "srv";
    for (int i = 0; i < InstallType::data.length(); ++i) InstallType(i).entry().enabled = 1;
}

// Every line as a disk probe, for no type and for each type in turn.
void probeLines(InstallHost& host, const Str& text) {
    Str rest = text;
    for (int lines = 0; !rest.empty() && lines < 64; ++lines) {
        Str line = rest.contains('\n') ? Str(rest.before('\n')) : rest;
        rest = rest.contains('\n') ? Str(rest.after('\n')) : Str();
        for (int type = -1; type < InstallType::data.length(); ++type) {
            FileSystemInfo fs;
            host.processDfSequence(line, fs, type);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (setUp(), true);
    (void)ready;
    fuzzCoreStart();
    NoSideEffects guard;

    const Str output(std::string(reinterpret_cast<const char*>(data), size));
    hostGroups = HostGroup();
    resetMultiplexMode();
    for (const auto& h : kHosts)
        hostGroups.addHost(new InstallHost(h[0], h[1], "root", "", TRUSTED_HOST));
    Array<InstallHost*>& hosts = hostGroups.entries[0].hosts;
    for (int i = 0; i < hosts.length(); ++i)
        hostGroups.entries[0].processScoutInfo(*hosts[i], output);

    NullBuf sink;
    std::ostream out(&sink);
    hostGroups.tellToDo(out);
    delete hostGroups.toDoMessage();
    out << hostFailures.reportText();

    for (int i = 0; i < hosts.length(); ++i) probeLines(*hosts[i], output);
    while (hosts.length()) delete hosts.pop();
    hostGroups = HostGroup();
    return 0;
}
