#!/bin/sh
# Runs the whole job on a generated sample text in a scratch folder, with the builder's
# index, with the one order_art_idx makes of it and with a shuffled one, each proven
# first by check_art_idx, and checks that each round trip gives the text back and that an
# index missing a record is refused.
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
