#!/bin/sh
# The main job: install the sample product from the bundled medium onto
# this machine under a demo root, answering yes, then show what landed and
# what the installation recorded. The root is kept between runs, so a
# second run finds everything installed and pushes nothing; `make
# demo-clean` removes it.
# Usage: demo.sh [build-directory [demo-directory]]; the demo directory
# (build/demo by default) holds the root, the debug log and the transcript.
set -eu
build=${1:-build}
demo=${2:-$build/demo}
medium=$build/sample/medium
cli=$build/quillset_cli
echo "quillset demo (build directory: $build)"
for p in "$cli" "$build/client_bundle/bin/linux-ix86/fpack" "$medium/QRX.IND"; do
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

# Root, debug log and transcript live in a directory that only we can
# enter: as root, nothing is written under a fixed name in a directory
# where others could have put a link first.
[ -e "$demo" ] || [ -L "$demo" ] || mkdir -p -m 700 "$demo"
if [ -L "$demo" ] || [ ! -d "$demo" ] || [ "$(stat -c %u "$demo")" != "$(id -u)" ]; then
    echo "$demo is not a directory of ours; remove it ('make demo-clean')." >&2
    exit 1
fi
chmod 700 "$demo"
demo=$(cd "$demo" && pwd)
root=$demo/root
log=$demo/quillset.log
transcript=$demo/transcript

host=$(hostname)
bin=$root/quillset
db=$root/db
mkdir -p "$root"
echo "Sample medium $medium:"
ls "$medium"
echo
echo "Installing onto $host under $root (debug log: $log):"
# Status lines and the reports, in the order the installer writes them.
if ! QUILLSET_DEBUG_LOG=$log "$cli" -y -c "$medium" -a "$host" \
    BIN="$bin" LIB="$bin/lib" ZPIDB="$db" \
    MAN="$root/man" APPD="$root/app-defaults" CAT="$root/msg" RN=DemoRegion \
    >"$transcript" 2>&1; then
    cat "$transcript"
    echo "quillset_cli failed." >&2
    exit 1
fi
cat "$transcript"
echo
if grep -q "problems were encountered\|(with errors)" "$transcript"; then
    echo "The installation reported problems (above; details in $log)." >&2
    exit 1
fi

echo "Installed tree under $root:"
find "$root" | sort
echo

echo "Recorded installation attributes:"
io=$("$bin/bin/objlookup" Installation)
get() { DBD=$db "$bin/bin/objcall" "$@"; }
echo "--- revision: $(get "$io" _get_revision)"
echo "--- media: $(get "$io" _get_media)"
echo "--- catalog (first lines):"
get "$io" _get_catalog | head -n 4
echo "--- locations, one record a line:"
get "$io" _get_locations | sed 's/ { "/\n  { "/g'
echo "--- name registry entry:"
get "$("$bin/bin/objlookup" NameRegistry)" _get_set_values
echo

if grep -q "need to copy" "$transcript"; then
    echo "Installed. Run 'make demo' again: it finds everything in place."
elif grep -q "already has the" "$transcript"; then
    echo "Everything was already installed under $root; nothing was pushed."
    echo "('make demo-clean' removes the demo root for a fresh install.)"
fi
