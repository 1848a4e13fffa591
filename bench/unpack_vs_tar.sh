#!/bin/sh
# Times fpack installing the ~200 MB block of pack_vs_tar.sh's tree into an
# empty directory against GNU tar extracting the same tree, and fpack
# uninstalling it against rm -rf. One run each, after a warm-up read of both
# archives; the file system is synced before every timed step.
#
#   bench/unpack_vs_tar.sh [path/to/fpack]
set -eu

FPACK=${1:-${FPACK:-build/fpack/fpack}}
[ -x "$FPACK" ] || { echo "fpack not found: $FPACK (build it, or pass its path)" >&2; exit 1; }
FPACK=$(cd "$(dirname "$FPACK")" && pwd)/$(basename "$FPACK")
HERE=$(cd "$(dirname "$0")" && pwd)
command -v python3 >/dev/null || { echo "python3 is needed to build the tree" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/fpack-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

# The tree builder of pack_vs_tar.sh (its embedded script), so that both
# benchmarks measure the same tree.
sed -n "/^python3 - \"\$WORK\/tree\" <<'PY'\$/,/^PY\$/p" "$HERE/pack_vs_tar.sh" | sed '1d;$d' \
    >"$WORK/mktree.py"
[ -s "$WORK/mktree.py" ] || { echo "tree builder not found in pack_vs_tar.sh" >&2; exit 1; }
mkdir -p "$WORK/src" "$WORK/fp" "$WORK/tar"
python3 "$WORK/mktree.py" "$WORK/src/tree"

printf '#*KFP-v2.07\ndescend_dirs=y\ndefault_dest=%s\n%%\ntree\n%%\n%%\n' "$WORK/fp" >"$WORK/tree.fpd"
"$FPACK" -C "$WORK/src" -f "$WORK/tree.fpb" "$WORK/tree.fpd"
tar -C "$WORK/src" -cf "$WORK/tree.tar" tree
BYTES=$(du -sb "$WORK/src/tree" | cut -f1)
FILES=$(find "$WORK/src/tree" -type f | wc -l)
cat "$WORK/tree.fpb" "$WORK/tree.tar" >/dev/null  # warm the cache

now() { date +%s.%N; }
# timed CMD: wall time of one run, in seconds.
timed() {
    sync
    t0=$(now)
    sh -c "$1"
    t1=$(now)
    echo "$t1 - $t0" | bc -l
}
ratio() { echo "scale=2; $1 / $2" | bc -l; }
mbps() { echo "scale=0; $BYTES / $1 / 1000000" | bc -l; }

T_FP=$(timed "'$FPACK' -u '$WORK/tree.fpb'")
T_TAR=$(timed "tar -C '$WORK/tar' -xf '$WORK/tree.tar'")
cmp -s "$WORK/fp/tree/big0" "$WORK/tar/tree/big0" || { echo "installed trees differ" >&2; exit 1; }
T_FP_RM=$(timed "'$FPACK' -u -r '$WORK/tree.fpb'")
T_RM=$(timed "rm -rf '$WORK/tar/tree'")
[ ! -e "$WORK/fp/tree" ] || { echo "uninstall left $WORK/fp/tree" >&2; exit 1; }

echo "tree: $FILES files, $BYTES bytes; one run each"
printf '%-40s %8.3f s %6s MB/s\n' "fpack -u (install)" "$T_FP" "$(mbps "$T_FP")"
printf '%-40s %8.3f s %6s MB/s\n' "tar -xf" "$T_TAR" "$(mbps "$T_TAR")"
printf '%-40s %8.3f s\n' "fpack -u -r (uninstall)" "$T_FP_RM"
printf '%-40s %8.3f s\n' "rm -rf" "$T_RM"
echo "ratio fpack install/tar -xf:  $(ratio "$T_FP" "$T_TAR")  (target <= 1)"
echo "ratio fpack uninstall/rm -rf: $(ratio "$T_FP_RM" "$T_RM")"
