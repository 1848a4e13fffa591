#include "core_state.h"

#include <cstdlib>
#include <streambuf>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"

namespace {

// Before any object of the library is made: the debug log opens the null
// device instead of its built-in path.
__attribute__((constructor(101))) void quietDebugLog() {
    setenv("QUILLSET_DEBUG_LOG", "/dev/null", 1);
}

class NullBuf : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Saved {
    ArgInfo args = argInfo;
    Array<InstallTypeData> types = InstallType::data;
    int upgrade = upgrade_hack;
};

}  // namespace

void fuzzCoreStart() {
    static NullBuf sink;
    static const Saved* saved = [] {
        dbFile.rdbuf(&sink);
        return new Saved;
    }();
    argInfo = saved->args;
    InstallType::data = saved->types;
    upgrade_hack = saved->upgrade;
    hostFailures.clear();
}
