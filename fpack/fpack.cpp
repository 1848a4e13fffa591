// fpack: packs a file-package description into a block, or lists and sizes it.
#include "fp_ops.h"

int main(int argc, char** argv) {
    return fp_main(argc, argv);
}
