// The window front end: start-up, the option pre-pass and the event loop.
#include <Xm/Xm.h>

#include <cstdio>
#include <cstdlib>

#include "common/long_options.h"
#include "engine/Args.h"
#include "engine/server_cli.h"
#include "fallback_resources.h"
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

// The lines of the app-defaults file, for when it is not installed.
const char* fallbackResources[] = {QS_FALLBACK_RESOURCE_LINES nullptr};

const char kHelpMore[] =
    " Further options:\n"
    "    -A <arguments-file>  field options, one a line, instead of the index's\n"
    "    -Q <second-index-file>\n"
    "    -R  the built-in configuration is added again\n"
    "    -fn <font>, -font <font>, and the X toolkit's options (-display, -geometry, ...)\n"
    "    --help  this text;  --version  the version\n"
    " The manual page quillset(8) tells the rest.\n";

void printHelp(const char*) {
    std::printf("%s\n\n%s", kUsage, kHelpMore);
}

char* literal(const char* text) {
    return const_cast<char*>(text);
}

// The toolkit reads its options first and takes any unique abbreviation of
// one of them: "-i" alone would be "-iconic". Our own options that take a
// separate value are skipped with their value, so the option pre-pass sees
// them whole. A joined form ("-iNAME") stays ours unless it is a beginning
// of "-iconic"; no other option of the toolkit begins with one of our
// letters.
XrmOptionDescRec commandLineOptions[] = {
    {literal("-fn"), literal("*fontList"), XrmoptionSepArg, nullptr},
    {literal("-font"), literal("*fontList"), XrmoptionSepArg, nullptr},
    {literal("-A"), nullptr, XrmoptionSkipArg, nullptr},
    {literal("-a"), nullptr, XrmoptionSkipArg, nullptr},
    {literal("-c"), nullptr, XrmoptionSkipArg, nullptr},
    {literal("-i"), nullptr, XrmoptionSkipArg, nullptr},
    {literal("-p"), nullptr, XrmoptionSkipArg, nullptr},
    {literal("-Q"), nullptr, XrmoptionSkipArg, nullptr},
    {literal("-z"), nullptr, XrmoptionSkipArg, nullptr},
    {literal("-Z"), nullptr, XrmoptionSkipArg, nullptr},
};

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
    // --help and --version need neither a display nor root.
    int answered =
        answerLongOption(argc, argv, "A:a:c:i:p:Q:Rz:Z:", "quillset", QS_VERSION, printHelp, 2);
    if (answered >= 0) return answered;
    rootCheck(1);
    qrx_init(nullptr);
    qrx_client_init();
    bln_init();
    qrx_thread_set_default_stacksize(kStackSize);

    static Gui gui;
    XtToolkitInitialize();
    gui.app = XtCreateApplicationContext();
    XtAppSetFallbackResources(gui.app, const_cast<String*>(fallbackResources));
    Display* display = XtOpenDisplay(gui.app, nullptr, nullptr, "Install", commandLineOptions,
                                     XtNumber(commandLineOptions), &argc, argv);
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
        std::fprintf(stderr, "Error: no valid index file found in cdrom directory.\n%s",
                     missingIndexDetail().chars());
        std::fprintf(stderr, "%s\n", kUsage);
        qrx_client_exit(2);
    }
    gui.savedArgInfo = argInfo;
    readFieldOptions(fields.argc, fields.argv, gui.lists, gui.statusFileName);
    buildWindows(gui);
    XtAppMainLoop(gui.app);
    qrx_client_exit(0);
}
