// fpack: packs a file-package description into a block, or installs,
// uninstalls, lists, sizes or repacks a block.
#include <cstdio>

#include "common/long_options.h"
#include "fp_ops.h"

namespace {

const char kHelp[] =
    "Operations (one operand: a description, or a block with -u and -R; \"-\" is\n"
    "standard input):\n"
    "  (none)  pack the description into a block     -h  headers only\n"
    "  -p  list what the description packs             -s  its size\n"
    "  -l  the file list (-ll: with options)           -I  print the description\n"
    "  -u  install a block   -u -r  uninstall it       -u -p  list it\n"
    "  -u -s  its size       -u -b  its node bit mask  -R  repack it\n"
    "Modifiers and settings:\n"
    "  -m mods  modifier letters (d c a o z u h k n N C P) or a number\n"
    "  -C dir  src_relpath    -D key=value  a keyword    -U MMDDhhmmYY  cut-off\n"
    "  -N name  package name  -f file  output file       -n  no output\n"
    "  -P  every control node, with the keywords    -e  description in the local code set\n"
    "  -F  raise the file-size limit                -v  say \"no messages.\" when none\n"
    "  -b  print the node bit mask                  --help, --version\n"
    "Exit status: 0 success, 1 failure, 2 success with messages, 3 failure with\n"
    "messages. The manual pages fpack(1) and fpack-description(5) tell the rest.\n";

void printHelp(const char* argv0) {
    fp_usage(stdout, argv0);
    std::fputs(kHelp, stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // --help and --version answer on standard output; the short options
    // keep their meanings.
    int status = answerLongOption(argc, argv, "C:Pphursnum:D:bRvlU:IN:Ff:e", "fpack", QS_VERSION,
                                  printHelp, 1);
    return status >= 0 ? status : fp_main(argc, argv);
}
