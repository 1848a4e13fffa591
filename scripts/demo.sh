#!/bin/sh
# The main job: install the sample product from the bundled medium.
# The installer's execution phase is not built yet; until it is, this
# shows what the demo will do once it is.
set -eu
build=${1:-build}
echo "quillset demo (build directory: $build)"
echo "Built programs:"
for p in quillset_cli quillset fpack/fpack; do
    if [ -x "$build/$p" ]; then echo "  $build/$p"; else echo "  $build/$p (not built yet)"; fi
done
cat <<'TXT'
Once the installer's execution phase lands, this target will:
  1. build the sample medium (CONTENTS.LST, PATCHES.LST, the QRX index and
     its file-package images packed by fpack),
  2. run quillset_cli -y against this machine under a demo root (/tmp/onx-demo),
  3. print the installed tree and the recorded installation attributes.
TXT
