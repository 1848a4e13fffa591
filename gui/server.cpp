// The window front end: start-up, the option pre-pass and the event loop.
#include <Xm/Xm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "engine/Args.h"
#include "engine/server_cli.h"
#include "framework/bln_cipher.h"
#include "framework/qrx_runtime.h"
#include "framework/qrx_thread.h"
#include "gui/server_gui.h"
#include "model/config_data.h"

namespace {

const char kUsage[] =
    "Usage: quillset -c <cdrom-path> [<optional-flags>] [<optional-variables>]\n"
    " <optional-flags>:\n"
    "    -a <server-name>\n"
    "    -i <install-index-file>\n"
    "    -p <path-prefix>[!]\n"
    "    -z <variable-file>\n"
    "    -Z <variable-entry>\n" QS_USAGE_VARIABLES;

const size_t kStackSize = 65536;

String fallbackResources[] = {const_cast<String>("*fontList: lucidasans-bold-12"),
                              const_cast<String>("*CList*fontList: lucidasanstypewriter-bold-12"),
                              nullptr};

XrmOptionDescRec fontOptions[] = {
    {const_cast<char*>("-fn"), const_cast<char*>("*fontList"), XrmoptionSepArg, nullptr},
    {const_cast<char*>("-font"), const_cast<char*>("*fontList"), XrmoptionSepArg, nullptr},
};

void checkRoot() {
    if (geteuid() == 0) return;
    std::fputs("Error: you must be root to run server install.\n", stderr);
    const char* ignore = std::getenv("IgnoreRoot");
    if (!ignore || !*ignore) std::exit(1);
}

// The option vector of the pre-pass, released when the program ends.
struct NewArgv {
    int argc = 0;
    char** argv = nullptr;
    ~NewArgv() {
        for (int i = 0; i < argc; ++i) delete[] argv[i];
        delete[] argv;
    }
};

}  // namespace

int main(int argc, char** argv) {
    checkRoot();
    qrx_init(nullptr);
    qrx_client_init();
    bln_init();
    qrx_thread_set_default_stacksize(kStackSize);

    static Gui gui;
    XtToolkitInitialize();
    gui.app = XtCreateApplicationContext();
    XtAppSetFallbackResources(gui.app, fallbackResources);
    Display* display = XtOpenDisplay(gui.app, nullptr, nullptr, "Install", fontOptions,
                                     XtNumber(fontOptions), &argc, argv);
    if (!display) {
        // Not a success: nothing was shown, nothing installed.
        std::fputs("Error: cannot open the display.\n", stderr);
        std::exit(1);
    }
    gui.top = XtVaAppCreateShell(nullptr, "Install", applicationShellWidgetClass, display, nullptr);

    argInfo.kind = 1;
    argInfo.config.addData(config_data);
    static NewArgv fields;
    fields.argv = BuildUpArgs(argc, argv, &fields.argc);
    if (!argInfo.index.IsValid()) {
        std::fprintf(stderr, "Error: no valid index file found in cdrom directory.\n");
        std::fprintf(stderr, "%s\n", kUsage);
        qrx_client_exit(2);
    }
    gui.savedArgInfo = argInfo;
    readFieldOptions(fields.argc, fields.argv, gui.lists, gui.statusFileName);
    buildWindows(gui);
    XtAppMainLoop(gui.app);
    qrx_client_exit(0);
}
