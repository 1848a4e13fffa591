#!/bin/sh
# The main job: install the sample product from the bundled medium onto
# this machine, under a demo root. The installer's execution phase is not
# built yet, so the demo runs the check phase, shows the to-do list and
# answers "n" at the prompt.
set -eu
build=${1:-build}
root=/tmp/onx-demo
medium=$build/sample/medium
cli=$build/quillset_cli
echo "quillset demo (build directory: $build)"
for p in "$cli" "$build/fpack/fpack" "$medium/QRX.IND"; do
    if [ ! -e "$p" ]; then
        echo "$p is not built; run 'make build' first." >&2
        exit 1
    fi
done
medium=$(cd "$medium" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "The installer scouts this machine as root; run the demo as root." >&2
    exit 1
fi

rm -rf "$root"
mkdir -p "$root"
echo "Sample medium $medium:"
ls "$medium"
echo
echo "Installing onto $(hostname) under $root (answering n: nothing is changed):"
echo n | "$cli" -c "$medium" -a "$(hostname)" \
    BIN="$root/quillset" LIB="$root/quillset/lib" ZPIDB="$root/db" \
    MAN="$root/man" APPD="$root/app-defaults" CAT="$root/msg" RN=DemoRegion
echo
echo "Directories prepared by the scout under $root:"
find "$root" | sort
