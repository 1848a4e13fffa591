#!/bin/bash
# Compares the record compressor and MD5 with gzip -1, lz4 -1 and md5sum over
# the same bytes, in one run:
#   bench/io_vs_tools.sh [corpus-MiB]
# Environment: BENCH_IO names a built bench_io (otherwise it is built in
# build-bench/ as a Release tree), KEEP=1 keeps the corpus directory.
# Rates are per CPU second on both sides (the machine may be shared): ours
# from bench_io with the data in memory, the tools' user plus system time
# reading the same files from the page cache (process start-up included,
# negligible at this size).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-32}
limit=$((mib * 1024 * 1024))

if [ -z "${BENCH_IO:-}" ]; then
    cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build-bench" -j2 --target bench_io >/dev/null
    BENCH_IO=$(find "$root/build-bench" -name bench_io -type f -perm -u+x | head -n 1)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/io_vs_tools.XXXXXX")
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

# Concatenates the sorted regular files found under $1 matching $2 into $3,
# up to the size limit.
gather() {
    find "$1" -type f -name "$2" 2>/dev/null | LC_ALL=C sort | while read -r f; do
        cat "$f" 2>/dev/null || true
    done | head -c "$limit" >"$3"
}
gather /usr/include '*.h' "$work/text"
gather /usr/bin '*' "$work/binary"

# Least CPU time (user + system, microseconds) of three runs of "$@" < $file.
best_us() {
    local file=$1 best= t
    shift
    for _ in 1 2 3; do
        t=$({ TIMEFORMAT='%3U %3S'; time "$@" <"$file" >/dev/null; } 2>&1 |
            awk '{ printf "%d", ($1 + $2) * 1000000 }')
        if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    done
    echo "$best"
}

IO_BENCH_TEXT=$work/text IO_BENCH_BINARY=$work/binary "$BENCH_IO" \
    --benchmark_filter='BM_Compress|BM_Md5|BM_Decompress|BM_ChannelWrite' \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$work/bench.json"

for kind in text binary; do
    f=$work/$kind
    echo "$kind $(wc -c <"$f") $(best_us "$f" gzip -1 -c) $(gzip -1 -c <"$f" | wc -c)" \
        "$(best_us "$f" lz4 -1 -c) $(lz4 -1 -c <"$f" | wc -c)"
done >"$work/tools.txt"
echo "md5 $(wc -c <"$work/binary") $(best_us "$work/binary" md5sum)" >>"$work/tools.txt"

python3 - "$work/bench.json" "$work/tools.txt" <<'EOF'
import json, sys

runs = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        runs[b["run_name"]] = b

def ours(name):
    return runs[name]["bytes_per_second"] / 1e6

tools = {}
for line in open(sys.argv[2]):
    f = line.split()
    tools[f[0]] = [int(x) for x in f[1:]]

def rate(size, us):
    return size / us

print("%-28s %10s %8s" % ("", "MB/s", "size"))
for i, kind in enumerate(["text", "binary"]):
    size, gz_us, gz_size, lz_us, lz_size = tools[kind]
    run = runs["BM_Compress/binary:%d" % i]
    mine = ours("BM_Compress/binary:%d" % i)
    gz, lz = rate(size, gz_us), rate(size, lz_us)
    print("%-28s %10.1f %8.3f" % ("compress %s" % kind, mine, run["ratio"]))
    print("%-28s %10.1f %8.3f" % ("decompress %s" % kind, ours("BM_Decompress/binary:%d" % i), run["ratio"]))
    print("%-28s %10.1f %8.3f" % ("gzip -1 %s" % kind, gz, gz_size / size))
    print("%-28s %10.1f %8.3f" % ("lz4 -1 %s" % kind, lz, lz_size / size))
    print("%-28s %10.2f" % ("  compress / gzip -1", mine / gz))
    print("%-28s %10.2f" % ("  compress / lz4 -1", mine / lz))
size, md_us = tools["md5"]
md5 = ours("BM_Md5")
print("%-28s %10.1f" % ("md5", md5))
print("%-28s %10.1f" % ("md5sum", rate(size, md_us)))
print("%-28s %10.2f" % ("  md5 / md5sum", md5 / rate(size, md_us)))
for name in sorted(runs):
    if name.startswith("BM_ChannelWrite"):
        print("%-28s %10.1f" % (name.replace("BM_ChannelWrite/", "channel "), ours(name)))
EOF
