#!/bin/bash
# Whether the ordering's judge ranks orders as zstd -19 and xz -6 do: every candidate
# order of TEXT's shuffled text (its articles written in a random order, reorder_index
# seed 7, with the builder's index of it), each made alone (bench/order_index kinds=K
# margin=-1, chains made whatever the articles' length), with the judge's size of it on its default sample and on the whole text
# (sample=0), and the net sizes that the compressors give: zstd -19 and xz -6 of the
# gathered text, each plus xz -9 of the index. The start is the first row.
#
#   bench/order_ranking.sh TEXT [BUILD_DIR=build/release]
# Environment: WORK_DIR, where the files go (a new temporary folder if unset).
set -euo pipefail
text=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build=$(cd "${2:-build/release}" && pwd)
bin=$build/bin
work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/order_ranking.XXXXXX")}
[ -n "${WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work/built" "$work/shuffled"
cd "$work"
ln -f "$text" built/enwik_text2_vok 2>/dev/null || cp "$text" built/enwik_text2_vok
(cd built && "$bin/build_art_idx" >/dev/null)
"$bin/reorder_index" built/enwik_art_idx shuffled/enwik_art_idx 7
(cd shuffled && ln -sf ../built/enwik_text2_vok enwik_text2_vok && "$bin/gather_arts" >/dev/null &&
    rm enwik_text2_vok && mv enwik_text2_vok_r enwik_text2_vok && "$bin/build_art_idx" >/dev/null &&
    cp enwik_art_idx start_idx)
judged() { sed 's/.*judged [0-9]* -> \([0-9]*\) .*/\1/'; }
printf "%-40s %12s %12s %12s %12s\n" order "judge" "judge whole" "net zstd" "net xz"
for kind in 0 1 2 4 16 32 64; do
    d=k$kind
    mkdir -p "$d"
    ln -sf ../shuffled/enwik_text2_vok "$d/enwik_text2_vok"
    said=$("$bin/order_index" shuffled/enwik_text2_vok shuffled/start_idx "$d/enwik_art_idx" kinds=$kind margin=-1 chain_mean_bytes=0)
    whole=$("$bin/order_index" shuffled/enwik_text2_vok shuffled/start_idx /dev/null kinds=$kind margin=-1 chain_mean_bytes=0 sample=0 | judged)
    name=$(echo "$said" | sed 's/^[^,]*, \(.*\), judged.*/\1/')
    (cd "$d" && "$bin/gather_arts" >/dev/null)
    zstd -19 -q -c "$d/enwik_text2_vok_r" | wc -c >"$d/z" &
    xz -6 -c "$d/enwik_text2_vok_r" | wc -c >"$d/x" &
    i=$(xz -9 -c "$d/enwik_art_idx" | wc -c)
    wait
    rm -f "$d/enwik_text2_vok_r"
    printf "%-40s %12d %12d %12d %12d\n" "$name" "$(echo "$said" | judged)" "$whole" $(( $(cat "$d/z") + i )) $(( $(cat "$d/x") + i ))
done
