#!/bin/sh
# Runs the whole job on a generated sample text in a scratch folder, with the builder's
# index, with the one order_art_idx makes of it and with a shuffled one, each proven
# first by check_art_idx, and checks that each round trip gives the text back and that an
# index missing a record is refused. Then orders a sample on which ordering gains:
# articles drawn at random from 8 vocabularies (gen_text's shape "topics"), and prints
# what zstd -19 and xz -6 make of its gathered text, with the index, before and after.
#   bench/demo.sh [BUILD_DIR=build/release] [SIZE_BYTES=50000000]
set -eu
build=$(cd "${1:-build/release}" && pwd)
size=${2:-50000000}
bin=$build/bin
scratch=$(mktemp -d "${TMPDIR:-/tmp}/art_demo.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

"$bin/gen_text" enwik_text2_vok "$size" 7
echo "sample text: $size bytes in $scratch"
"$bin/build_art_idx"
"$bin/check_art_idx"
round_trip() {
    "$bin/gather_arts" >/dev/null
    "$bin/scatter_arts" >scatter.out
    cmp enwik_text2_vok enwik_text2_vok_u
    echo "$1: gathered and scattered back, identical to the text ($(grep -c "^[0-9]" scatter.out) records)"
}
round_trip "builder's index"
cmp enwik_text2_vok enwik_text2_vok_r
cp enwik_art_idx builder_idx
"$bin/order_art_idx"
"$bin/check_art_idx"
round_trip "ordered index"
"$bin/reorder_index" builder_idx enwik_art_idx 11
"$bin/check_art_idx"
round_trip "reordered index"
if cmp -s enwik_text2_vok enwik_text2_vok_r; then
    echo "reordered gather unexpectedly equals the text" >&2
    exit 1
fi
# A reordered index that lost a record gathers and scatters with status 0; the check
# refuses it and says what would come back as zeros.
size=$(wc -c <enwik_art_idx)
{ head -c $((size - 16)) enwik_art_idx; tail -c 8 enwik_art_idx; } >dropped_idx
mv dropped_idx enwik_art_idx
if "$bin/check_art_idx" >/dev/null 2>check.err; then
    echo "an index with a record dropped was not refused" >&2
    exit 1
fi
echo "record dropped: $(cat check.err)"
echo "round trips verified"

# What ordering gains where the text's order groups nothing.
mkdir topics
cd topics
"$bin/gen_text" enwik_text2_vok 20000000 7 topics
"$bin/build_art_idx" >/dev/null
net() {
    "$bin/gather_arts" >/dev/null
    z=$(zstd -19 -q -c enwik_text2_vok_r | wc -c)
    x=$(xz -6 -c enwik_text2_vok_r | wc -c)
    i=$(xz -9 -c enwik_art_idx | wc -c)
    echo "$1: zstd -19 $z + index $i = $((z + i)) bytes; xz -6 $x + index $i = $((x + i)) bytes"
}
echo "topics sample: 20000000 bytes, articles of 8 vocabularies in random order"
net "  builder's index"
"$bin/order_art_idx"
"$bin/check_art_idx" >/dev/null
net "  ordered index  "
