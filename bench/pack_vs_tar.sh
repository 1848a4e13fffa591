#!/bin/sh
# Times fpack packing a ~200 MB tree against GNU tar, and packing with
# record check bytes (do_checksum) against md5sum over the same files.
#
#   bench/pack_vs_tar.sh [path/to/fpack]
#
# Each figure is the best of RUNS runs (default 3) with a warm page cache.
# GNU tar skips reading file contents when its archive is /dev/null, so the
# tar figure is also taken through a pipe, and fpack is timed both ways.
set -eu

FPACK=${1:-${FPACK:-build/fpack/fpack}}
RUNS=${RUNS:-3}
[ -x "$FPACK" ] || { echo "fpack not found: $FPACK (build it, or pass its path)" >&2; exit 1; }
FPACK=$(cd "$(dirname "$FPACK")" && pwd)/$(basename "$FPACK")
command -v python3 >/dev/null || { echo "python3 is needed to build the tree" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/fpack-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

# 3,000 files of 1 KiB to 64 KiB in 30 directories, plus four of 24 MiB:
# about 200 MB, fixed by the seed so that runs compare.
python3 - "$WORK/tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(1234)
block = rnd.randbytes(1 << 20)
def body(n):
    out = bytearray()
    while len(out) < n:
        off = rnd.randrange(len(block))
        out += block[off:off + n - len(out)]
    return bytes(out)
for d in range(30):
    path = os.path.join(root, "d%02d" % d, "sub")
    os.makedirs(path)
    for f in range(100):
        where = path if f % 2 else os.path.dirname(path)
        with open(os.path.join(where, "f%03d" % f), "wb") as fh:
            fh.write(body(rnd.randrange(1024, 65536)))
for b in range(4):
    with open(os.path.join(root, "big%d" % b), "wb") as fh:
        for _ in range(24):
            fh.write(body(1 << 20))
PY

printf '#*KFP-v2.07\ndescend_dirs=y\n%%\ntree\n%%\n%%\n' >"$WORK/tree.fpd"
BYTES=$(du -sb "$WORK/tree" | cut -f1)
FILES=$(find "$WORK/tree" -type f | wc -l)

now() { date +%s.%N; }
# best_of CMD...: the shortest wall time of RUNS runs, in seconds.
best_of() {
    best=
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        t0=$(now)
        sh -c "$1"
        t1=$(now)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
        i=$((i + 1))
    done
    echo "$best"
}
ratio() { echo "scale=2; $1 / $2" | bc -l; }
mbps() { echo "scale=0; $BYTES / $1 / 1000000" | bc -l; }

cd "$WORK"
tar -cf - tree >/dev/null  # warm the cache
FP="'$FPACK' -C '$WORK' tree.fpd"
T_TAR=$(best_of "tar -cf - tree >/dev/null")
T_FP=$(best_of "$FP >/dev/null")
T_TAR_PIPE=$(best_of "tar -cf - tree | cat >/dev/null")
T_FP_PIPE=$(best_of "$FP | cat >/dev/null")
T_MD5=$(best_of "find tree -type f -exec md5sum {} + >/dev/null")
T_FP_CK=$(best_of "$FP -D do_checksum=y >/dev/null")

echo "tree: $FILES files, $BYTES bytes; best of $RUNS runs"
printf '%-40s %8.3f s %6s MB/s\n' "fpack pack to /dev/null" "$T_FP" "$(mbps "$T_FP")"
printf '%-40s %8.3f s %6s MB/s\n' "tar -cf - tree >/dev/null" "$T_TAR" "$(mbps "$T_TAR")"
printf '%-40s %8.3f s %6s MB/s\n' "fpack pack | cat" "$T_FP_PIPE" "$(mbps "$T_FP_PIPE")"
printf '%-40s %8.3f s %6s MB/s\n' "tar -cf - tree | cat" "$T_TAR_PIPE" "$(mbps "$T_TAR_PIPE")"
printf '%-40s %8.3f s %6s MB/s\n' "fpack pack, do_checksum=y" "$T_FP_CK" "$(mbps "$T_FP_CK")"
printf '%-40s %8.3f s %6s MB/s\n' "md5sum over the files" "$T_MD5" "$(mbps "$T_MD5")"
echo "ratio fpack/tar (to /dev/null):   $(ratio "$T_FP" "$T_TAR")  (target <= 1)"
echo "ratio fpack/tar (through a pipe): $(ratio "$T_FP_PIPE" "$T_TAR_PIPE")  (target <= 1)"
echo "ratio fpack do_checksum/md5sum:   $(ratio "$T_FP_CK" "$T_MD5")"
