#!/bin/sh
# Packs the seed blocks of the block_list target: one small package in each
# layer combination (plain, check bytes, compression, both), a headers-only
# block, one carrying scripts, one through a filter, two packages in one
# stream, and a plain cpio archive in the old portable format. The target
# reads a block by the value of its last byte (a padding byte): copies of
# the plain blocks ending in 1 (size) and 2 (mask) are made too.
#   fuzz/make_block_seeds.sh <fpack binary> <output directory>
set -eu
fpack=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=$(mkdir -p "$2" && cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/blockseeds.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p tree/sub tree/empty
printf 'hello\n' > tree/a.txt
printf 'second file\n%.0s' 1 2 3 4 5 6 7 8 > tree/sub/b.txt
ln tree/a.txt tree/sub/hard
ln -s a.txt tree/link
printf '#!/bin/sh\necho before "$@"\n' > before.sh
printf 'input of the script\n' > before.in
chmod 0755 before.sh
touch -h -d @1500000000 tree/a.txt tree/sub/b.txt tree/link tree/sub tree/empty tree

# description KEYWORDS...: a description of the tree with those keywords
description() {
    printf '#*KFP-v2.07\n'
    for k in "$@"; do printf '%s\n' "$k"; done
    printf 'create_dirs=y\n%%\n'
    printf 'tree d=/opt/seed o=descend\n%%\n%%\n'
}

pack() { # name [fpack options] -- keywords
    name=$1
    shift
    opts=
    while [ "$1" != -- ]; do opts="$opts $1"; shift; done
    shift
    description "$@" > "$name.fp"
    # shellcheck disable=SC2086
    run $opts -N "$name" -f "$out/$name.blk" "$name.fp"
}

# fpack with small records (small seeds); status 2 is success with messages.
run() {
    TRELL_BUF_SIZE=512 "$fpack" "$@" 2>/dev/null || [ $? -eq 2 ]
}

pack plain --
pack cksum -- do_checksum=y
pack compress -- do_compress=y
pack cksum_compress -- do_checksum=y do_compress=y
pack headers -h --
pack scripts -- unix_before_prog_path=before.sh unix_before_prog_from_src=y \
    unix_before_input_path=before.in unix_before_input_from_src=y
pack filtered -- 'postproc="gzip -c"' 'preproc="gzip -dc"'

# Two packages in one stream: the nested one follows the outer one.
description > inner.fp
{ printf "#*KFP-v2.07\n%%\n"; printf "before.sh d=/opt/seed/bin\n%%\nLfile=inner.fp\n%%\n"; } > outer.fp
run -N outer -f "$out/nested.blk" outer.fp

(cd tree && printf 'a.txt\nsub\nsub/b.txt\nlink\n' | cpio --quiet -o -H odc > "$out/odc.cpio")

# copy BLOCK BYTE: the block with its last byte replaced
copy() {
    head -c -1 "$out/$1.blk" > "$out/$1-$2.blk"
    printf "\\$2" >> "$out/$1-$2.blk"
}
for b in plain scripts nested; do
    copy "$b" 1
    copy "$b" 2
done
