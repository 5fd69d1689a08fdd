#!/bin/sh
# Runs the whole job on a generated sample text in a scratch folder, with the builder's
# index and with a reordered one, and checks that each round trip gives the text back.
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
round_trip() {
    "$bin/gather_arts" >/dev/null
    "$bin/scatter_arts" >scatter.out
    cmp enwik_text2_vok enwik_text2_vok_u
    echo "$1: gathered and scattered back, identical to the text ($(grep -c "^[0-9]" scatter.out) records)"
}
round_trip "builder's index"
cmp enwik_text2_vok enwik_text2_vok_r
mv enwik_art_idx builder_idx
"$bin/reorder_index" builder_idx enwik_art_idx 11
round_trip "reordered index"
if cmp -s enwik_text2_vok enwik_text2_vok_r; then
    echo "reordered gather unexpectedly equals the text" >&2
    exit 1
fi
echo "round trips verified"
