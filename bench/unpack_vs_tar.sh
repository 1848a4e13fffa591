#!/bin/sh
# Times fpack installing the ~200 MB block of pack_vs_tar.sh's tree into an
# empty directory against GNU tar extracting the same tree, installing it
# again over the installed tree against tar extracting over its own, and
# uninstalling it against rm -rf.
#
#   bench/unpack_vs_tar.sh [path/to/fpack [path/to/other/fpack]]
#
# Each figure is the median of RUNS runs (default 5) after a warm-up read of
# the archives, as wall time and as CPU time (user plus system, which other
# work on a busy machine disturbs less); the file system is synced before
# every timed step. With a second fpack (an earlier build, say) both are
# timed in the same rounds, one after the other, so that a busy machine
# disturbs both alike.
set -eu

FPACK=${1:-${FPACK:-build/fpack/fpack}}
OTHER=${2:-}
RUNS=${RUNS:-5}
abspath() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
for f in "$FPACK" $OTHER; do
    [ -x "$f" ] || { echo "fpack not found: $f (build it, or pass its path)" >&2; exit 1; }
done
FPACK=$(abspath "$FPACK")
[ -z "$OTHER" ] || OTHER=$(abspath "$OTHER")
HERE=$(cd "$(dirname "$0")" && pwd)
command -v python3 >/dev/null || { echo "python3 is needed to build the tree" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/fpack-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

# The tree builder of pack_vs_tar.sh (its embedded script), so that both
# benchmarks measure the same tree.
sed -n "/^python3 - \"\$WORK\/tree\" <<'PY'\$/,/^PY\$/p" "$HERE/pack_vs_tar.sh" | sed '1d;$d' \
    >"$WORK/mktree.py"
[ -s "$WORK/mktree.py" ] || { echo "tree builder not found in pack_vs_tar.sh" >&2; exit 1; }
mkdir -p "$WORK/src" "$WORK/fp" "$WORK/tar" "$WORK/times"
python3 "$WORK/mktree.py" "$WORK/src/tree"

printf '#*KFP-v2.07\ndescend_dirs=y\ndefault_dest=%s\n%%\ntree\n%%\n%%\n' "$WORK/fp" >"$WORK/tree.fpd"
"$FPACK" -C "$WORK/src" -f "$WORK/tree.fpb" "$WORK/tree.fpd"
tar -C "$WORK/src" -cf "$WORK/tree.tar" tree
BYTES=$(du -sb "$WORK/src/tree" | cut -f1)
FILES=$(find "$WORK/src/tree" -type f | wc -l)
cat "$WORK/tree.fpb" "$WORK/tree.tar" >/dev/null  # warm the cache

# timed NAME CMD: appends the wall time and the CPU time (microseconds
# apart) of one run of CMD, a single command, to times/NAME and
# times/NAME.cpu.
timed() {
    sync
    python3 - "$WORK/times/$1" "$2" <<'PY'
import os, subprocess, sys, time
out, cmd = sys.argv[1], sys.argv[2]
t0 = time.perf_counter()
child = subprocess.Popen(["sh", "-c", "exec " + cmd])
_, status, ru = os.wait4(child.pid, 0)
wall = time.perf_counter() - t0
if status != 0:
    sys.exit("failed: " + cmd)
with open(out, "a") as f:
    f.write("%.6f\n" % wall)
with open(out + ".cpu", "a") as f:
    f.write("%.6f\n" % (ru.ru_utime + ru.ru_stime))
PY
}
median() { sort -n "$WORK/times/$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }
mbps() { echo "scale=0; $BYTES / $1 / 1000000" | bc -l; }

# fpack_round TAG BIN: install, install again over it (alone, then with the
# sync that writes what it left in memory), uninstall.
fpack_round() {
    timed "$1-install" "'$2' -u '$WORK/tree.fpb'"
    cmp -s "$WORK/fp/tree/big0" "$WORK/src/tree/big0" || { echo "$2: install differs" >&2; exit 1; }
    timed "$1-reinstall" "'$2' -u '$WORK/tree.fpb'"
    timed "$1-reinstall-sync" "sh -c \"'$2' -u '$WORK/tree.fpb' && sync\""
    timed "$1-uninstall" "'$2' -u -r '$WORK/tree.fpb'"
    [ ! -e "$WORK/fp/tree" ] || { echo "$2: uninstall left $WORK/fp/tree" >&2; exit 1; }
}

i=0
while [ "$i" -lt "$RUNS" ]; do
    fpack_round fp "$FPACK"
    [ -z "$OTHER" ] || fpack_round other "$OTHER"
    timed tar "tar -C '$WORK/tar' -xf '$WORK/tree.tar'"
    timed tar-again "tar -C '$WORK/tar' -xf '$WORK/tree.tar'"
    timed rm "rm -rf '$WORK/tar/tree'"
    i=$((i + 1))
done

line() {
    printf '%-40s %7.3f s %6s MB/s  cpu %7.3f s\n' "$1" "$(median "$2")" "$(mbps "$(median "$2")")" \
        "$(median "$2.cpu")"
}
plain() { printf '%-40s %7.3f s              cpu %7.3f s\n' "$1" "$(median "$2")" "$(median "$2.cpu")"; }
echo "tree: $FILES files, $BYTES bytes; median of $RUNS runs"
line "fpack -u (install)" fp-install
line "fpack -u over the installed tree" fp-reinstall
line "  the same, then sync" fp-reinstall-sync
plain "fpack -u -r (uninstall)" fp-uninstall
if [ -n "$OTHER" ]; then
    line "other fpack -u (install)" other-install
    line "other fpack -u over the installed tree" other-reinstall
    line "  the same, then sync" other-reinstall-sync
    plain "other fpack -u -r (uninstall)" other-uninstall
fi
line "tar -xf" tar
line "tar -xf over the extracted tree" tar-again
plain "rm -rf" rm
echo "ratio fpack install/tar -xf:  $(ratio "$(median fp-install)" "$(median tar)")  (target <= 1)"
echo "ratio fpack reinstall/tar -xf over: $(ratio "$(median fp-reinstall)" "$(median tar-again)")"
echo "ratio fpack uninstall/rm -rf: $(ratio "$(median fp-uninstall)" "$(median rm)")"
if [ -n "$OTHER" ]; then
    for step in install reinstall reinstall-sync uninstall; do
        echo "ratio fpack/other $step: wall $(ratio "$(median "fp-$step")" "$(median "other-$step")")," \
            "cpu $(ratio "$(median "fp-$step.cpu")" "$(median "other-$step.cpu")")"
    done
fi
